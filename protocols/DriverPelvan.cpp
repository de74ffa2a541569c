// Pelvan text lines.
#include "protocols/DriverPelvan.h"

#include <utility>

#include "channel/clsComunicazioni.h"

namespace talumbra {

namespace {
// Bytes taken per read, so that the receiver can stop between reads.
constexpr int PezzoRighe = 64;
}  // namespace

bool ContieneParola(const std::string& testo, const char* parola) {
    std::string maiuscolo = testo;
    for (char& c : maiuscolo)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return maiuscolo.find(parola) != std::string::npos;
}

int32_t DriverPelvan::Tipo() const { return tlPELVAN; }

void DriverPelvan::Ricevi(clsComunicazioni& canale) {
    PortaSeriale& porta = *canale.Seriale;
    porta.setInputLen(PezzoRighe);
    for (;;) {
        const std::string arrivati = porta.Input();
        if (arrivati.empty()) break;
        TagliaRighe(canale, arrivati);
        if (canale.TurnoFinito()) {
            if (porta.InBufferCount() > 0) porta.RinnovaNotifica();
            break;
        }
    }
    porta.setInputLen(0);
}

void DriverPelvan::TagliaRighe(clsComunicazioni& canale, const std::string& arrivati) {
    mBuffer += arrivati;
    size_t fine;
    while ((fine = mBuffer.find("\r\n")) != std::string::npos) {
        std::string riga = mBuffer.substr(0, fine);
        mBuffer.erase(0, fine + 2);
        const bool scartata = std::exchange(mRigaScartata, false);
        if (!scartata && riga.size() <= MaxBufferRicezione && canale.ComRX) canale.ComRX(riga);
    }
    // No code is that long: a line past the bound is noise or the wrong
    // device. It is dropped whole, ended or not, and the next starts clean.
    // A CR at the end may be the first half of its CR LF.
    const bool cr = !mBuffer.empty() && mBuffer.back() == '\r';
    if (mBuffer.size() > MaxBufferRicezione + (cr ? 1 : 0) || (mRigaScartata && !mBuffer.empty())) {
        mRigaScartata = true;
        mBuffer = cr ? "\r" : "";
    }
}

uint32_t DriverPelvan::Raccogli(clsComunicazioni& canale, const std::string& arrivati) {
    if (!arrivati.empty()) TagliaRighe(canale, arrivati);
    // A line begun may be a code on its way.
    return !mBuffer.empty() && !mRigaScartata ? clsComunicazioni::PausaCodice : 0;
}

void DriverPelvan::Dimentica() {
    mBuffer.clear();
    mRigaScartata = false;
}

bool DriverPelvan::RigaDiCodice(clsComunicazioni& canale, const std::string& riga) {
    if (!canale.CodiceNonRisposta(riga)) return false;
    std::string codice = riga;
    if (canale.ComRX) canale.ComRX(codice);
    return true;
}

int16_t DriverPelvan::Giudizio(const std::string& risposta) {
    const char c = risposta.empty() ? '\0' : risposta[0];
    if (c == 'N' || c == 'n') return 1;
    if (c == '?') return 2;
    return 0;
}

bool DriverPelvan::VerificaRisposta(const std::string& risposta) const {
    return !risposta.empty() && Giudizio(risposta) == 0;
}

bool DriverPelvan::Riconosce(const std::string& versione, bool incorniciata) const {
    return !incorniciata && ContieneParola(versione, "OMBRISK-125");
}

}  // namespace talumbra
