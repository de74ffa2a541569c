#pragma once
// Shared by the fuzzers: reads the fuzzer's bytes as a script of arrivals on
// the fake port (a delay in ms, a length, then that many bytes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "readers/clsLettori.h"
#include "tests/support/FakePiattaforma.h"

namespace talumbra::fuzz {

class Lettore {
public:
    Lettore(const uint8_t* dati, size_t n) : p_(dati), fine_(dati + n) {}
    bool Finito() const { return p_ >= fine_; }
    uint8_t Byte() { return Finito() ? 0 : *p_++; }
    std::string Pezzo(size_t massimo) {
        size_t n = Byte() % (massimo + 1);
        std::string s;
        while (n-- && !Finito()) s += static_cast<char>(*p_++);
        return s;
    }

private:
    const uint8_t* p_;
    const uint8_t* fine_;
};

// Schedules the rest of the input as arrivals, starting at `t`.
inline void ProgrammaArrivi(Lettore& in, test::FakePorta& porta, uint32_t t) {
    while (!in.Finito()) {
        t += in.Byte();
        porta.Arriva(t, in.Pezzo(64));
    }
}

#define FUZZ_VERIFICA(cond)        \
    do {                           \
        if (!(cond)) std::abort(); \
    } while (0)

}  // namespace talumbra::fuzz
