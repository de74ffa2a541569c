// Reception of what readers send on their own: lines, code frames, framed replies.
#include "channel/Attesa.h"
#include "talumbra/Fallimento.h"
#include "channel/Piattaforma.h"
#include "channel/clsComunicazioni.h"

namespace talumbra {

namespace {
constexpr uint32_t LimiteCodice = 250;  // sync hunt, each frame byte, the byte after 0xFF
const char* const Esa = "0123456789ABCDEF";

bool PortaAncoraAperta(PortaSeriale& porta) {
    try {
        return porta.PortOpen();
    } catch (...) {
        return false;
    }
}
}  // namespace

void clsComunicazioni::Seriale_OnComm() {
    const auto vivo = weak_from_this().lock();  // host events may release the owner
    if (Seriale->CommEvent() != comEvReceive) return;
    try {
        OnComm_Disattivato();
        Seriale->setInputLen(0);
        const int32_t tipo = TipoDispositivo ? TipoDispositivo() : -1;
        switch (tipo) {
            case tlPELVAN: RiceviRighe(); break;
            case tlKez3:
            case tlEmulKez: RiceviCodice(); break;
            case tlMifareMAVO: RiceviCodice_MAVO(); break;
            default: break;  // unknown reader: the bytes stay in the port
        }
    } catch (const Fallimento& f) {
        RiattivaDopoGuasto(f.Numero() == errDispositivoNonDisponibile);
        throw;
    } catch (...) {
        RiattivaDopoGuasto(false);
        throw;
    }
    OnComm_Attivato();
}

// A failure must not leave the reader deaf: switch the notification on again,
// unless the port itself is gone (68, or closed). This cannot spin: the port
// notifies only for bytes that arrive after, not for those already reported.
// The failure itself goes on to whoever delivered the notification.
void clsComunicazioni::RiattivaDopoGuasto(bool portaPersa) {
    if (portaPersa || !PortaAncoraAperta(*Seriale)) return;
    try {
        OnComm_Attivato();
    } catch (...) {
        // The original failure is the one to report.
    }
}

void clsComunicazioni::RiceviRighe() {
    mBufferRicezione += Seriale->Input();
    size_t fine;
    while ((fine = mBufferRicezione.find("\r\n")) != std::string::npos) {
        std::string riga = mBufferRicezione.substr(0, fine);
        mBufferRicezione.erase(0, fine + 2);
        if (ComRX) ComRX(riga);
    }
    // A line that never ends (noise, the wrong device) must not grow without
    // bound: keep only its last bytes.
    if (mBufferRicezione.size() > MaxBufferRicezione)
        mBufferRicezione.erase(0, mBufferRicezione.size() - MaxBufferRicezione);
}

void clsComunicazioni::RiceviCodice() {
    const auto vivo = weak_from_this().lock();  // host events may release the owner
    Piattaforma& pf = piattaforma();
    Seriale->setInputLen(1);

    // Waits up to LimiteCodice ms for one byte, without host events. Returns
    // the byte (or nothing) and whether the limit was reached.
    auto unByte = [&](std::string& c) {
        const uint32_t t0 = pf.timeGetTime();
        for (;;) {
            c = Seriale->Input();
            const uint32_t trascorso = Trascorso(t0, pf.timeGetTime());
            if (trascorso >= LimiteCodice) return true;
            if (!c.empty()) return false;
            attesa::DormiFino(*Seriale, t0, LimiteCodice);
        }
    };

    for (;;) {
        std::string codice;
        int ultimo = -1;  // last byte read in the hunt
        const uint32_t t0 = pf.timeGetTime();
        for (;;) {
            const uint32_t trascorso = Trascorso(t0, pf.timeGetTime());
            if (ultimo == 0x00 || ultimo == 0xFF || trascorso >= LimiteCodice) break;
            if (!Seriale->PortOpen()) {
                pf.Beep();
                return;
            }
            const std::string c = Seriale->Input();
            pf.DoEvents();
            if (!c.empty()) {
                ultimo = static_cast<unsigned char>(c[0]);
                continue;
            }
            // Quiet line: sleep until a byte, the next 100 ms mark (so the
            // host's events still run every 100 ms) or the limit.
            const int64_t dopo = Trascorso(t0, pf.timeGetTime());
            const int64_t segno = (dopo / attesa::Passo + 1) * attesa::Passo;
            attesa::DormiFino(*Seriale, t0, std::min<int64_t>(segno, LimiteCodice));
        }

        if (ultimo == 0x00) {
            int b[7] = {};
            bool completo = true;
            for (int k = 1; k <= 6; ++k) {
                std::string c;
                if (unByte(c)) {
                    Seriale->setRThreshold(1);
                    if (c.empty()) {
                        completo = false;
                        break;
                    }
                }
                b[k] = static_cast<unsigned char>(c[0]);
                if (k <= 5) {
                    codice += Esa[b[k] >> 4];
                    codice += Esa[b[k] & 0x0F];
                }
            }
            if (!completo) return;  // a frame cut by the limit is lost
            int s = (b[1] + b[2] + b[3] + b[4] + b[5]) % 256;
            if (s == 0) s = 256;
            if (s + b[6] == 256 && ComRX) ComRX(codice);
        } else if (ultimo == 0xFF) {
            std::string c;
            if (unByte(c)) {
                Seriale->setRThreshold(1);
                return;
            }
        }

        if (Seriale->InBufferCount() <= 0) {
            Seriale->setRThreshold(1);
            return;
        }
    }
}

void clsComunicazioni::RiceviCodice_MAVO() {
    int16_t Esito = esRicevuta;
    std::string Risposta;
    Aspetta_Risposta_MAVO(Esito, Risposta);
    if (Esito == esRicevuta || Esito == esRifiutata) {
        if (ComRX) ComRX(Risposta);
    } else if (Esito == esTempoScaduto) {
        if (ComTO) ComTO();
    }
}

}  // namespace talumbra
