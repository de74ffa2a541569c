#pragma once
// Base fixture for tests of the front end and the command set: a fake platform
// installed before the front end exists, and released after it.
#include <gtest/gtest.h>

#include <memory>

#include "readers/clsLettori.h"
#include "readers/modLettori.h"
#include "tests/support/FakePiattaforma.h"

namespace talumbra::test {

class StatoLettori : public ::testing::Test {
protected:
    FakePiattaforma fp;
    std::shared_ptr<clsLettori> lettori = std::make_shared<clsLettori>();
};

}  // namespace talumbra::test
