#pragma once
// The reader families by device type: whoever sets a channel's device type
// installs its driver from here.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channel/Driver.h"

namespace talumbra {

class clsComunicazioni;

struct FamigliaLettore {
    int32_t tipo;  // a TipoLettore value
    std::shared_ptr<Driver> (*crea)();
};

// One entry per device type, in the order a version reply is matched.
const std::vector<FamigliaLettore>& FamiglieLettori();

// A new driver for device type `tipo`; nullptr for a type with none.
std::shared_ptr<Driver> CreaDriver(int32_t tipo);

// Installs on `canale` the driver of device type `tipo` (none for an unknown
// type). A driver already of that type stays, with what it has learnt of the
// reader.
void InstallaDriver(clsComunicazioni& canale, int32_t tipo);

// The device type that a version reply names, or `attuale` when it names
// none. `incorniciata`: the reply to the framed request.
int32_t RiconosciLettore(const std::string& versione, bool incorniciata, int32_t attuale);

}  // namespace talumbra
