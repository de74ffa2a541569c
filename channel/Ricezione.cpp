// Reception of what readers send on their own: lines, code frames, framed replies.
#include <utility>

#include "channel/Attesa.h"
#include "channel/Piattaforma.h"
#include "channel/clsComunicazioni.h"
#include "talumbra/Fallimento.h"

namespace talumbra {

namespace {
constexpr uint32_t LimiteCodice = 250;  // sync hunt, each frame byte, the byte after 0xFF
// Longest a notification's handler keeps the thread while bytes keep coming:
// a reader faster than the line (or a flood) must not starve the host's
// events and signals. What is left is notified again.
constexpr uint32_t LimiteTurno = 5;
// Bytes the line receiver takes per read, so that it can stop between reads.
constexpr int PezzoRighe = 64;
// Quiet time after which a code in progress counts as ended.
constexpr uint32_t PausaCodice = 20;
const char* const Esa = "0123456789ABCDEF";

// The code text of the six bytes after a 0x00 sync byte (five code bytes and
// the check byte), or nothing when the check fails.
std::string CodiceBinario(const std::string& sei) {
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

bool PortaAncoraAperta(PortaSeriale& porta) {
    try {
        return porta.PortOpen();
    } catch (...) {
        return false;
    }
}
}  // namespace

int32_t clsComunicazioni::TipoAttuale() const { return TipoDispositivo ? TipoDispositivo() : -1; }

bool clsComunicazioni::TurnoFinito() const {
    return Trascorso(mInizioTurno, piattaforma().timeGetTime()) >= LimiteTurno;
}

void clsComunicazioni::Seriale_OnComm() {
    const auto vivo = weak_from_this().lock();  // host events may release the owner
    if (Seriale->CommEvent() != comEvReceive) return;
    try {
        OnComm_Disattivato();
        Seriale->setInputLen(0);
        mInizioTurno = piattaforma().timeGetTime();
        const int32_t tipo = TipoAttuale();
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
    if (portaPersa || !PortaAncoraAperta(*Seriale)) {
        mRiattivaAllApertura = true;
        return;
    }
    try {
        OnComm_Attivato();
    } catch (...) {
        // The original failure is the one to report.
    }
}

void clsComunicazioni::RiceviRighe() {
    Seriale->setInputLen(PezzoRighe);
    for (;;) {
        const std::string arrivati = Seriale->Input();
        if (arrivati.empty()) break;
        TagliaRighe(arrivati);
        if (TurnoFinito()) {
            if (Seriale->InBufferCount() > 0) Seriale->RinnovaNotifica();
            break;
        }
    }
    Seriale->setInputLen(0);
}

void clsComunicazioni::TagliaRighe(const std::string& arrivati) {
    mBufferRicezione += arrivati;
    size_t fine;
    while ((fine = mBufferRicezione.find("\r\n")) != std::string::npos) {
        std::string riga = mBufferRicezione.substr(0, fine);
        mBufferRicezione.erase(0, fine + 2);
        const bool scartata = std::exchange(mRigaScartata, false);
        if (!scartata && riga.size() <= MaxBufferRicezione && ComRX) ComRX(riga);
    }
    // No code is that long: a line past the bound is noise or the wrong
    // device. It is dropped whole, ended or not, and the next starts clean.
    // A CR at the end may be the first half of its CR LF.
    const bool cr = !mBufferRicezione.empty() && mBufferRicezione.back() == '\r';
    if (mBufferRicezione.size() > MaxBufferRicezione + (cr ? 1 : 0) || (mRigaScartata && !mBufferRicezione.empty())) {
        mRigaScartata = true;
        mBufferRicezione = cr ? "\r" : "";
    }
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
                // Noise that keeps coming: let the host run, and hunt on later.
                if (ultimo != 0x00 && ultimo != 0xFF && TurnoFinito() && Seriale->InBufferCount() > 0) break;
                continue;
            }
            // Quiet line: sleep until a byte, the next 100 ms mark (so the
            // host's events still run every 100 ms) or the limit.
            const int64_t dopo = Trascorso(t0, pf.timeGetTime());
            const int64_t segno = (dopo / attesa::Passo + 1) * attesa::Passo;
            attesa::DormiFino(*Seriale, t0, std::min<int64_t>(segno, LimiteCodice));
        }

        if (ultimo == 0x00) {
            std::string trama;
            for (int k = 1; k <= 6; ++k) {
                std::string c;
                if (unByte(c)) {
                    Seriale->setRThreshold(1);
                    if (c.empty()) return;  // a frame cut by the limit is lost
                }
                trama += c[0];
            }
            std::string codice = CodiceBinario(trama);
            if (!codice.empty() && ComRX) ComRX(codice);
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
        if (TurnoFinito()) {
            Seriale->RinnovaNotifica();
            Seriale->setRThreshold(1);
            return;
        }
    }
}

void clsComunicazioni::RiceviCodice_MAVO() {
    Piattaforma& pf = piattaforma();
    // Every frame that is waiting: the port reports bytes only once, so a
    // frame left behind would wait for the next badge.
    for (;;) {
        int16_t Esito = esRicevuta;
        std::string Risposta, trama;
        AspettaTrama(STX, ETX, true, false, Esito, Risposta, &trama);
        if (Esito == esTempoScaduto) {
            if (ComTO) ComTO();
            return;
        }
        if (trama.size() > 1 && trama.back() == ETX[0]) {
            const uint32_t tEtx = pf.timeGetTime();
            if (Esito == esRicevuta) {
                ConsegnaTrama(trama, tEtx, AttesaControllo);
            } else {
                // Its check character, so that it is not taken for a frame's start.
                ControlloDopoEtx(tEtx, AttesaControllo);
                if (ComRX) ComRX(Risposta);
            }
        } else if (Esito == esRicevuta || Esito == esRifiutata) {
            if (ComRX) ComRX(Risposta);
        }
        if (!PortaAncoraAperta(*Seriale)) return;  // closed by the host meanwhile
        if (!mStxLetto && Seriale->InBufferCount() <= 0) return;
        if (TurnoFinito()) {
            Seriale->RinnovaNotifica();
            return;
        }
    }
}

std::string clsComunicazioni::Leggi() {
    if (std::exchange(mStxLetto, false)) return STX;
    return Seriale->Input();
}

std::string clsComunicazioni::UnByte(uint32_t limite) {
    Piattaforma& pf = piattaforma();
    Seriale->setInputLen(1);
    const uint32_t t0 = pf.timeGetTime();
    for (;;) {
        std::string c = Leggi();
        if (!c.empty()) return c;
        if (Trascorso(t0, pf.timeGetTime()) >= limite) return {};
        attesa::DormiFino(*Seriale, t0, limite);
    }
}

std::string clsComunicazioni::ControlloDopoEtx(uint32_t tEtx, uint32_t limite) {
    Seriale->setInputLen(1);
    for (;;) {
        std::string c = Seriale->Input();
        if (c == STX) {
            mStxLetto = true;
            return {};
        }
        if (!c.empty() || Trascorso(tEtx, piattaforma().timeGetTime()) >= limite) return c;
        attesa::DormiFino(*Seriale, tEtx, limite);
    }
}

bool clsComunicazioni::ControlloSbagliato(const std::string& trama, const std::string& bcc) {
    if (bcc.empty()) return false;  // none sent: nothing learnt
    const bool standard = ControlloStandard();
    const bool giusto = bcc == CalcoloBCC(trama);
    mFiduciaControllo =
        giusto ? std::min(mFiduciaControllo + 1, MaxFiduciaControllo) : std::max(mFiduciaControllo - 1, 0);
    return !giusto && standard;
}

void clsComunicazioni::ConsegnaTrama(const std::string& trama, uint32_t tEtx, uint32_t limite) {
    limite = std::min(limite, AttesaControllo);
    if (ControlloStandard()) {
        // Its check character is a character time away: a corrupted code
        // must not reach the host.
        const std::string bcc = ControlloDopoEtx(tEtx, limite);
        if (ControlloSbagliato(trama, bcc)) {
            std::string scarto = trama + bcc;
            if (ComScarto) ComScarto(scarto);
            return;
        }
        std::string testo = trama;
        if (ComRX) ComRX(testo);
        return;
    }
    // A reader that sends no check character, or one of its own: the code is
    // whole at its ETX. What follows tells whether it sends the standard one.
    std::string testo = trama;
    if (ComRX) ComRX(testo);
    if (PortaAncoraAperta(*Seriale)) ControlloSbagliato(trama, ControlloDopoEtx(tEtx, limite));
}

std::string clsComunicazioni::TramaBinaria(const std::function<uint32_t()>& limite) {
    std::string trama;
    for (int k = 1; k <= 6; ++k) {
        const std::string c = UnByte(limite());
        if (c.empty()) return {};
        trama += c;
    }
    return CodiceBinario(trama);
}

// ---- Codes that come while the channel is busy with a command

bool clsComunicazioni::CodiceNonRisposta(const std::string& testo) const {
    return mCodiciInAttesa && EUnCodice && EUnCodice(testo);
}

bool clsComunicazioni::CodiceDuranteRisposta(int32_t tipo, std::string& c, const std::function<uint32_t()>& resto) {
    auto limite = [&] { return std::min(LimiteCodice, resto()); };
    if ((tipo == tlKez3 || tipo == tlEmulKez) && c.size() == 1 && c[0] == '\0') {
        // Replies are text: a sync byte starts a code frame.
        std::string codice = TramaBinaria(limite);
        if (!codice.empty() && ComRX) ComRX(codice);
        return true;
    }
    if (tipo == tlMifareMAVO && c == STX && mCodiciInAttesa) {
        std::string trama = c;
        for (;;) {
            const std::string b = UnByte(limite());
            if (b.empty()) break;
            if (b == STX) {
                trama = b;  // an STX always begins a frame: the one before was cut
                continue;
            }
            trama += b;
            if (b == ETX || b == ACK) break;
        }
        if (trama.size() > 1 && trama.back() == ETX[0] && CodiceNonRisposta(trama)) {
            ConsegnaTrama(trama, piattaforma().timeGetTime(), resto());
            return true;
        }
        c = trama;  // not a code: it belongs to the reply
    }
    return false;
}

void clsComunicazioni::ConsegnaInAttesa() {
    const auto vivo = weak_from_this().lock();  // host events may release the owner
    Piattaforma& pf = piattaforma();
    const int32_t tipo = TipoAttuale();
    const uint32_t t0 = pf.timeGetTime();
    std::string resto;  // the start of a frame not yet complete (types 1 to 3)

    // Raises the complete codes at the start of `resto` and leaves in it only
    // an unfinished frame.
    auto binarie = [&] {
        size_t i = 0;
        while (i < resto.size()) {
            const auto c = static_cast<unsigned char>(resto[i]);
            const size_t lunghezza = c == 0x00 ? 7 : c == 0xFF ? 2 : 1;
            if (resto.size() - i < lunghezza) break;
            if (c == 0x00) {
                std::string codice = CodiceBinario(resto.substr(i + 1, 6));
                if (!codice.empty() && ComRX) ComRX(codice);
            }
            i += lunghezza;
        }
        resto.erase(0, i);
    };
    // Framed texts are whole at their ETX. The byte after it is their check
    // character, unless it is the next STX; from a reader that sends the
    // standard check it is waited for (a character time), otherwise not.
    bool soloControllo = false;  // `resto` is a frame that lacks only that byte
    auto trame = [&](bool quieta) {
        size_t i = 0;
        soloControllo = false;
        while (i < resto.size()) {
            if (resto[i] != STX[0]) {
                ++i;
                continue;
            }
            const size_t k = resto.find_first_of(STX + ETX + ACK, i + 1);
            if (k == std::string::npos) break;
            if (resto[k] == STX[0]) {
                i = k;  // a cut frame: the STX begins the next
                continue;
            }
            const bool conEtx = resto[k] == ETX[0];
            if (conEtx && k + 1 >= resto.size() && !quieta && ControlloStandard()) {
                soloControllo = true;
                break;
            }
            std::string trama = resto.substr(i, k - i + 1);
            std::string bcc = conEtx && k + 1 < resto.size() && resto[k + 1] != STX[0] ? resto.substr(k + 1, 1) : "";
            i = k + 1 + bcc.size();
            if (!VerificaRisposta(trama)) continue;
            if (conEtx && ControlloSbagliato(trama, bcc)) {
                std::string scarto = trama + bcc;
                if (ComScarto) ComScarto(scarto);
            } else if (ComRX) {
                ComRX(trama);
            }
        }
        resto.erase(0, i);
    };

    // In pieces, so that a flood cannot hold the command for long: what a
    // notification would have taken, for a quarter of a second at most.
    if (std::exchange(mStxLetto, false) && tipo == tlMifareMAVO) resto = STX;
    Seriale->setInputLen(PezzoRighe);
    bool inCorso = (tipo == tlPELVAN && !mBufferRicezione.empty() && !mRigaScartata) || !resto.empty();
    while (Trascorso(t0, pf.timeGetTime()) < LimiteCodice) {
        std::string arrivati = Seriale->Input();
        if (arrivati.empty()) {
            // A code may be on its way: give it the time its bytes take.
            if (!inCorso) break;
            Seriale->AttendiDati(soloControllo ? AttesaControllo : PausaCodice);
            arrivati = Seriale->Input();
            if (arrivati.empty()) {
                if (tipo == tlMifareMAVO) trame(true);  // a frame whose check character never came
                break;                                  // what is pending is no code
            }
        }
        switch (tipo) {
            case tlPELVAN:
                TagliaRighe(arrivati);
                inCorso = !mBufferRicezione.empty() && !mRigaScartata;
                break;
            case tlKez3:
            case tlEmulKez:
                resto += arrivati;
                binarie();
                inCorso = !resto.empty();
                break;
            case tlMifareMAVO:
                resto += arrivati;
                trame(false);
                inCorso = !resto.empty();
                break;
            default: break;  // an unknown reader sends no codes we know
        }
    }
    Seriale->setInputLen(0);
    Seriale->Input();
    mBufferRicezione.clear();
    mRigaScartata = false;
}

}  // namespace talumbra
