#include "control/PiattaformaControllo.h"

#include <QApplication>

#include "channel/Piattaforma.h"
#include "platform/PiattaformaQt.h"

namespace talumbra::controllo {

void InstallaPiattaforma() {
    if (piattaformaCorrente()) return;
    // Lives as long as the process: ports and channels may outlive any control.
    static PiattaformaQt* reale = [] {
        auto* p = new PiattaformaQt();
        p->suBeep = [] { QApplication::beep(); };
        return p;
    }();
    setPiattaforma(reale);
}

}  // namespace talumbra::controllo
