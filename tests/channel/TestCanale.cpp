// The channel's port, settings, activation and port probe over the fake port.
#include <gtest/gtest.h>

#include "tests/channel/Banco.h"

namespace talumbra::test {
namespace {

TEST(Canale, AssigningTheStoredValueDoesNothingEvenAfterAChangeBehindItsBack) {
    Banco b;
    EXPECT_FALSE(b.ch->CommSettings().has_value());  // before any assignment
    b.ch->setCommPort(3);
    b.ch->setCommSettings("9600,n,8,1");
    b.porta->setCommPort(5);
    b.porta->setSettings("4800,e,7,1");
    b.ch->setCommPort(3);
    b.ch->setCommSettings("9600,n,8,1");
    EXPECT_EQ(b.porta->CommPort(), 5);
    EXPECT_EQ(b.porta->Settings(), "4800,e,7,1");
    EXPECT_TRUE(b.errori.empty());
}

TEST(Canale, NewPortNumberWhileOpenReopensOnItWithDtrOn) {
    Banco b;
    b.ch->setCommPort(3);
    b.ch->setAttivo(true);
    b.ch->setCommPort(4);
    EXPECT_EQ(b.porta->CommPort(), 4);
    EXPECT_TRUE(b.porta->PortOpen());
    EXPECT_TRUE(b.porta->DTREnable());
    EXPECT_EQ(b.porta->aperture, 2);
    EXPECT_EQ(b.ch->CommPort(), 4);

    b.ch->setAttivo(false);
    b.ch->setCommPort(6);  // closed: only the number changes
    EXPECT_FALSE(b.porta->PortOpen());
    EXPECT_EQ(b.porta->CommPort(), 6);
    EXPECT_EQ(b.porta->aperture, 2);
}

TEST(Canale, FailingSetterRaisesErroreAndKeepsTheStoredValue) {
    Banco b;
    b.ch->setCommPort(3);
    b.ch->setAttivo(true);
    b.porta->esistenti.erase(9);
    b.ch->setCommPort(9);
    ASSERT_EQ(b.errori.size(), 1u);
    EXPECT_EQ(b.errori[0].first, 8002);
    EXPECT_EQ(b.ch->CommPort(), 3);
    EXPECT_FALSE(b.porta->PortOpen());  // as the failed reopening left it

    b.porta->Fallisci("setSettings", 100000, 1, "odd");
    b.ch->setCommSettings("1200,n,8,1");
    ASSERT_EQ(b.errori.size(), 2u);
    EXPECT_EQ(b.errori[1].first, -1);  // does not fit in 16 bits: the number goes into the text
    EXPECT_NE(b.errori[1].second.find("100000"), std::string::npos);
    EXPECT_FALSE(b.ch->CommSettings().has_value());
}

TEST(Canale, AttivoOnAnOpenPortLeavesItOpenWithDtrOff) {
    Banco b;
    b.ch->setAttivo(true);
    EXPECT_TRUE(b.porta->DTREnable());
    b.ch->setAttivo(true);
    EXPECT_TRUE(b.porta->PortOpen());
    EXPECT_FALSE(b.porta->DTREnable());
    EXPECT_TRUE(b.ch->Attivo());
}

TEST(Canale, AttivoFalseOnAClosedPortOnlyTurnsDtrOff) {
    Banco b;
    b.porta->setDTREnable(true);
    b.ch->setAttivo(false);
    EXPECT_FALSE(b.porta->DTREnable());
    EXPECT_EQ(b.porta->chiusure, 0);
    EXPECT_FALSE(b.ch->Attivo());
}

TEST(CanaleRecupero, RejectedPortNumberFailsTheRecoveryToo) {
    Banco b;
    b.ch->setCommPort(7);
    b.porta->esistenti.erase(7);
    try {
        b.ch->setAttivo(true);
        FAIL() << "the recovery's failure must reach the caller";
    } catch (const Fallimento& f) {
        EXPECT_EQ(f.Numero(), 8002);
    }
    EXPECT_FALSE(b.ch->Attivo());
    EXPECT_TRUE(b.errori.empty());
}

TEST(CanaleRecupero, RecoveryThatOpensThePortCountsAsDone) {
    Banco b;
    b.ch->setCommPort(2);
    b.porta->Fallisci("Open", 8010);  // the first opening only
    b.ch->setAttivo(true);
    EXPECT_TRUE(b.ch->Attivo());
    EXPECT_TRUE(b.porta->PortOpen());
    EXPECT_TRUE(b.porta->DTREnable());
    EXPECT_EQ(b.porta->CommPort(), 2);
    EXPECT_TRUE(b.errori.empty());
}

TEST(CanaleRecupero, SecondFailureRaisesErroreAndStoresFalse) {
    Banco b;
    b.ch->setCommPort(1);
    b.ch->setAttivo(true);
    b.porta->Fallisci("setDTREnable", 68, 2, "gone");
    b.ch->setAttivo(true);
    ASSERT_EQ(b.errori.size(), 1u);
    EXPECT_EQ(b.errori[0], (std::pair<int16_t, std::string>{68, "gone"}));
    EXPECT_FALSE(b.ch->Attivo());
    EXPECT_TRUE(b.porta->PortOpen());  // the recovery reopened it; left as the failure left it
}

TEST(CanaleSonda, ProbeGivesStatusAndRestoresTheOpenPort) {
    struct Caso {
        const char* legenda;
        int16_t numero;
        int16_t stato;
    };
    for (const Caso& k : {Caso{"usable", 5, 1}, Caso{"held by another program", 6, 2}, Caso{"device gone", 8, 2},
                          Caso{"no such number", 300, 3}}) {
        SCOPED_TRACE(k.legenda);
        Banco b;
        b.porta->occupate.insert(6);
        b.ch->setCommPort(3);
        b.ch->setAttivo(true);
        if (k.numero == 8) b.porta->Fallisci("Open", 68);  // the probe's opening
        int16_t stato = 0;
        std::string impostazioni;
        b.ch->AnalizzaSeriale(k.numero, stato, impostazioni);
        EXPECT_EQ(stato, k.stato);
        EXPECT_EQ(impostazioni, "9600,n,8,1");
        EXPECT_TRUE(b.porta->PortOpen());
        EXPECT_EQ(b.porta->CommPort(), 3);
        EXPECT_EQ(b.ch->CommPort(), 3);
        EXPECT_TRUE(b.ch->Attivo());
        EXPECT_TRUE(b.errori.empty());
    }
}

TEST(CanaleSonda, ClosedPortStaysClosedAfterTheProbe) {
    Banco b;
    b.ch->setCommPort(3);
    int16_t stato = 0;
    std::string impostazioni;
    b.ch->AnalizzaSeriale(4, stato, impostazioni);
    EXPECT_EQ(stato, 1);
    EXPECT_FALSE(b.porta->PortOpen());
    EXPECT_EQ(b.porta->CommPort(), 3);
}

}  // namespace
}  // namespace talumbra::test
