#pragma once
// The folder of comN entries: one rule for the library and for talumbra-sim,
// so that the simulator links a port exactly where the library looks.
//
//   1. TALUMBRA_PORTS, when set and not empty;
//   2. $XDG_CONFIG_HOME/talumbra/ports, when XDG_CONFIG_HOME is absolute
//      (a relative one is invalid and ignored);
//   3. <home>/.config/talumbra/ports, the home being HOME when absolute,
//      else the user's entry in the password database.
// Plain C++ with no other dependency: the simulator links it on its own.
#include <string>

namespace talumbra {

// The folder in use, or the empty text when none can be named (no usable
// setting and no home).
std::string CartellaPorte();
// True when TALUMBRA_PORTS names the folder: then it must exist, since a
// folder named by hand and missing (a typo, an unmounted disk) must not
// send a port number to the built-in table's device.
bool CartellaPorteNominata();

// The user's home: HOME when absolute, else the account's; empty when neither.
std::string CartellaCasa();

}  // namespace talumbra
