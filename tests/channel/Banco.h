#pragma once
// A channel on the fake port, with its events recorded and the family driver
// of the device type that the test sets.
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "channel/clsComunicazioni.h"
#include "protocols/TabellaDriver.h"
#include "tests/support/FakePiattaforma.h"

namespace talumbra::test {

struct Banco {
    explicit Banco(uint32_t inizio = 0) : fp(inizio) {
        canale = std::make_shared<clsComunicazioni>();
        ch = canale.get();
        porta = &fp.porta();
        InstallaDriver(*ch, tlPELVAN);
        ch->ComRX = [this](std::string& s) {
            rx.push_back(s);
            if (suRx) suRx(s);
        };
        ch->ComTX = [this](std::string& s) { tx.push_back(s); };
        ch->ComTO = [this] { ++to; };
        ch->Errore = [this](int16_t& n, std::string& d) { errori.emplace_back(n, d); };
    }
    void Tipo(int32_t t) { InstallaDriver(*ch, t); }
    // Opens the port through the channel and lets notifications through, as
    // the control does once the reader has been found.
    void Pronto() {
        ch->setAttivo(true);
        ch->OnComm_Attivato();
    }
    // Elapsed time since the test's start, on the wrapping clock.
    uint32_t Ora() const { return fp.ora - inizio(); }
    uint32_t inizio() const { return inizioClock; }
    // Bytes that reach the port `dopo` ms after the test's start.
    void Arriva(uint32_t dopo, const std::string& byte) { porta->Arriva(inizioClock + dopo, byte); }
    // The times of the host's event passes, since the test's start.
    std::vector<uint32_t> Eventi() const {
        std::vector<uint32_t> v;
        for (uint32_t t : fp.eventi) v.push_back(t - inizioClock);
        return v;
    }

    FakePiattaforma fp;
    uint32_t inizioClock = fp.ora;
    std::shared_ptr<clsComunicazioni> canale;
    clsComunicazioni* ch = nullptr;
    FakePorta* porta = nullptr;

    std::vector<std::string> rx, tx;
    std::function<void(std::string&)> suRx;
    int to = 0;
    std::vector<std::pair<int16_t, std::string>> errori;
};

// Start times of the timing tests: plain, and just before the 32-bit clock wraps.
inline constexpr uint32_t PrimaDelGiro = 0xFFFFFFFFu - 150;

inline std::string B(std::initializer_list<int> byte) {
    std::string s;
    for (int b : byte) s += static_cast<char>(static_cast<unsigned char>(b));
    return s;
}

}  // namespace talumbra::test
