#pragma once
// The real platform: termios ports, the monotonic clock, a blocking sleep and
// one pass of the Qt event loop. Links Qt Core only; the widget layer supplies
// the beep (QApplication::beep) through `suBeep`.
#include <cstdint>
#include <functional>

#include "channel/Piattaforma.h"

namespace talumbra {

class PiattaformaQt : public Piattaforma {
public:
    // Reads TALUMBRA_CLOCK_OFFSET_MS (milliseconds added to the clock, so the
    // 32-bit wrap can be reached on purpose).
    PiattaformaQt();

    std::unique_ptr<PortaSeriale> CreaPorta() override;
    uint32_t timeGetTime() override;
    void Sleep(uint32_t ms) override;
    void DoEvents() override;
    void Beep() override;

    // What Beep does; nothing when empty.
    std::function<void()> suBeep;

private:
    uint64_t scarto_ = 0;
};

}  // namespace talumbra
