// KEZ binary code frames.
#include "protocols/DriverKez.h"

#include <algorithm>

#include "channel/Attesa.h"
#include "channel/Piattaforma.h"
#include "channel/clsComunicazioni.h"

namespace talumbra {

namespace {
constexpr uint32_t LimiteCodice = clsComunicazioni::LimiteCodice;
const char* const Esa = "0123456789ABCDEF";

// Reads the six bytes after a sync byte within `limite()` ms each; the code
// text when its check holds.
std::string TramaBinaria(clsComunicazioni& canale, const std::function<uint32_t()>& limite) {
    std::string trama;
    for (int k = 1; k <= 6; ++k) {
        const std::string c = canale.UnByte(limite());
        if (c.empty()) return {};
        trama += c;
    }
    return DriverKez::CodiceBinario(trama);
}
}  // namespace

std::string DriverKez::CodiceBinario(const std::string& sei) {
    int b[6];
    int somma = 0;
    std::string codice;
    for (int k = 0; k < 6; ++k) b[k] = static_cast<unsigned char>(sei[k]);
    for (int k = 0; k < 5; ++k) {
        somma += b[k];
        codice += Esa[b[k] >> 4];
        codice += Esa[b[k] & 0x0F];
    }
    int s = somma % 256;
    if (s == 0) s = 256;
    return s + b[5] == 256 ? codice : std::string();
}

void DriverKez::Ricevi(clsComunicazioni& canale) {
    Piattaforma& pf = piattaforma();
    PortaSeriale& porta = *canale.Seriale;
    porta.setInputLen(1);

    // Waits up to LimiteCodice ms for one byte, without host events. Returns
    // the byte (or nothing) and whether the limit was reached.
    auto unByte = [&](std::string& c) {
        const uint32_t t0 = pf.timeGetTime();
        for (;;) {
            c = porta.Input();
            const uint32_t trascorso = Trascorso(t0, pf.timeGetTime());
            if (trascorso >= LimiteCodice) return true;
            if (!c.empty()) return false;
            attesa::DormiFino(porta, t0, LimiteCodice);
        }
    };

    for (;;) {
        int ultimo = -1;  // last byte read in the hunt
        const uint32_t t0 = pf.timeGetTime();
        for (;;) {
            const uint32_t trascorso = Trascorso(t0, pf.timeGetTime());
            if (ultimo == 0x00 || ultimo == 0xFF || trascorso >= LimiteCodice) break;
            if (!porta.PortOpen()) {
                pf.Beep();
                return;
            }
            const std::string c = porta.Input();
            pf.DoEvents();
            if (!c.empty()) {
                ultimo = static_cast<unsigned char>(c[0]);
                // Noise that keeps coming: let the host run, and hunt on later.
                if (ultimo != 0x00 && ultimo != 0xFF && canale.TurnoFinito() && porta.InBufferCount() > 0) break;
                continue;
            }
            // Quiet line: sleep until a byte, the next 100 ms mark (so the
            // host's events still run every 100 ms) or the limit.
            const int64_t dopo = Trascorso(t0, pf.timeGetTime());
            const int64_t segno = (dopo / attesa::Passo + 1) * attesa::Passo;
            attesa::DormiFino(porta, t0, std::min<int64_t>(segno, LimiteCodice));
        }

        if (ultimo == 0x00) {
            std::string trama;
            for (int k = 1; k <= 6; ++k) {
                std::string c;
                if (unByte(c)) {
                    porta.setRThreshold(1);
                    if (c.empty()) return;  // a frame cut by the limit is lost
                }
                trama += c[0];
            }
            std::string codice = CodiceBinario(trama);
            if (!codice.empty() && canale.ComRX) canale.ComRX(codice);
        } else if (ultimo == 0xFF) {
            std::string c;
            if (unByte(c)) {
                porta.setRThreshold(1);
                return;
            }
        }

        if (porta.InBufferCount() <= 0) {
            porta.setRThreshold(1);
            return;
        }
        if (canale.TurnoFinito()) {
            porta.RinnovaNotifica();
            porta.setRThreshold(1);
            return;
        }
    }
}

// Raises the complete codes at the start of what is pending and keeps only
// an unfinished frame.
uint32_t DriverKez::Raccogli(clsComunicazioni& canale, const std::string& arrivati) {
    mResto += arrivati;
    size_t i = 0;
    while (i < mResto.size()) {
        const auto c = static_cast<unsigned char>(mResto[i]);
        const size_t lunghezza = c == 0x00 ? 7 : c == 0xFF ? 2 : 1;
        if (mResto.size() - i < lunghezza) break;
        if (c == 0x00) {
            std::string codice = CodiceBinario(mResto.substr(i + 1, 6));
            if (!codice.empty() && canale.ComRX) canale.ComRX(codice);
        }
        i += lunghezza;
    }
    mResto.erase(0, i);
    return mResto.empty() ? 0 : clsComunicazioni::PausaCodice;
}

bool DriverKez::CodiceInRisposta(clsComunicazioni& canale, std::string& c, const std::function<uint32_t()>& resto) {
    // Replies are text: a sync byte starts a code frame.
    if (c.size() != 1 || c[0] != '\0') return false;
    std::string codice = TramaBinaria(canale, [&] { return std::min(LimiteCodice, resto()); });
    if (!codice.empty() && canale.ComRX) canale.ComRX(codice);
    return true;
}

bool DriverKez::Riconosce(const std::string& versione, bool incorniciata) const {
    if (mTipo != tlEmulKez) return false;  // a KEZ reader itself does not say so
    return ContieneParola(versione, incorniciata ? "DORMAVO" : "KEZ");
}

}  // namespace talumbra
