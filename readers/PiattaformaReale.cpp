#include "readers/PiattaformaReale.h"

#include "channel/Piattaforma.h"
#include "platform/PiattaformaQt.h"

namespace talumbra {

void InstallaPiattaforma(std::function<void()> beep) {
    // Lives as long as the process: ports and channels may outlive any session.
    static PiattaformaQt* reale = nullptr;
    if (!piattaformaCorrente()) {
        if (!reale) reale = new PiattaformaQt();
        setPiattaforma(reale);
    }
    if (beep && reale && piattaformaCorrente() == reale) reale->suBeep = std::move(beep);
}

}  // namespace talumbra
