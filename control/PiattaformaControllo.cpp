#include "control/PiattaformaControllo.h"

#include "channel/Piattaforma.h"

#ifdef TALUMBRA_CON_PIATTAFORMA
#include <QApplication>

#include "platform/PiattaformaQt.h"
#endif

namespace talumbra::controllo {

void InstallaPiattaforma() {
    if (piattaformaCorrente()) return;
#ifdef TALUMBRA_CON_PIATTAFORMA
    // Lives as long as the process: ports and channels may outlive any control.
    static PiattaformaQt* reale = [] {
        auto* p = new PiattaformaQt();
        p->suBeep = [] { QApplication::beep(); };
        return p;
    }();
    setPiattaforma(reale);
#endif
}

}  // namespace talumbra::controllo
