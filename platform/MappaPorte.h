#pragma once
// Port numbers to device paths.
//
// Number N (1 to 256) is, in this order:
//   1. the entry comN (a symlink or a device node) in the ports folder
//      (platform/CartellaPorte.h);
//   2. the built-in table: 1-32 /dev/ttyS0-31, 33-64 /dev/ttyUSB0-31,
//      65-96 /dev/ttyACM0-31.
// The lookup costs a few stat calls and never opens anything, so the control
// can probe every number quickly.
#include <cstdint>
#include <string>

#include "platform/CartellaPorte.h"

namespace talumbra {

inline constexpr int PrimaPorta = 1;
inline constexpr int UltimaPorta = 256;

// The path to open for port `numero`: the comN entry (as written, so a symlink
// is followed at open) or the built-in device. Throws Fallimento 8002 when the
// number is out of range or its device does not exist, and when the folder
// cannot be searched for a reason other than a missing entry (8010 when that
// reason is a permission); only a missing entry falls back to the table, and
// not when the folder named by TALUMBRA_PORTS is itself missing.
std::string PercorsoPorta(int numero);

}  // namespace talumbra
