#pragma once
// Puts the process-wide reader state back to its start values: tests and
// fuzzers run many cases in one process.
#include "readers/clsLettori.h"
#include "readers/modLettori.h"

namespace talumbra::test {

inline void AzzeraStatoLettori() {
    modLettori::setLettori(nullptr);
    modLettori::TipoBadgeCorrente = 0;
    modLettori::TempoMantCode = 0;
    modLettori::CodificaQuendelAttiva = false;
    modLettori::UltimoCodice.clear();
    modLettori::TempoUltimoCodice = 0;
}

}  // namespace talumbra::test
