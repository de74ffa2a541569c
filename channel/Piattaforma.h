#pragma once
// What the reader core needs of the world besides the port: the port factory,
// the 32-bit millisecond clock, a blocking sleep, one pass of the host's event
// loop and a beep. The library installs the real one; tests install a fake.
#include <cstdint>
#include <memory>

#include "channel/PortaSeriale.h"

namespace talumbra {

class Piattaforma {
public:
    virtual ~Piattaforma() = default;
    virtual std::unique_ptr<PortaSeriale> CreaPorta() = 0;
    // Milliseconds since start, 32 bits: wraps after about 49.7 days.
    virtual uint32_t timeGetTime() = 0;
    virtual void Sleep(uint32_t ms) = 0;
    // Lets the host process its pending events once.
    virtual void DoEvents() = 0;
    virtual void Beep() = 0;
};

// The platform in use. Throws Fallimento when none has been installed.
Piattaforma& piattaforma();
// Installs `p` (not owned; nullptr removes it) and returns the previous one.
Piattaforma* setPiattaforma(Piattaforma* p);
// The platform in use, or nullptr.
Piattaforma* piattaformaCorrente();

// Time from t0 to t1 on the wrapping clock, taken modulo 2^32.
inline uint32_t Trascorso(uint32_t t0, uint32_t t1) { return t1 - t0; }

// elapsed > limit, with a signed limit (a negative limit is always passed).
inline bool Oltre(uint32_t trascorso, int32_t limite) {
    return static_cast<int64_t>(trascorso) > static_cast<int64_t>(limite);
}

}  // namespace talumbra
