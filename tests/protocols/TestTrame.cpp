// Frame checks and the collection of STX/ETX framed replies.
#include <gtest/gtest.h>

#include "tests/channel/Banco.h"

namespace talumbra::test {
namespace {

const std::string STX = "\x02", ETX = "\x03", ACK = "\x06", NAK = "\x15";

TEST(CalcoloBCC, EmptyTextHasNoCheck) {
    Banco b;
    EXPECT_EQ(b.ch->CalcoloBCC("\xFF\x0F"), "\xF0");
    EXPECT_THROW(b.ch->CalcoloBCC(""), Fallimento);
}

class AttesaTrama : public ::testing::TestWithParam<uint32_t> {
protected:
    AttesaTrama() {
        b.ch->VlMaxTimeOut = 500;
        b.ch->setAttivo(true);
    }
    void Aspetta() { b.ch->Aspetta_Risposta_MAVO(esito, risposta); }
    Banco b{GetParam()};
    int16_t esito = -1;
    std::string risposta = "stale";
};

INSTANTIATE_TEST_SUITE_P(Orologio, AttesaTrama, ::testing::Values(0u, PrimaDelGiro));

TEST_P(AttesaTrama, Outcomes) {
    struct Caso {
        const char* legenda;
        std::string byte;
        int16_t esito;
        std::string risposta;
        std::string resto;
    };
    const Caso casi[] = {
        {"lone ACK", ACK + "xyz", 0, ACK, "xyz"},
        {"lone NAK", NAK, 0, NAK, ""},
        {"noise before STX", "ab<I49>" + STX + "1234" + ETX, 0, STX + "1234" + ETX, ""},
        {"two digits refused", STX + "12" + ETX, 2, "", ""},
        {"three digits refused", STX + "123" + ETX, 2, "", ""},
        {"four digits accepted, check character stays", STX + "1234" + ETX + "!", 0, STX + "1234" + ETX, "!"},
        {"ACK closes a frame", STX + "1234" + ACK, 0, STX + "1234" + ACK, ""},
        {"ACK closes a short frame, refused", STX + "12" + ACK, 2, "", ""},
        {"NAK inside a frame is text", STX + "1" + NAK + "34" + ETX, 0, STX + "1" + NAK + "34" + ETX, ""},
    };
    for (const Caso& k : casi) {
        SCOPED_TRACE(k.legenda);
        b.porta->setInputLen(0);
        b.porta->ArrivaOra(k.byte);
        Aspetta();
        EXPECT_EQ(esito, k.esito);
        EXPECT_EQ(risposta, k.risposta);
        EXPECT_EQ(b.porta->InAttesa(), k.resto);
        EXPECT_EQ(b.porta->InputLen(), 1);
        b.porta->setInputLen(0);
        b.porta->Input();
    }
}

TEST_P(AttesaTrama, FrameStartedButNeverEndedTimesOutJustPast500) {
    b.Arriva(10, STX + "12");
    Aspetta();
    EXPECT_EQ(esito, 1);
    EXPECT_EQ(risposta, "");
    EXPECT_EQ(b.Ora(), 501u);
    EXPECT_EQ(b.Eventi(), (std::vector<uint32_t>{0, 100, 200, 300, 400, 500}));
    EXPECT_LE(b.porta->letture, 20);
}

TEST_P(AttesaTrama, TimeOutNeedsStrictlyMore) {
    b.Arriva(500, STX + "1234" + ETX);
    Aspetta();
    EXPECT_EQ(esito, 0);

    const uint32_t poi = b.Ora();
    b.Arriva(poi + 501, STX + "1234" + ETX);
    Aspetta();
    EXPECT_EQ(esito, 1);
    EXPECT_EQ(b.Ora(), poi + 501);
}

TEST_P(AttesaTrama, TimeOutBoundsTheWholeWaitNotTheGaps) {
    b.Arriva(0, STX);
    b.Arriva(300, "12");
    b.Arriva(600, "34" + ETX);
    Aspetta();
    EXPECT_EQ(esito, 1);
}

TEST_P(AttesaTrama, FreshChannelTimeOutZeroGivesUpAfterOneMillisecond) {
    b.ch->VlMaxTimeOut = 0;
    b.Arriva(1, ACK);
    Aspetta();
    EXPECT_EQ(esito, 1);  // the ACK read in the same pass is dropped
    EXPECT_EQ(b.Ora(), 1u);
}

TEST(TransazioneMavo, EventsFollowTheOutcome) {
    struct Caso {
        const char* legenda;
        std::string byte;
        int16_t esito;
        std::vector<std::string> rx;
        int to;
    };
    const Caso casi[] = {
        {"accepted", STX + "1234" + ETX, 0, {STX + "1234" + ETX}, 0},
        {"refused", STX + "12" + ETX, 2, {""}, 0},
        {"silent", "", 1, {}, 1},
    };
    for (const Caso& k : casi) {
        SCOPED_TRACE(k.legenda);
        Banco b;
        b.ch->VlMaxTimeOut = 300;
        b.porta->suScrittura = [&](const std::string&) { b.porta->Arriva(b.fp.ora + 20, k.byte); };
        int16_t esito = -1;
        std::string risposta;
        b.ch->InviaComando_RiceviRisposta_MAVO("cmd", esito, risposta);
        EXPECT_EQ(esito, k.esito);
        EXPECT_EQ(b.rx, k.rx);
        EXPECT_EQ(b.to, k.to);
        EXPECT_FALSE(b.porta->PortOpen());
        EXPECT_EQ(b.porta->RThreshold(), 0);
        EXPECT_EQ(b.ch->VlMaxTimeOut, 300);
    }
}

TEST(TransazioneMavo, CheckCharacterLeftBehindIsDroppedByTheNextCommand) {
    Banco b;
    b.ch->VlMaxTimeOut = 300;
    b.porta->suScrittura = [&](const std::string& s) {
        if (s == "first") b.porta->ArrivaOra(STX + "1234" + ETX + ACK);  // its check character is an ACK
    };
    int16_t esito = -1;
    std::string risposta;
    b.ch->InviaComando_RiceviRisposta_MAVO("first", esito, risposta);
    EXPECT_EQ(esito, 0);
    b.ch->InviaComando_RiceviRisposta_MAVO("second", esito, risposta);
    EXPECT_EQ(esito, 1);  // the leftover ACK did not pass for the second reply
}

}  // namespace
}  // namespace talumbra::test
