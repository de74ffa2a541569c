#pragma once
// Base fixture for tests of the front end and the command set: a fake platform
// installed before any front end exists, and the process-wide reader state
// put back to its start values before and after each test.
#include <gtest/gtest.h>

#include "readers/clsLettori.h"
#include "readers/modLettori.h"
#include "tests/support/AzzeraStato.h"
#include "tests/support/FakePiattaforma.h"

namespace talumbra::test {

class StatoLettori : public ::testing::Test {
protected:
    StatoLettori() { Azzera(); }
    // Drops the current front end while the fake platform still exists.
    ~StatoLettori() override { Azzera(); }

    static void Azzera() { AzzeraStatoLettori(); }

    FakePiattaforma fp;
};

}  // namespace talumbra::test
