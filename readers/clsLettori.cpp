// The front end: decides which received texts are badge codes.
#include "readers/clsLettori.h"

#include <algorithm>
#include <cctype>

#include "channel/Piattaforma.h"
#include "protocols/TabellaDriver.h"
#include "readers/modLettori.h"

namespace talumbra {

clsLettori::clsLettori() : Comunicazione(std::make_shared<clsComunicazioni>()) {
    Comunicazione->ComRX = [this](std::string& stringa) { Comunicazione_ComRx(stringa); };
    InstallaDriver(*Comunicazione, tlPELVAN);
    Comunicazione->EUnCodice = [this](const std::string& testo) { return EUnCodice(testo); };
    Comunicazione->ComScarto = [this](std::string& trama) {
        if (Scartata) Scartata(trama);
    };
}

clsLettori::~clsLettori() {
    if (Comunicazione) {
        Comunicazione->ComRX = nullptr;
        Comunicazione->EUnCodice = nullptr;
        Comunicazione->ComScarto = nullptr;
    }
}

clsPelvan& clsLettori::PELVAN() {
    // The channel, and this front end when it is shared, are held until the
    // command is over: a host event that runs inside the wait may release them.
    if (!mPelvan) {
        mPelvan = std::make_unique<clsPelvan>([this] {
            return clsPelvan::Collegamento{Comunicazione, weak_from_this().lock()};
        });
        // The device type decides how this front end's channel receives.
        mPelvan->TipoCambiato = [this](int32_t tipo) { InstallaDriver(*Comunicazione, tipo); };
    }
    return *mPelvan;
}

namespace {
// Reader messages, not codes.
bool Messaggio(const std::string& stringa) {
    if (stringa.find("KEZ") != std::string::npos) return true;
    if (stringa.find("OMBRISK") != std::string::npos) return true;
    std::string maiuscolo = stringa;
    std::transform(maiuscolo.begin(), maiuscolo.end(), maiuscolo.begin(), [](unsigned char c) {
        return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : static_cast<char>(c);
    });
    return maiuscolo.find("MAVO") != std::string::npos;
}

bool Esadecimale(const std::string& s, size_t da, size_t a) {
    if (da >= a) return false;
    return std::all_of(s.begin() + static_cast<std::ptrdiff_t>(da), s.begin() + static_cast<std::ptrdiff_t>(a),
                       [](unsigned char c) { return std::isxdigit(c) != 0; });
}
}  // namespace

// Only asked of texts in a reply wait, so it is strict: a code is nothing but
// its letter (or frame) and hexadecimal digits. A reply that merely begins
// like a code stays the reply.
bool clsLettori::EUnCodice(const std::string& stringa) {
    using modLettori::ByteCodice, modLettori::InvertiBitByte, modLettori::PrefissoBadge;
    if (stringa.empty() || Messaggio(stringa)) return false;
    const std::shared_ptr<Driver> famiglia = Comunicazione->DriverAttuale();
    const bool lettera = stringa[0] == PrefissoBadge(TipoBadgeCorrente)[0];
    if (lettera || (famiglia && famiglia->SenzaLettera())) {
        if (!Esadecimale(stringa, lettera ? 1 : 0, stringa.size())) return false;
        size_t lunghezza = stringa.size();
        if (famiglia && famiglia->CodificaQuendel() && CodificaQuendelAttiva)
            lunghezza = TipoBadgeCorrente == 0 ? InvertiBitByte(stringa.substr(1)).size() : lunghezza - 1;
        return lunghezza > 0 && lunghezza >= 2u * ByteCodice(TipoBadgeCorrente);
    }
    return famiglia && !famiglia->CodiceIncorniciato(stringa, true).empty();
}

void clsLettori::Comunicazione_ComRx(std::string& stringa) {
    using modLettori::ByteCodice, modLettori::InvertiBitByte, modLettori::PrefissoBadge;
    const uint32_t entrata = piattaforma().timeGetTime();
    if (stringa.empty() || Messaggio(stringa)) return;
    // A command's reply goes to its caller, never on as a reading.
    if (Comunicazione && Comunicazione->RispostaInConsegna()) return;

    // What the reader family sends as a code; none known without a driver.
    const std::shared_ptr<Driver> famiglia = Comunicazione ? Comunicazione->DriverAttuale() : nullptr;
    const std::string prefisso = PrefissoBadge(TipoBadgeCorrente);
    if (stringa[0] == prefisso[0] || (famiglia && famiglia->SenzaLettera())) {
        if (famiglia && famiglia->CodificaQuendel() && CodificaQuendelAttiva) {
            stringa.erase(0, 1);
            if (TipoBadgeCorrente == 0) stringa = InvertiBitByte(stringa);
        }
        // An empty code (a lone letter stripped, with no minimum length) is no reading.
        if (stringa.empty() || stringa.size() < 2u * ByteCodice(TipoBadgeCorrente)) return;
        // Modulo 2^32, so the filter keeps working when the clock wraps.
        if (stringa == UltimoCodice && static_cast<int64_t>(Trascorso(TempoUltimoCodice, entrata)) < TempoMantCode)
            return;
        UltimoCodice = stringa;
        TempoUltimoCodice = piattaforma().timeGetTime();
        if (Lettura) Lettura(stringa);
        return;
    }
    std::string codice = famiglia ? famiglia->CodiceIncorniciato(stringa, false) : std::string();
    if (!codice.empty()) {
        UltimoCodice = codice;
        TempoUltimoCodice = piattaforma().timeGetTime();
        if (Lettura) Lettura(codice);
    }
}

}  // namespace talumbra
