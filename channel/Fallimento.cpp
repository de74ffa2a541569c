#include "talumbra/Fallimento.h"

namespace talumbra {

Fallimento::Fallimento(int32_t numero, std::string descrizione)
    : std::runtime_error(descrizione), numero_(numero), descrizione_(std::move(descrizione)) {}

// Out of line so that the type's identity lives in one place: hosts catch it across the library boundary.
Fallimento::~Fallimento() = default;

}  // namespace talumbra
