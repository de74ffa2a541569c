#pragma once
// The real serial port: a termios device opened by number (platform/MappaPorte.h).
//
// Reception: while the port is open the event loop of the thread that opened
// it watches the descriptor (through one epoll descriptor shared by the
// thread's ports). When it has bytes, everything the device has is
// moved into an internal buffer and OnComm is called (threshold 1). Reads are
// served from that buffer, so bytes a handler leaves unread never wake the
// notifier again; only new bytes do. A read takes the device's news first,
// except the handler's first one, which that drain has just served: at 9600
// baud every byte is a wake-up, and each call to the device counts.
//
// A device that goes away (unplugged adapter, pty whose other end closed)
// disables the notifier, gets one last OnComm so the owner's read meets the
// failure, and from then on every operation except closing throws 68.
//
// A closed port holds no Qt object, so it may outlive the QCoreApplication.
#include <termios.h>

#include <cstdint>
#include <memory>
#include <string>

#include "channel/PortaSeriale.h"

class QObject;

namespace talumbra {

class Sveglia;

// A parsed settings text.
struct ImpostazioniLinea {
    int baud = 9600;
    speed_t velocita = B9600;
    char parita = 'n';  // n e o m s
    int bitDati = 8;    // 5 to 8
    int bitStop = 1;    // 1, 2, or 15 for 1.5
};
// Throws Fallimento(errValoreNonValido) with the reason when `testo` is malformed.
ImpostazioniLinea LeggiImpostazioni(const std::string& testo);
// Puts the line settings into `t` and makes it raw (no echo, no line editing,
// no CR/LF translation, no flow control, VMIN 1 VTIME 0).
void ApplicaImpostazioni(const ImpostazioniLinea& imp, termios& t);

class PortaPosix : public PortaSeriale {
public:
    PortaPosix();
    ~PortaPosix() override;
    PortaPosix(const PortaPosix&) = delete;
    PortaPosix& operator=(const PortaPosix&) = delete;

    void setCommPort(int16_t numero) override;
    int16_t CommPort() const override { return numero_; }
    void setSettings(const std::string& impostazioni) override;
    std::string Settings() const override { return impostazioni_; }
    void setPortOpen(bool aperta) override;
    bool PortOpen() const override { return fd_ >= 0; }
    void setDTREnable(bool v) override;
    bool DTREnable() const override { return dtr_; }
    void setRTSEnable(bool v) override;
    bool RTSEnable() const override { return rts_; }
    void setRThreshold(int soglia) override;
    int RThreshold() const override { return soglia_; }
    void setInputLen(int lunghezza) override;
    int InputLen() const override { return lunghezza_; }
    void setInputMode(int modo) override;
    int InputMode() const override { return modo_; }
    std::string Input() override;
    void Output(const std::string& testo) override;
    int InBufferCount() override;
    int CommEvent() const override { return evento_; }
    void RinnovaNotifica() override;
    void AttendiDati(uint32_t ms) override;

    // The device path of the open port (empty when closed).
    const std::string& Percorso() const { return percorso_; }
    // How many times the receive notifier has woken this port since it was
    // created: lets a test see that a dead device does not keep waking it.
    uint64_t Risvegli() const { return risvegli_; }

private:
    void Apri();
    void Chiudi() noexcept;
    std::string Nome() const;                      // "port N (path)" for the descriptions
    void Controlla(const char* operazione) const;  // closed: 8012; gone: 68
    // Reading: as Controlla, but a device that hung up still gives what it
    // sent before; only once that is taken does reading fail with 68.
    void ControllaLettura(const char* operazione);
    [[noreturn]] void Guasto(const std::string& perche);  // marks the device gone, throws 68
    void SegnaGuasto(const std::string& perche) noexcept;
    // Moves what the device has into the buffer, with no call beyond the
    // reads themselves. False when the device is gone.
    bool Drena() noexcept;
    void Linee();  // DTR and RTS as the flags say
    void Linea(int bit, bool alta);
    void Ascolta(bool si) noexcept;  // whether the event loop wakes this port
    void Risveglio() noexcept;       // the device has bytes
    void Accoda() noexcept;          // a notification, later, from the event loop
    void Consegna() noexcept;        // calls OnComm if there is something to report
    size_t InAttesa() const { return rx_.size() - inizio_; }

    int16_t numero_ = 1;
    std::string impostazioni_ = "9600,n,8,1";
    ImpostazioniLinea linea_{};
    bool dtr_ = false, rts_ = false;
    int soglia_ = 0, lunghezza_ = 0, modo_ = comInputModeText;
    int evento_ = 0;

    int fd_ = -1;
    std::string percorso_;
    std::string rx_;  // received bytes; the unread ones start at inizio_
    size_t inizio_ = 0;
    bool nuovi_ = false;           // bytes have arrived that no notification reported yet
    bool drenato_ = false;         // the notifier has just read the device: the next read need not
    bool guasto_ = false;          // the device has gone
    bool ultimaNotifica_ = false;  // the one notification of a gone device is owed
    std::string perche_;           // why it has gone
    bool accodata_ = false;
    uint64_t risvegli_ = 0;
    int vuoti_ = 0;  // wake-ups in a row that found nothing to read
    // Notification deliveries in progress. Shared so that a delivery whose
    // handler releases the port can still count itself out.
    std::shared_ptr<int> consegne_ = std::make_shared<int>(0);
    std::shared_ptr<Sveglia> sveglia_;   // the thread's watch over its open ports
    uint64_t chiave_ = 0;                // this port's place in it
    std::unique_ptr<QObject> contesto_;  // where queued notifications are delivered
};

}  // namespace talumbra
