#include "control/SessioneCorrente.h"

#include <QCoreApplication>

namespace talumbra {

namespace {
std::shared_ptr<Lettore> corrente;
bool pulizia = false;
}  // namespace

std::shared_ptr<Lettore> SessioneCorrente() {
    if (!corrente) setSessioneCorrente(std::make_shared<Lettore>());
    return corrente;
}

void setSessioneCorrente(std::shared_ptr<Lettore> sessione) {
    corrente = std::move(sessione);
    // A session is a QObject with timers and watchers: it goes with the
    // application, not at static destruction after it.
    if (corrente && !pulizia && QCoreApplication::instance()) {
        pulizia = true;
        qAddPostRoutine([] {
            corrente.reset();
            pulizia = false;
        });
    }
}

}  // namespace talumbra
