#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdlib>

#include "platform/PiattaformaQt.h"
#include "platform/PortaPosix.h"

namespace talumbra::test {
namespace {

TEST(PiattaformaQt, ClockOffsetReachesTheWrap) {
    ::unsetenv("TALUMBRA_CLOCK_OFFSET_MS");
    PiattaformaQt senza;
    ::setenv("TALUMBRA_CLOCK_OFFSET_MS", "4294967000", 1);
    PiattaformaQt con;
    ::unsetenv("TALUMBRA_CLOCK_OFFSET_MS");
    uint32_t a = senza.timeGetTime();
    uint32_t b = con.timeGetTime();
    // b is a + offset modulo 2^32, give or take the time between the calls.
    uint32_t scarto = b - a;
    EXPECT_GE(scarto, 4294967000u);
    EXPECT_LE(scarto - 4294967000u, 1000u);
}

TEST(PiattaformaQt, SleepDoEventsBeepAndPorts) {
    PiattaformaQt p;
    uint32_t t0 = p.timeGetTime();
    p.Sleep(50);
    EXPECT_GE(p.timeGetTime() - t0, 49u);

    bool scattato = false;
    QTimer::singleShot(0, [&] { scattato = true; });
    p.DoEvents();
    EXPECT_TRUE(scattato);

    p.Beep();  // no hook: nothing
    int beep = 0;
    p.suBeep = [&] { ++beep; };
    p.Beep();
    EXPECT_EQ(beep, 1);

    auto porta = p.CreaPorta();
    EXPECT_NE(dynamic_cast<PortaPosix*>(porta.get()), nullptr);
    EXPECT_FALSE(porta->PortOpen());
}

}  // namespace
}  // namespace talumbra::test
