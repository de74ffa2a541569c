#pragma once
// The current session of the process, shared by every control in it: the
// control created last makes its own session the current one, and the
// properties of every control act on it. Only the controls use it; the
// sessions themselves know nothing of it.
#include <memory>

#include "talumbra/Lettore.h"

namespace talumbra {

// The current session, created on first use while there is none.
std::shared_ptr<Lettore> SessioneCorrente();
void setSessioneCorrente(std::shared_ptr<Lettore> sessione);

}  // namespace talumbra
