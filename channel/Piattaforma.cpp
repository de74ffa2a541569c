#include "channel/Piattaforma.h"

#include "talumbra/Fallimento.h"

namespace talumbra {

namespace {
Piattaforma* corrente = nullptr;
}

Piattaforma& piattaforma() {
    if (!corrente) throw Fallimento(errDispositivoNonDisponibile, "No serial platform installed");
    return *corrente;
}

Piattaforma* piattaformaCorrente() { return corrente; }

Piattaforma* setPiattaforma(Piattaforma* p) {
    Piattaforma* prima = corrente;
    corrente = p;
    return prima;
}

}  // namespace talumbra
