#include "protocols/TabellaDriver.h"

#include "channel/clsComunicazioni.h"
#include "protocols/DriverKez.h"
#include "protocols/DriverMavo.h"
#include "protocols/DriverPelvan.h"

namespace talumbra {

// A reply that names two readers ("KEZ" in an "OMBRISK-125" text) is taken
// for the first in this order. A new family goes here.
const std::vector<FamigliaLettore>& FamiglieLettori() {
    static const std::vector<FamigliaLettore> famiglie{
        {tlPELVAN, []() -> std::shared_ptr<Driver> { return std::make_shared<DriverPelvan>(); }},
        {tlMifareMAVO, []() -> std::shared_ptr<Driver> { return std::make_shared<DriverMavo>(); }},
        {tlEmulKez, []() -> std::shared_ptr<Driver> { return std::make_shared<DriverKez>(tlEmulKez); }},
        {tlKez3, []() -> std::shared_ptr<Driver> { return std::make_shared<DriverKez>(tlKez3); }},
    };
    return famiglie;
}

std::shared_ptr<Driver> CreaDriver(int32_t tipo) {
    for (const auto& f : FamiglieLettori())
        if (f.tipo == tipo) return f.crea();
    return nullptr;
}

void InstallaDriver(clsComunicazioni& canale, int32_t tipo) {
    if (canale.TipoDispositivo() == tipo) return;
    canale.setDriver(CreaDriver(tipo));
}

int32_t RiconosciLettore(const std::string& versione, bool incorniciata, int32_t attuale) {
    for (const auto& f : FamiglieLettori())
        if (f.crea()->Riconosce(versione, incorniciata)) return f.tipo;
    return attuale;
}

}  // namespace talumbra
