#pragma once
// The serial port as the channel sees it. Every operation may throw Fallimento.
// Implementations: platform/PortaPosix (termios) and the fake of tests/support.
#include <cstdint>
#include <functional>
#include <string>

namespace talumbra {

inline constexpr int comEvReceive = 2;      // notification code: data received
inline constexpr int comInputModeText = 0;  // one character per byte, codes 0 to 255

class PortaSeriale {
public:
    virtual ~PortaSeriale() = default;

    virtual void setCommPort(int16_t numero) = 0;
    virtual int16_t CommPort() const = 0;
    // "9600,n,8,1": baud, parity (n e o m s), data bits 5-8, stop bits 1, 1.5 or 2.
    virtual void setSettings(const std::string& impostazioni) = 0;
    virtual std::string Settings() const = 0;
    // true opens (8005 when already open), false closes (closing a closed port is fine).
    virtual void setPortOpen(bool aperta) = 0;
    virtual bool PortOpen() const = 0;
    virtual void setDTREnable(bool v) = 0;
    virtual bool DTREnable() const = 0;
    virtual void setRTSEnable(bool v) = 0;
    virtual bool RTSEnable() const = 0;
    // 1: notify whenever bytes are waiting; 0: never notify.
    virtual void setRThreshold(int soglia) = 0;
    virtual int RThreshold() const = 0;
    // 0: a read returns everything waiting; 1: at most one character.
    virtual void setInputLen(int lunghezza) = 0;
    virtual int InputLen() const = 0;
    virtual void setInputMode(int modo) = 0;
    virtual int InputMode() const = 0;
    // Never blocks: the empty text when nothing is waiting.
    virtual std::string Input() = 0;
    // Queues the bytes in order and returns at once.
    virtual void Output(const std::string& testo) = 0;
    virtual int InBufferCount() = 0;
    // Read inside the notification; comEvReceive for received data.
    virtual int CommEvent() const = 0;
    // A handler that stops before it has read everything (to let the host's
    // events run) asks for one more notification for the bytes still waiting;
    // it comes from the event loop once the threshold is 1. Bytes already
    // reported are otherwise never reported again.
    virtual void RinnovaNotifica() = 0;

    // Sleeps until a byte is waiting or `ms` milliseconds have passed, whichever
    // comes first. The reply waits use it instead of spinning; it never reads.
    virtual void AttendiDati(uint32_t ms) = 0;

    // The receive notification, delivered on the user-interface thread.
    std::function<void()> OnComm;
};

}  // namespace talumbra
