#pragma once
// Installs the real platform (serial ports, clock, event loop) for the
// control, unless one is installed already (tests put a fake one first).
namespace talumbra::controllo {

void InstallaPiattaforma();

}  // namespace talumbra::controllo
