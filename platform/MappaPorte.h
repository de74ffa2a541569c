#pragma once
// Port numbers to device paths.
//
// Number N (1 to 256) is, in this order:
//   1. the entry comN (a symlink or a device node) in the folder named by
//      TALUMBRA_PORTS, or when that is unset in $XDG_CONFIG_HOME/talumbra/ports
//      (by default ~/.config/talumbra/ports);
//   2. the built-in table: 1-32 /dev/ttyS0-31, 33-64 /dev/ttyUSB0-31,
//      65-96 /dev/ttyACM0-31.
// The lookup costs a few stat calls and never opens anything, so the control
// can probe every number quickly.
#include <cstdint>
#include <string>

namespace talumbra {

inline constexpr int PrimaPorta = 1;
inline constexpr int UltimaPorta = 256;

// The folder of comN entries in use, or the empty text when none can be named
// (TALUMBRA_PORTS unset and neither XDG_CONFIG_HOME nor HOME set).
std::string CartellaPorte();

// The path to open for port `numero`: the comN entry (as written, so a symlink
// is followed at open) or the built-in device. Throws Fallimento 8002 when the
// number is out of range or its device does not exist, and when the folder
// cannot be searched for a reason other than a missing entry (8010 when that
// reason is a permission); only a missing entry falls back to the table.
std::string PercorsoPorta(int numero);

}  // namespace talumbra
