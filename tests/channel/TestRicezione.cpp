// Reception of what readers send on their own: the line receiver, the code
// frame receiver and its 250 ms limits, the framed path, and the handler's
// behaviour on failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "tests/channel/Banco.h"

namespace talumbra::test {
namespace {

using Righe = std::vector<std::string>;

// Delivers each chunk as its own notification.
Righe Notifiche(Banco& b, const std::vector<std::string>& pezzi) {
    for (const auto& p : pezzi) {
        b.porta->ArrivaOra(p);
        EXPECT_TRUE(b.porta->Notifica());
    }
    return b.rx;
}

TEST(RiceviRighe, EveryLineLongerThan4KiBIsDroppedWholeAndTheNextStartsClean) {
    const std::string lunga(100000, 'A');
    const std::string k4(4096, 'B');
    struct Caso {
        const char* legenda;
        std::vector<std::string> pezzi;
        Righe righe;
    };
    const Caso casi[] = {
        {"terminated, in one notification", {"OK\r\n" + lunga + "\r\nU1\r\n"}, {"OK", "U1"}},
        {"unterminated, then ended", {lunga.substr(0, 6000), lunga.substr(6000), "\r\nU1\r\n"}, {"U1"}},
        {"ended by a CR LF cut in two", {lunga + "\r", "\nU1\r\n"}, {"U1"}},
        {"a lone CR inside the dropped line", {lunga + "\rx", "y\r\nU1\r\n"}, {"U1"}},
        {"exactly 4 KiB is kept", {k4.substr(0, 4000), k4.substr(4000) + "\r", "\nU1\r\n"}, {k4, "U1"}},
        {"one byte more is not", {k4 + "C\r\nU1\r\n"}, {"U1"}},
    };
    for (const Caso& k : casi) {
        SCOPED_TRACE(k.legenda);
        Banco b;
        b.Pronto();
        for (const auto& p : k.pezzi) {
            b.porta->ArrivaOra(p);
            while (b.porta->Notifica()) {
            }
            EXPECT_LE(b.ch->BufferRicezione().size(), 4097u);
        }
        EXPECT_EQ(b.rx, k.righe);
        EXPECT_EQ(b.ch->BufferRicezione(), "");
    }
}

TEST(RiceviRighe, HalfLineDoesNotOutliveThePortClosing) {
    Banco b;
    b.Pronto();
    Notifiche(b, {"U0A0B0"});
    b.ch->setAttivo(false);
    EXPECT_EQ(b.ch->BufferRicezione(), "");
    b.Pronto();
    EXPECT_EQ(Notifiche(b, {"U0102030405\r\n"}), Righe{"U0102030405"});
}

TEST(Seriale_OnComm, OtherNotificationCodesChangeNothing) {
    Banco b;
    b.Pronto();
    b.porta->evento = 1;
    b.porta->ArrivaOra("AB\r\n");
    b.porta->Notifica();
    EXPECT_TRUE(b.rx.empty());
    EXPECT_EQ(b.porta->RThreshold(), 1);
    EXPECT_EQ(b.porta->InAttesa(), "AB\r\n");
}

TEST(Seriale_OnComm, FailingHandlerSwitchesTheNotificationBackOnAndPassesTheFailure) {
    Banco b;
    b.Pronto();
    b.suRx = [](std::string&) { throw Fallimento(1234, "handler failed"); };
    b.porta->ArrivaOra("A\r\nB\r\n");
    EXPECT_THROW(b.porta->Notifica(), Fallimento);
    EXPECT_EQ(b.porta->RThreshold(), 1);
    EXPECT_EQ(b.ch->BufferRicezione(), "B\r\n");  // not lost: the next notification raises it
    b.suRx = nullptr;
    Notifiche(b, {"C\r\n"});
    EXPECT_EQ(b.rx, (Righe{"A", "B", "C"}));

    b.porta->Fallisci("Input", 57);  // a port failure that is not the device going away
    b.porta->ArrivaOra("D\r\n");
    EXPECT_THROW(b.porta->Notifica(), Fallimento);
    EXPECT_EQ(b.porta->RThreshold(), 1);
}

TEST(Seriale_OnComm, FailureOfAGonePortLeavesTheNotificationOff) {
    struct Caso {
        const char* legenda;
        std::function<void(Banco&)> guasto;
    };
    const Caso casi[] = {
        {"device unavailable", [](Banco& b) { b.suRx = [](std::string&) { throw Fallimento(68, "gone"); }; }},
        {"port closed by the handler",
         [](Banco& b) {
             b.suRx = [&b](std::string&) {
                 b.porta->setPortOpen(false);
                 throw Fallimento(8012, "closed");
             };
         }},
    };
    for (const Caso& k : casi) {
        SCOPED_TRACE(k.legenda);
        Banco b;
        b.Pronto();
        k.guasto(b);
        b.porta->ArrivaOra("A\r\n");
        EXPECT_THROW(b.porta->Notifica(), Fallimento);
        EXPECT_EQ(b.porta->RThreshold(), 0);
    }
}

// ---- Code frames of device types 1 and 2

class RiceviCodice : public ::testing::TestWithParam<uint32_t> {
protected:
    RiceviCodice() {
        b.Pronto();
        b.Tipo(2);
    }
    void Notifica(uint32_t dopo, const std::string& byte) {
        b.Arriva(dopo, byte);
        b.fp.ora = b.inizio() + dopo;
        b.porta->Notifica();
    }
    Banco b{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Orologio, RiceviCodice, ::testing::Values(0u, PrimaDelGiro));

TEST_P(RiceviCodice, CompleteFrameWithNothingWaitingEndsAtOnce) {
    Notifica(0, B({0, 1, 2, 3, 4, 5, 0xF1}));
    EXPECT_EQ(b.rx, Righe{"0102030405"});
    EXPECT_EQ(b.Ora(), 0u);
}

TEST_P(RiceviCodice, FrameByteLimitIs250Ms) {
    // The fourth code byte comes late: at exactly 250 ms it is still used.
    b.Arriva(0, B({0, 1, 2, 3}));
    b.Arriva(250, B({4, 5, 0xF1}));
    b.porta->Notifica();
    EXPECT_EQ(b.rx, Righe{"0102030405"});
    EXPECT_EQ(b.porta->RThreshold(), 1);
}

TEST_P(RiceviCodice, FrameWhoseNextByteNeverComesIsLost) {
    b.Arriva(0, B({0, 1, 2, 3}));
    b.Arriva(251, B({4, 5, 0xF1}));
    b.porta->Notifica();
    EXPECT_TRUE(b.rx.empty());
    EXPECT_EQ(b.Ora(), 250u);
    EXPECT_EQ(b.porta->RThreshold(), 1);
    EXPECT_LE(b.porta->letture, 12);  // it slept instead of polling
}

TEST_P(RiceviCodice, HuntRunsHostEventsAndEndsAfter250MsWithoutSpinning) {
    Notifica(0, "noise");
    EXPECT_TRUE(b.rx.empty());
    EXPECT_EQ(b.Ora(), 250u);
    EXPECT_EQ(b.porta->RThreshold(), 1);
    const auto ev = b.Eventi();
    // One pass per read: five noise bytes at 0, then the quiet polls at the marks.
    EXPECT_EQ(ev, (std::vector<uint32_t>{0, 0, 0, 0, 0, 0, 100, 200}));
}

TEST_P(RiceviCodice, SyncByteLateInTheHuntStillStartsAFrame) {
    Notifica(0, "n");
    // Arrives while the hunt sleeps: the frame is read in the same notification.
    b.Arriva(170, B({0, 1, 2, 3, 4, 5, 0xF1}));
    b.fp.ora = b.inizio();
    b.porta->ArrivaOra("n");
    b.porta->Notifica();
    EXPECT_EQ(b.rx, Righe{"0102030405"});
}

TEST_P(RiceviCodice, ByteAfter0xFFThatNeverComesEndsTheReceiver) {
    Notifica(0, B({0xFF}));
    b.Arriva(260, B({0, 1, 2, 3, 4, 5, 0xF1}));  // too late for this notification
    EXPECT_TRUE(b.rx.empty());
    EXPECT_EQ(b.Ora(), 250u);
    EXPECT_EQ(b.porta->RThreshold(), 1);
    b.fp.ora = b.inizio() + 260;
    b.porta->Notifica();
    EXPECT_EQ(b.rx, Righe{"0102030405"});
}

TEST_P(RiceviCodice, PortClosedDuringTheHuntBeepsAndEnds) {
    b.fp.suEventi = [&] { b.porta->setPortOpen(false); };
    Notifica(0, "xx");
    EXPECT_EQ(b.fp.beep, 1);
    EXPECT_TRUE(b.rx.empty());
}

// ---- Framed replies of device type 3

TEST(RiceviCodice_MAVO, FreshChannelGivesUpAsSoonAsTheClockMoves) {
    Banco b;
    b.Pronto();
    b.Tipo(3);
    b.porta->ArrivaOra("x");
    b.porta->Notifica();
    EXPECT_EQ(b.to, 1);
    EXPECT_TRUE(b.rx.empty());
    EXPECT_EQ(b.Ora(), 1u);
    EXPECT_EQ(b.porta->RThreshold(), 1);
}

// ---- A notification lets the host run every few milliseconds

TEST(Seriale_OnComm, LongBacklogIsTakenInTurnsWithoutLosingAByte) {
    struct Caso {
        const char* legenda;
        int tipo;
        std::function<std::string(int)> codice;  // on the wire
        std::function<std::string(int)> atteso;  // raised
    };
    auto esa = [](int n) {
        char t[11];
        std::snprintf(t, sizeof t, "%010X", n);
        return std::string(t);
    };
    auto kez = [](int n) {
        const int b[5] = {0, 0, 0, n >> 8 & 0xFF, n & 0xFF};
        return B({0, b[0], b[1], b[2], b[3], b[4], (256 - (b[3] + b[4]) % 256) % 256});
    };
    auto mavo = [&](int n) {
        return "\x02"
               "e01" +
               esa(n) + "\x03";
    };
    auto bcc = [](const std::string& t) {
        char x = 0;
        for (char c : t) x ^= c;
        return std::string(1, x);
    };
    const Caso casi[] = {
        {"lines", 0, [&](int n) { return "U" + esa(n) + "\r\n"; }, [&](int n) { return "U" + esa(n); }},
        {"binary frames", 2, kez, esa},
        {"framed codes", 3, [&](int n) { return mavo(n) + bcc(mavo(n)); }, mavo},
    };
    for (const Caso& k : casi) {
        SCOPED_TRACE(k.legenda);
        Banco b;
        b.Pronto();
        b.Tipo(k.tipo);
        b.ch->VlMaxTimeOut = 500;
        std::string flusso;
        Righe attesi;
        for (int n = 1; n <= 300; ++n) {
            flusso += k.codice(n);
            attesi.push_back(k.atteso(n));
        }
        b.suRx = [&](std::string&) { b.fp.Avanza(1); };  // a host that takes 1 ms per code
        b.porta->ArrivaOra(flusso);
        int notifiche = 0;
        uint32_t turnoMassimo = 0;
        for (uint32_t prima = b.Ora(); b.porta->Notifica(); prima = b.Ora()) {
            ++notifiche;
            turnoMassimo = std::max(turnoMassimo, b.Ora() - prima);
        }
        EXPECT_EQ(b.rx, attesi);
        EXPECT_LE(turnoMassimo, 10u);  // a few codes past the 5 ms mark at most
        EXPECT_EQ(b.porta->rinnovi, notifiche - 1);
        EXPECT_EQ(b.porta->RThreshold(), 1);
    }
}

}  // namespace
}  // namespace talumbra::test

namespace talumbra::test {
namespace {

TEST(Seriale_OnComm, OwnerReleasedByAHostEventDuringTheHunt) {
    // The host drops the channel's owner from an event run inside the frame
    // receiver; the notification finishes on the channel it started with.
    Banco b;
    b.Pronto();
    b.Tipo(2);
    std::weak_ptr<clsComunicazioni> canale = b.canale;
    b.fp.suEventi = [&] {
        if (!b.canale) return;
        b.canale->ComRX = nullptr;  // as the owner does when it goes
        b.canale.reset();
    };
    FakePorta* porta = b.porta;
    porta->ArrivaOra("n" + B({0, 1, 2, 3, 4, 5, 0xF1}));
    porta->Notifica();          // the port is gone after this; do not touch it
    EXPECT_TRUE(b.rx.empty());  // the released owner stopped listening
    EXPECT_TRUE(canale.expired());
}

}  // namespace
}  // namespace talumbra::test
