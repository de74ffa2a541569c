#pragma once
// A fake port and a fake millisecond clock for unit tests.
//
//   FakePiattaforma fp;                 // installs itself, clock at 0
//   clsComunicazioni ch;                // its port is fp.porta()
//   fp.porta().Arriva(120, "AB\r\n");   // bytes that reach the port at 120 ms
//   fp.porta().Fallisci("Input", 68);   // the next Input() throws 68
//
// The clock moves only when code sleeps (Sleep, AttendiDati) or a test says so
// (Avanza, Imposta), so every time-out is exact and instant.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "talumbra/Fallimento.h"
#include "channel/Piattaforma.h"

namespace talumbra::test {

class FakePiattaforma;

class FakePorta : public PortaSeriale {
public:
    explicit FakePorta(FakePiattaforma& p);
    ~FakePorta() override;

    struct Scrittura {
        uint32_t quando;
        std::string byte;
    };

    // ---- Scripting
    // Bytes that reach the port at clock time `quando` (absolute, wrapping).
    void Arriva(uint32_t quando, const std::string& byte);
    // Bytes that reach the port now.
    void ArrivaOra(const std::string& byte);
    // The next `volte` calls of operation `op` throw Fallimento(numero). Names:
    // "setCommPort" "setSettings" "Open" "Close" "setDTREnable" "setRTSEnable"
    // "setRThreshold" "setInputLen" "setInputMode" "Input" "Output"
    // "InBufferCount" "AttendiDati". volte < 0: for ever.
    void Fallisci(const std::string& op, int32_t numero, int volte = 1, const std::string& descrizione = "");
    void NonFallire() { fallimenti_.clear(); }
    // Port numbers that exist (default: 1 to 256) and numbers held by another program.
    std::set<int16_t> esistenti;
    std::set<int16_t> occupate;
    // Called after every Output, with the bytes written: a scripted reader can answer.
    std::function<void(const std::string&)> suScrittura;
    // Delivers the receive notification as the real port would: when open,
    // the threshold is 1 and bytes are waiting. Returns whether it fired.
    bool Notifica();

    // ---- What the code did
    std::vector<Scrittura> scritture;
    std::string Scritto() const;  // every write, joined
    void PulisciScritture() { scritture.clear(); }
    std::string InAttesa() const { return rx_; }  // bytes arrived and unread
    size_t NonArrivati() const { return futuri_.size(); }
    int aperture = 0;
    int chiusure = 0;
    int letture = 0;
    int evento = comEvReceive;  // what CommEvent() returns
    int rinnovi = 0;            // RinnovaNotifica calls

    // ---- PortaSeriale
    void setCommPort(int16_t numero) override;
    int16_t CommPort() const override { return numero_; }
    void setSettings(const std::string& s) override;
    std::string Settings() const override { return impostazioni_; }
    void setPortOpen(bool aperta) override;
    bool PortOpen() const override { return aperta_; }
    void setDTREnable(bool v) override;
    bool DTREnable() const override { return dtr_; }
    void setRTSEnable(bool v) override;
    bool RTSEnable() const override { return rts_; }
    void setRThreshold(int s) override;
    int RThreshold() const override { return soglia_; }
    void setInputLen(int l) override;
    int InputLen() const override { return lunghezza_; }
    void setInputMode(int m) override;
    int InputMode() const override { return modo_; }
    std::string Input() override;
    void Output(const std::string& testo) override;
    int InBufferCount() override;
    int CommEvent() const override { return evento; }
    void RinnovaNotifica() override { ++rinnovi; }
    void AttendiDati(uint32_t ms) override;

private:
    void Controlla(const std::string& op);
    void Consegna();  // moves the bytes whose time has come into rx_
    FakePiattaforma& p_;
    struct Futuro {
        uint32_t quando;
        std::string byte;
    };
    std::deque<Futuro> futuri_;
    std::string rx_;
    struct Guasto {
        int32_t numero;
        int volte;
        std::string descrizione;
    };
    std::map<std::string, Guasto> fallimenti_;
    int16_t numero_ = 1;
    std::string impostazioni_ = "9600,n,8,1";
    bool aperta_ = false, dtr_ = false, rts_ = false;
    int soglia_ = 0, lunghezza_ = 0, modo_ = comInputModeText;
};

class FakePiattaforma : public Piattaforma {
public:
    explicit FakePiattaforma(uint32_t inizio = 0);
    ~FakePiattaforma() override;

    uint32_t ora = 0;
    void Avanza(uint32_t ms) { ora += ms; }

    // The last port created (the channel's), and every port created.
    FakePorta& porta();
    std::vector<FakePorta*> porte;
    // Configures each new port before the code sees it.
    std::function<void(FakePorta&)> suCreazione;

    // Each DoEvents call: the clock time, then the hook.
    std::vector<uint32_t> eventi;
    std::function<void()> suEventi;
    std::vector<uint32_t> pause;  // every Sleep, in ms
    int beep = 0;

    std::unique_ptr<PortaSeriale> CreaPorta() override;
    uint32_t timeGetTime() override { return ora; }
    void Sleep(uint32_t ms) override;
    void DoEvents() override;
    void Beep() override { ++beep; }

private:
    Piattaforma* precedente_;
};

}  // namespace talumbra::test
