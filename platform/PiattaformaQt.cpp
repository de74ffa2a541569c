#include "platform/PiattaformaQt.h"

#include <QCoreApplication>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/PortaPosix.h"

namespace talumbra {

PiattaformaQt::PiattaformaQt() {
    if (const char* v = std::getenv("TALUMBRA_CLOCK_OFFSET_MS")) {
        char* fine = nullptr;
        errno = 0;
        long long n = std::strtoll(v, &fine, 10);
        // A malformed value is ignored rather than half-read.
        if (errno == 0 && fine != v && *fine == '\0') scarto_ = static_cast<uint64_t>(n);
    }
}

std::unique_ptr<PortaSeriale> PiattaformaQt::CreaPorta() { return std::make_unique<PortaPosix>(); }

uint32_t PiattaformaQt::timeGetTime() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms + scarto_);
}

void PiattaformaQt::Sleep(uint32_t ms) {
    timespec resto{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&resto, &resto) != 0 && errno == EINTR) {
    }
}

void PiattaformaQt::DoEvents() {
    if (QCoreApplication::instance()) QCoreApplication::processEvents();
}

void PiattaformaQt::Beep() {
    if (suBeep) suBeep();
}

}  // namespace talumbra
