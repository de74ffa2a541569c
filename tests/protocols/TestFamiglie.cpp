// What each reader family puts on the wire, and how its transaction ends.
#include <gtest/gtest.h>

#include "tests/channel/Banco.h"

namespace talumbra::test {
namespace {

const std::string STX = "\x02", ETX = "\x03", EOT = "\x04", ACK = "\x06";

TEST(Framing, WireBytes) {
    struct Caso {
        const char* legenda;
        std::function<void(clsComunicazioni&, int16_t&, std::string&)> invia;
        std::string filo;
    };
    const Caso casi[] = {
        {"PELVAN joins its pieces", [](auto& c, auto& e, auto& r) { c.PELVAN("r", "01", "", e, r, 0, true); }, "r01"},
        {"PELVAN unchanged command", [](auto& c, auto& e, auto& r) { c.PELVAN("v", "", "", e, r, 0, true); }, "v"},
        {"MAVO version request", [](auto& c, auto& e, auto& r) { c.MAVO("f", "", e, r, 0, true); },
         B({0x02, 0x66, 0x03, 0x67})},
        {"MAVO empty", [](auto& c, auto& e, auto& r) { c.MAVO("", "", e, r, 0, true); }, B({0x02, 0x03, 0x01})},
        {"MAVO with data", [](auto& c, auto& e, auto& r) { c.MAVO("1", "23", e, r, 0, false); },
         B({0x02, 0x31, 0x32, 0x33, 0x03, 0x31})},
        {"KELT", [](auto& c, auto& e, auto& r) { c.KELT(1, "S", "R", e, r, 0); },
         B({0x02, 0x41, 0x41, 0x52, 0x03, 0x53})},
        {"KELT other command type", [](auto& c, auto& e, auto& r) { c.KELT(1, "s", "R", e, r, 0); },
         STX + "!!R" + ETX + B({0x02 ^ 0x21 ^ 0x21 ^ 0x52 ^ 0x03})},
        {"ZN001A", [](auto& c, auto& e, auto& r) { c.ZN001A("Q", e, r); }, STX + "Q" + ETX},
        {"Tornello", [](auto& c, auto& e, auto& r) { c.Tornello(" 1 ", "S", "R", e, r); },
         STX + "aAR" + ETX + B({0x02 ^ 'a' ^ 'A' ^ 'R' ^ 0x03})},
        {"Galder", [](auto& c, auto& e, auto& r) { c.Galder("2", "X", "R", e, r); },
         STX + "g\"R" + ETX + B({0x02 ^ 'g' ^ '"' ^ 'R' ^ 0x03})},
        {"ZNlight", [](auto& c, auto& e, auto& r) { c.ZNlight("1", "S", "R", e, r, 0); },
         STX + "hAR" + ETX + B({0x02 ^ 'h' ^ 'A' ^ 'R' ^ 0x03})},
        {"Zarnet poll", [](auto& c, auto& e, auto& r) { c.Zarnet("1", "P", "", e, r); }, B({0x04, 0x04, 0x31, 0x05})},
        {"Zarnet command", [](auto& c, auto& e, auto& r) { c.Zarnet("1", "S", "R", e, r); },
         EOT + EOT + STX + "1R" + ETX},
        {"ZNIO8 checks STX to ETX only", [](auto& c, auto& e, auto& r) { c.ZNIO8(1, "S", "R", e, r, 0); },
         EOT + EOT + B({0x02, 0x41, 0x41, 0x52, 0x03, 0x53})},
        {"Trivok", [](auto& c, auto& e, auto& r) { c.Trivok(1, "S", "R", e, r, 0); },
         EOT + EOT + B({0x02, 0x41, 0x41, 0x52, 0x03, 0x53})},
        {"USKO without value", [](auto& c, auto& e, auto& r) { c.USKO("5", "RD", e, r, "-1", true); }, "05RD\x13\r"},
        {"USKO value without check", [](auto& c, auto& e, auto& r) { c.USKO("5", "RD", e, r, "-2", true); },
         "05RD-2\r"},
        {"USKO value and check", [](auto& c, auto& e, auto& r) { c.USKO("300", "W", e, r, "7", true); },
         "2CW7" + B({'2' ^ 'C' ^ 'W' ^ '7'}) + "\r"},
    };
    for (const Caso& k : casi) {
        SCOPED_TRACE(k.legenda);
        Banco b;
        b.ch->VlMaxTimeOut = 50;
        int16_t e = -1;
        std::string r;
        k.invia(*b.ch, e, r);
        EXPECT_EQ(b.porta->Scritto(), k.filo);
    }
}

TEST(Framing, PelvanSendOnlyLeavesTheOutParametersAlone) {
    Banco b;
    int16_t e = 42;
    std::string r = "kept";
    b.ch->PELVAN("e", "", "", e, r, 0, false);
    EXPECT_EQ(e, 42);
    EXPECT_EQ(r, "kept");
    EXPECT_EQ(b.porta->Scritto(), "e");
}

TEST(Framing, PelvanTransactionSetsTheTimeOutAndMavoKeepsIt) {
    Banco b;
    int16_t e = -1;
    std::string r;
    b.ch->PELVAN("v", "", "", e, r, 500, true);
    EXPECT_EQ(e, 1);
    const uint32_t inizio = b.Ora();
    b.ch->MAVO("f", "", e, r, 5000, true);
    EXPECT_EQ(e, 1);
    EXPECT_EQ(b.Ora() - inizio, 501u);
}

TEST(Framing, TerminalAddress32SendsWithoutWaiting) {
    struct Caso {
        const char* legenda;
        std::function<void(clsComunicazioni&, int16_t&, std::string&)> invia;
    };
    const Caso casi[] = {
        {"KELT", [](auto& c, auto& e, auto& r) { c.KELT(32, "S", "R", e, r, 0); }},
        {"ZNIO8", [](auto& c, auto& e, auto& r) { c.ZNIO8(32, "S", "R", e, r, 0); }},
        {"Tornello", [](auto& c, auto& e, auto& r) { c.Tornello("32", "S", "R", e, r); }},
        {"Galder", [](auto& c, auto& e, auto& r) { c.Galder("32.0", "S", "R", e, r); }},
        {"ZNlight", [](auto& c, auto& e, auto& r) { c.ZNlight("32", "S", "R", e, r, 0); }},
        {"ZNlight ACK to any terminal", [](auto& c, auto& e, auto& r) { c.ZNlight("3", "S", "\x06", e, r, 0); }},
        {"Zarnet", [](auto& c, auto& e, auto& r) { c.Zarnet("32", "P", "", e, r); }},
    };
    for (const Caso& k : casi) {
        SCOPED_TRACE(k.legenda);
        Banco b;
        int16_t e = -1;
        std::string r = "stale";
        k.invia(*b.ch, e, r);
        EXPECT_EQ(e, 0);
        EXPECT_EQ(r, "");
        EXPECT_EQ(b.Ora(), 0u);
        EXPECT_EQ(b.to, 0);
        EXPECT_EQ(b.porta->scritture.size(), 1u);
    }
}

TEST(Framing, BadTerminalIsAnErrorAndNothingIsSent) {
    Banco b;
    int16_t e = -1;
    std::string r;
    EXPECT_THROW(b.ch->Tornello("x1", "S", "R", e, r), Fallimento);
    EXPECT_THROW(b.ch->Zarnet("", "P", "", e, r), Fallimento);
    EXPECT_THROW(b.ch->KELT(200, "S", "R", e, r, 0), Fallimento);  // code 264
    EXPECT_THROW(b.ch->Trivok(-40, "X", "R", e, r, 0), Fallimento);
    EXPECT_TRUE(b.porta->scritture.empty());
}

TEST(Zarnet, AcceptedReplyIsAcknowledged) {
    struct Caso {
        const char* legenda;
        std::string risposta;
        int16_t esito;
        std::string letto;
        bool ack;
    };
    const Caso casi[] = {
        {"short status reply", "<I49>", 0, "<I49>", true},
        {"long reply", "xx<12345>", 0, "<12345>", true},
        {"closed by ACK", "<1234\x06", 0, "<1234\x06", true},
        {"short refused", "<12>", 2, "", false},
        {"lone ACK", "\x06", 0, "\x06", false},
        {"silent", "", 1, "", false},
    };
    for (const Caso& k : casi) {
        SCOPED_TRACE(k.legenda);
        Banco b;
        b.ch->VlMaxTimeOut = 300;
        b.porta->suScrittura = [&](const std::string& s) {
            if (s != ACK) b.porta->Arriva(b.fp.ora + 5, k.risposta);
        };
        int16_t e = -1;
        std::string r;
        b.ch->Zarnet("1", "P", "", e, r);
        EXPECT_EQ(e, k.esito);
        EXPECT_EQ(r, k.letto);
        const bool ack = b.porta->scritture.size() == 2 && b.porta->scritture[1].byte == ACK;
        EXPECT_EQ(ack, k.ack);
        EXPECT_EQ(b.to, k.esito == 1 ? 1 : 0);
        EXPECT_EQ(b.ch->VlMaxTimeOut, 300);
    }
}

TEST(BCCEba, TwoHexDigitsExclusiveOr) {
    Banco b;
    struct Caso {
        std::string testo, bcc;
    };
    for (const Caso& k : {Caso{"0102", "03"}, Caso{"A5FF", "5A"}, Caso{"0A0B0C", "0D"}, Caso{"a5ff", "5A"},
                          Caso{"7F", "7F"}, Caso{"0102F", "0C"}}) {
        EXPECT_EQ(b.ch->BCCEba(k.testo), k.bcc) << k.testo;
    }
    EXPECT_THROW(b.ch->BCCEba(""), Fallimento);
    EXPECT_THROW(b.ch->BCCEba("01G2"), Fallimento);
}

}  // namespace
}  // namespace talumbra::test
