#pragma once
// Pseudo-terminals standing in for serial devices.
//
//   CartellaPorteTemporanea dir;      // a temp folder, TALUMBRA_PORTS points at it
//   PtyCoppia pty(dir, 5);            // a pty whose slave is dir/com5
//   pty.Scrivi("AB");                 // bytes the "device" sends
//   pty.Leggi(2);                     // bytes the port wrote
#include <termios.h>

#include <cstdint>
#include <string>

namespace talumbra::test {

// A temporary folder named by TALUMBRA_PORTS while it lives.
class CartellaPorteTemporanea {
public:
    // With `mascheraDispositivi`, the machine's own serial devices (the
    // built-in numbers) are hidden behind dangling links, so that a port list
    // or a probe only ever finds the tests' ports.
    explicit CartellaPorteTemporanea(bool mascheraDispositivi = false);
    ~CartellaPorteTemporanea();
    CartellaPorteTemporanea(const CartellaPorteTemporanea&) = delete;
    CartellaPorteTemporanea& operator=(const CartellaPorteTemporanea&) = delete;
    const std::string& Percorso() const { return percorso_; }
    // Links comN to `dispositivo`.
    bool Collega(int n, const std::string& dispositivo) const;

private:
    std::string percorso_;
    bool cera_ = false;
    std::string prima_;
};

// A pty pair in raw mode; the slave may be linked as `comN` in a folder.
class PtyCoppia {
public:
    PtyCoppia();  // not linked: Slave() is the device
    PtyCoppia(const std::string& cartella, int numero);
    PtyCoppia(const CartellaPorteTemporanea& c, int numero) : PtyCoppia(c.Percorso(), numero) {}
    ~PtyCoppia();
    PtyCoppia(const PtyCoppia&) = delete;
    PtyCoppia& operator=(const PtyCoppia&) = delete;

    const std::string& Slave() const { return slave_; }
    const std::string& Link() const { return link_; }
    int Master() const { return master_; }

    void Scrivi(const std::string& byte);
    // Reads until `n` bytes have come or `ms` have passed.
    std::string Leggi(size_t n, int ms = 5000);
    // What the port wrote so far, without waiting.
    std::string Letto();
    // The slave's line settings as the port left them.
    termios Impostazioni() const;
    // The device goes away: the port's end now hangs up.
    void ChiudiMaster();

private:
    int master_ = -1;
    std::string slave_, link_;
};

}  // namespace talumbra::test
