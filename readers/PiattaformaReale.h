#pragma once
// Installs the real platform (serial ports, clock, event loop) unless one is
// installed already (tests put a fake one first). `beep`, when given, is what
// the reader's beep does on the real platform.
#include <functional>

namespace talumbra {

void InstallaPiattaforma(std::function<void()> beep = {});

}  // namespace talumbra
