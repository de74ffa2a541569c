#pragma once
// Bookkeeping shared by the channel's waits. A wait reads the port, and when
// nothing is waiting it sleeps on the port instead of spinning: until a byte
// arrives, the next 100 ms mark (when the host's events are due) or the
// deadline, whichever comes first.
#include <algorithm>
#include <cstdint>

#include "channel/Piattaforma.h"
#include "channel/PortaSeriale.h"

namespace talumbra::attesa {

inline constexpr uint32_t Passo = 100;  // host events once per mark

// Host events once whenever the elapsed time reaches a new 100 ms mark
// (0 included). A clock that jumps past several marks gives one pass.
class Segni {
public:
    void Passa(uint32_t trascorso) {
        const int64_t segno = trascorso / Passo;
        if (segno > ultimo_) {
            ultimo_ = segno;
            piattaforma().DoEvents();
        }
    }
    // Elapsed time of the next mark still to come.
    int64_t Prossimo() const { return (ultimo_ + 1) * static_cast<int64_t>(Passo); }

private:
    int64_t ultimo_ = -1;
};

// Sleeps on the port until elapsed time `fino` since `t0`, reading the clock
// afresh (host events may have taken time). No sleep when it has already come.
inline void DormiFino(PortaSeriale& porta, uint32_t t0, int64_t fino) {
    const int64_t ms = fino - static_cast<int64_t>(Trascorso(t0, piattaforma().timeGetTime()));
    if (ms > 0) porta.AttendiDati(static_cast<uint32_t>(std::min<int64_t>(ms, UINT32_MAX)));
}

// Milliseconds left until elapsed time `fino` since `t0`; 0 once it has come.
inline uint32_t Resto(uint32_t t0, int64_t fino) {
    const int64_t ms = fino - static_cast<int64_t>(Trascorso(t0, piattaforma().timeGetTime()));
    return ms > 0 ? static_cast<uint32_t>(std::min<int64_t>(ms, UINT32_MAX)) : 0;
}

// First elapsed time that is strictly past a time-out of `limite` ms.
inline int64_t OltreIlLimite(int32_t limite) { return static_cast<int64_t>(limite) + 1; }

}  // namespace talumbra::attesa
