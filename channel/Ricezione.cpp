// The channel's side of reception: a notification handed to the family
// driver, the reads the drivers use, and the codes waiting before a command.
#include <algorithm>
#include <utility>

#include "channel/Attesa.h"
#include "channel/Piattaforma.h"
#include "channel/clsComunicazioni.h"
#include "talumbra/Fallimento.h"

namespace talumbra {

namespace {
// Longest a notification's handler keeps the thread while bytes keep coming:
// a reader faster than the line (or a flood) must not starve the host's
// events and signals. What is left is notified again.
constexpr uint32_t LimiteTurno = 5;
// Bytes taken per read of the input waiting before a command, so that the
// collection can stop between reads.
constexpr int PezzoRaccolta = 64;

bool PortaAncoraAperta(PortaSeriale& porta) {
    try {
        return porta.PortOpen();
    } catch (...) {
        return false;
    }
}
}  // namespace

const std::string& Driver::InSospeso() const {
    static const std::string nulla;
    return nulla;
}

const std::string& clsComunicazioni::BufferRicezione() const {
    static const std::string nulla;
    return mDriver ? mDriver->InSospeso() : nulla;
}

bool clsComunicazioni::PortaAperta() const { return PortaAncoraAperta(*Seriale); }

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
        // Held for the notification: a host event may install another.
        // Without one (an unknown reader) the bytes stay in the port.
        if (const std::shared_ptr<Driver> driver = mDriver) driver->Ricevi(*this);
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

// ---- Codes that come while the channel is busy with a command

bool clsComunicazioni::CodiceNonRisposta(const std::string& testo) const {
    return mCodiciInAttesa && EUnCodice && EUnCodice(testo);
}

void clsComunicazioni::ConsegnaInAttesa(uint32_t entro) {
    const auto vivo = weak_from_this().lock();  // host events may release the owner
    const std::shared_ptr<Driver> driver = mDriver;
    Piattaforma& pf = piattaforma();
    const uint32_t t0 = pf.timeGetTime();
    // In pieces, so that a flood cannot hold the command for long: what a
    // notification would have taken, for a quarter of a second at most. A code
    // in progress whose line pauses is waited for, and one still arriving when
    // that time is up is finished a byte at a time (no code is longer than a
    // piece); all of it within `entro`, what the command can spare.
    const uint32_t finestra = std::min(LimiteCodice, entro);
    const bool stxLetto = std::exchange(mStxLetto, false);
    uint32_t pausa = 0;  // how long the rest of a code in progress may take
    if (driver) {
        driver->InizioRaccolta(stxLetto);
        pausa = driver->Raccogli(*this, {});
    }
    size_t dopo = 0;  // bytes taken once the window had closed
    for (bool primo = true;; primo = false) {
        const uint32_t trascorso = Trascorso(t0, pf.timeGetTime());
        const bool aperta = primo || trascorso < finestra;  // what is already there is read at least once
        if (!aperta && (pausa == 0 || trascorso >= entro || dopo >= PezzoRaccolta)) break;
        Seriale->setInputLen(aperta ? PezzoRaccolta : 1);
        std::string arrivati = Seriale->Input();
        if (arrivati.empty()) {
            if (pausa == 0) break;
            // A code may be on its way: give it the time its bytes take.
            Seriale->AttendiDati(std::min(pausa, attesa::Resto(t0, entro)));
            arrivati = Seriale->Input();
            if (arrivati.empty()) break;  // what is pending is no code
        }
        if (!aperta) dopo += arrivati.size();
        // An unknown reader sends no codes we know.
        pausa = driver ? driver->Raccogli(*this, arrivati) : 0;
    }
    // The line went quiet, or the time is up, with a code in progress.
    if (pausa != 0 && driver) driver->Quiete(*this);
    Seriale->setInputLen(0);
    Seriale->Input();
    if (driver) driver->Dimentica();
}

}  // namespace talumbra
