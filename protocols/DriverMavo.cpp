// MAVO framed texts.
#include "protocols/DriverMavo.h"

#include <algorithm>
#include <cctype>

#include "channel/Piattaforma.h"
#include "channel/clsComunicazioni.h"
#include "protocols/DriverPelvan.h"

namespace talumbra {

namespace {
const char STX = '\x02', ETX = '\x03', ACK = '\x06', NAK = '\x15';

// The check character: the exclusive or of every byte, STX and ETX included.
char Bcc(const std::string& testo) {
    char x = 0;
    for (char c : testo) x = static_cast<char>(x ^ c);
    return x;
}
}  // namespace

int32_t DriverMavo::Tipo() const { return tlMifareMAVO; }

void DriverMavo::NuovaApertura() {
    mFiducia = 0;
    Dimentica();
}

void DriverMavo::Ricevi(clsComunicazioni& canale) {
    Piattaforma& pf = piattaforma();
    // Every frame that is waiting: the port reports bytes only once, so a
    // frame left behind would wait for the next badge.
    for (;;) {
        int16_t Esito = esRicevuta;
        std::string Risposta, trama;
        canale.AspettaTrama(canale.STX, canale.ETX, true, false, Esito, Risposta, &trama);
        if (Esito == esTempoScaduto) {
            if (canale.ComTO) canale.ComTO();
            return;
        }
        if (trama.size() > 1 && trama.back() == ETX) {
            const uint32_t tEtx = pf.timeGetTime();
            if (Esito == esRicevuta) {
                ConsegnaTrama(canale, trama, tEtx, clsComunicazioni::AttesaControllo);
            } else {
                // Its check character, so that it is not taken for a frame's start.
                canale.ControlloDopoEtx(tEtx, clsComunicazioni::AttesaControllo);
                if (canale.ComRX) canale.ComRX(Risposta);
            }
        } else if (Esito == esRicevuta || Esito == esRifiutata) {
            if (canale.ComRX) canale.ComRX(Risposta);
        }
        if (!canale.PortaAperta()) return;  // closed by the host meanwhile
        PortaSeriale& porta = *canale.Seriale;
        if (!canale.StxLetto() && porta.InBufferCount() <= 0) return;
        if (canale.TurnoFinito()) {
            porta.RinnovaNotifica();
            return;
        }
    }
}

bool DriverMavo::ControlloSbagliato(const std::string& trama, const std::string& bcc) {
    if (bcc.empty()) return false;  // none sent: nothing learnt
    const bool standard = ControlloStandard();
    const bool giusto = bcc[0] == Bcc(trama);
    mFiducia = giusto ? std::min(mFiducia + 1, MaxFiducia) : std::max(mFiducia - 1, 0);
    return !giusto && standard;
}

void DriverMavo::ConsegnaTrama(clsComunicazioni& canale, const std::string& trama, uint32_t tEtx, uint32_t limite) {
    limite = std::min(limite, clsComunicazioni::AttesaControllo);
    if (ControlloStandard()) {
        // Its check character is a character time away: a corrupted code
        // must not reach the host.
        const std::string bcc = canale.ControlloDopoEtx(tEtx, limite);
        if (ControlloSbagliato(trama, bcc)) {
            std::string scarto = trama + bcc;
            if (canale.ComScarto) canale.ComScarto(scarto);
            return;
        }
        std::string testo = trama;
        if (canale.ComRX) canale.ComRX(testo);
        return;
    }
    // A reader that sends no check character, or one of its own: the code is
    // whole at its ETX. What follows tells whether it sends the standard one.
    std::string testo = trama;
    if (canale.ComRX) canale.ComRX(testo);
    if (canale.PortaAperta()) ControlloSbagliato(trama, canale.ControlloDopoEtx(tEtx, limite));
}

// ---- Codes waiting before a command

void DriverMavo::InizioRaccolta(bool stxLetto) {
    mResto = stxLetto ? std::string(1, STX) : std::string();
    mSoloControllo = false;
}

void DriverMavo::Dimentica() {
    mResto.clear();
    mSoloControllo = false;
}

// Framed texts are whole at their ETX. The byte after it is their check
// character, unless it is the next STX; from a reader that sends the
// standard check it is waited for (a character time), otherwise not.
void DriverMavo::Trame(clsComunicazioni& canale, bool quieta) {
    static const std::string Limiti{STX, ETX, ACK};
    size_t i = 0;
    mSoloControllo = false;
    while (i < mResto.size()) {
        if (mResto[i] != STX) {
            ++i;
            continue;
        }
        const size_t k = mResto.find_first_of(Limiti, i + 1);
        if (k == std::string::npos) break;
        if (mResto[k] == STX) {
            i = k;  // a cut frame: the STX begins the next
            continue;
        }
        const bool conEtx = mResto[k] == ETX;
        if (conEtx && k + 1 >= mResto.size() && !quieta && ControlloStandard()) {
            mSoloControllo = true;
            break;
        }
        std::string trama = mResto.substr(i, k - i + 1);
        std::string bcc = conEtx && k + 1 < mResto.size() && mResto[k + 1] != STX ? mResto.substr(k + 1, 1) : "";
        i = k + 1 + bcc.size();
        if (!VerificaRisposta(trama)) continue;
        if (conEtx && ControlloSbagliato(trama, bcc)) {
            std::string scarto = trama + bcc;
            if (canale.ComScarto) canale.ComScarto(scarto);
        } else if (canale.ComRX) {
            canale.ComRX(trama);
        }
    }
    mResto.erase(0, i);
}

uint32_t DriverMavo::Raccogli(clsComunicazioni& canale, const std::string& arrivati) {
    if (!arrivati.empty()) {
        mResto += arrivati;
        Trame(canale, false);
    }
    if (mResto.empty()) return 0;
    return mSoloControllo ? clsComunicazioni::AttesaControllo : clsComunicazioni::PausaCodice;
}

void DriverMavo::Quiete(clsComunicazioni& canale) { Trame(canale, true); }  // its check character never came

// ---- Codes that come inside a reply wait

bool DriverMavo::CodiceInRisposta(clsComunicazioni& canale, std::string& c, const std::function<uint32_t()>& resto) {
    if (c != canale.STX || !canale.CodiciInAttesa()) return false;
    const auto limite = [&] { return std::min(clsComunicazioni::LimiteCodice, resto()); };
    std::string trama = c;
    for (;;) {
        const std::string b = canale.UnByte(limite());
        if (b.empty()) break;
        if (b[0] == STX) {
            trama = b;  // an STX always begins a frame: the one before was cut
            continue;
        }
        trama += b;
        if (b[0] == ETX || b[0] == ACK) break;
    }
    if (trama.size() > 1 && trama.back() == ETX && FormaDiCodice(trama)) {
        ConsegnaTrama(canale, trama, piattaforma().timeGetTime(), resto());
        return true;
    }
    c = trama;  // not a code: it belongs to the reply
    return false;
}

bool DriverMavo::TramaDiCodice(clsComunicazioni& canale, const std::string& trama, uint32_t resto) {
    if (!canale.CodiciInAttesa() || !FormaDiCodice(trama)) return false;
    ConsegnaTrama(canale, trama, piattaforma().timeGetTime(), resto);
    return true;
}

bool DriverMavo::FormaDiCodice(const std::string& trama) { return !CodiceDi(trama, true).empty(); }

// A text with no room for at least one code character carries none.
std::string DriverMavo::CodiceDi(const std::string& testo, bool rigoroso) {
    if (testo.size() <= 5 || testo[1] != 'e' || testo[3] < '1' || testo[3] > '9') return {};
    std::string codice = testo.substr(4, testo.size() - 5);
    if (rigoroso && !std::all_of(codice.begin(), codice.end(), [](unsigned char c) { return std::isxdigit(c) != 0; }))
        return {};
    return codice;
}

std::string DriverMavo::CodiceIncorniciato(const std::string& testo, bool rigoroso) const {
    return CodiceDi(testo, rigoroso);
}

// ---- Commands and identification

std::string DriverMavo::Cornice(const std::string& comando) {
    std::string trama = STX + comando + ETX;
    return trama + Bcc(trama);
}

std::string DriverMavo::Incornicia(const std::string& comando) const { return Cornice(comando); }

bool DriverMavo::RispostaValida(const std::string& risposta) {
    if (risposta.size() >= 6) return true;
    return risposta == std::string(1, NAK) || risposta == std::string(1, ACK) || risposta == "<I49>";
}

bool DriverMavo::VerificaRisposta(const std::string& risposta) const { return RispostaValida(risposta); }

bool DriverMavo::Riconosce(const std::string& versione, bool incorniciata) const {
    return incorniciata && ContieneParola(versione, "SIRMAVO");
}

}  // namespace talumbra
