// Command transactions over the fake port: what goes out, and every timing
// rule of the CR LF reply wait, also across the wrap of the 32-bit clock.
#include <gtest/gtest.h>

#include "tests/channel/Banco.h"

namespace talumbra::test {
namespace {

using Righe = std::vector<std::string>;

class Transazione : public ::testing::TestWithParam<uint32_t> {
protected:
    Banco b{GetParam()};
    int16_t esito = -1;
    std::string risposta = "stale";
    void Chiedi(int32_t timeOut = 0) { b.ch->InviaComando_RiceviRisposta("v", esito, risposta, true, timeOut); }
};

INSTANTIATE_TEST_SUITE_P(Orologio, Transazione, ::testing::Values(0u, PrimaDelGiro));

TEST_P(Transazione, TimeOutComesFromTheCallerOrTheDefaultAndStays) {
    EXPECT_EQ(b.ch->VlMaxTimeOut, 0);  // a fresh channel
    Chiedi(0);
    EXPECT_EQ(b.ch->VlMaxTimeOut, 800);
    Chiedi(500);
    EXPECT_EQ(b.ch->VlMaxTimeOut, 500);
    b.ch->InviaComando_RiceviRisposta_MAVO("x", esito, risposta);
    EXPECT_EQ(b.ch->VlMaxTimeOut, 500);
}

TEST_P(Transazione, SilentReaderTimesOutJustPastTheLimitWithoutSpinning) {
    Chiedi();
    EXPECT_EQ(esito, 1);
    EXPECT_EQ(risposta, "");
    EXPECT_EQ(b.to, 1);
    EXPECT_TRUE(b.rx.empty());
    EXPECT_EQ(b.Ora(), 801u);  // strictly more than 800 ms
    EXPECT_EQ(b.Eventi(), (std::vector<uint32_t>{0, 100, 200, 300, 400, 500, 600, 700, 800}));
    // It sleeps on the port between the marks instead of polling.
    EXPECT_LE(b.porta->letture, 2 + 2 * 10);
    ASSERT_EQ(b.porta->scritture.size(), 1u);
    EXPECT_EQ(b.porta->scritture[0].byte, "v");
}

TEST_P(Transazione, ElapsedTimeEqualToTheLimitIsStillInTime) {
    // A one-letter reply that ends by a quiet line: read, pause 10, empty read, pause 10.
    struct Caso {
        const char* legenda;
        uint32_t arrivo;
        int16_t esito;
        std::string risposta;
    };
    for (const Caso& k : {Caso{"last check at exactly 800", 790, 0, "A"}, Caso{"last check at 801", 791, 1, ""}}) {
        SCOPED_TRACE(k.legenda);
        const uint32_t inizio = b.Ora();
        b.Arriva(inizio + k.arrivo, "A");
        Chiedi();
        EXPECT_EQ(esito, k.esito);
        EXPECT_EQ(risposta, k.risposta);
    }
}

TEST_P(Transazione, ReplyEndedByCrLfKeepsItAndPausesAfterEachCharacter) {
    b.Arriva(30, "A\r\n");
    Chiedi();
    EXPECT_EQ(esito, 0);
    EXPECT_EQ(risposta, "A\r\n");
    EXPECT_EQ(b.rx, (std::vector<std::string>{"A\r\n"}));
    EXPECT_EQ(b.to, 0);
    EXPECT_EQ(b.fp.pause, (std::vector<uint32_t>{10, 10}));  // after A and after CR; none in the LF wait
    EXPECT_EQ(b.Ora(), 50u);
}

TEST_P(Transazione, QuietLineEndsTheReplyWithoutTerminator) {
    b.Arriva(1, "OK");  // bytes already waiting at the write are dropped by it
    Chiedi();
    EXPECT_EQ(esito, 0);
    EXPECT_EQ(risposta, "OK");
    EXPECT_EQ(b.fp.pause, (std::vector<uint32_t>{10, 10, 10}));
    EXPECT_EQ(b.Ora(), 31u);
}

TEST_P(Transazione, CharactersBetweenCrAndLfAreDropped) {
    b.Arriva(1, "A\rxy\n");
    Chiedi();
    EXPECT_EQ(esito, 0);
    EXPECT_EQ(risposta, "A\r\n");
}

TEST_P(Transazione, LfWaitCountsFromTheCrAndRunsNoHostEvents) {
    b.Arriva(100, "AB\r");
    Chiedi();
    EXPECT_EQ(esito, 1);
    EXPECT_EQ(risposta, "");
    EXPECT_TRUE(b.rx.empty());
    EXPECT_EQ(b.to, 1);
    EXPECT_EQ(b.Ora(), 130u + 801u);  // CR taken at 120, pause to 130, then 800 ms and one more
    EXPECT_EQ(b.Eventi(), (std::vector<uint32_t>{0, 100}));
}

TEST_P(Transazione, ReplyStillArrivingAtTheTimeOutIsLost) {
    b.Arriva(1, std::string(200, 'A'));
    Chiedi();
    EXPECT_EQ(esito, 1);
    EXPECT_EQ(risposta, "");
    EXPECT_TRUE(b.rx.empty());
}

TEST_P(Transazione, HostEventsRunOnceAtEachNewMarkWhenTheClockJumps) {
    bool primo = true;
    b.fp.suEventi = [&] {
        if (primo) b.fp.Avanza(250);  // a host handler that takes 250 ms
        primo = false;
    };
    Chiedi();
    EXPECT_EQ(b.Eventi(), (std::vector<uint32_t>{0, 250, 300, 400, 500, 600, 700, 800}));
    EXPECT_EQ(b.Ora(), 801u);
}

TEST_P(Transazione, ReplyIsWhatTheComRxHandlerLeft) {
    b.suRx = [](std::string& s) { s = "changed"; };
    b.Arriva(5, "A\r\n");
    Chiedi();
    EXPECT_EQ(esito, 0);
    EXPECT_EQ(risposta, "changed");
}

TEST(TransazionePorta, ClosedChannelIsOpenedForTheTransactionAndClosedAfter) {
    Banco b;
    b.ch->OnComm_Attivato();
    int16_t e;
    std::string r;
    b.ch->InviaComando_RiceviRisposta("v", e, r);
    EXPECT_FALSE(b.porta->PortOpen());
    EXPECT_FALSE(b.ch->Attivo());
    EXPECT_EQ(b.porta->aperture, 1);
    EXPECT_EQ(b.porta->chiusure, 1);
    EXPECT_EQ(b.porta->RThreshold(), 0);  // left off for whoever switches it on
}

TEST(TransazionePorta, OpenChannelStaysOpenWithDtrOff) {
    Banco b;
    b.Pronto();
    ASSERT_TRUE(b.porta->DTREnable());
    b.Arriva(0, "X\r\n");
    int16_t e;
    std::string r;
    b.ch->InviaComando_RiceviRisposta("v", e, r);
    EXPECT_TRUE(b.porta->PortOpen());
    EXPECT_TRUE(b.ch->Attivo());
    EXPECT_FALSE(b.porta->DTREnable());
    EXPECT_EQ(b.porta->RThreshold(), 0);
}

TEST(TransazionePorta, InviaComandoDropsStaleBytesAndLeavesTheStoredStateAlone) {
    Banco b;
    b.porta->ArrivaOra("stale\x03");
    b.ch->InviaComando("x");
    EXPECT_TRUE(b.porta->PortOpen());
    EXPECT_FALSE(b.ch->Attivo());
    EXPECT_FALSE(b.porta->DTREnable());
    EXPECT_EQ(b.porta->InAttesa(), "");
    EXPECT_EQ(b.porta->InputLen(), 1);
    EXPECT_EQ(b.porta->Scritto(), "x");
    EXPECT_EQ(b.tx, (std::vector<std::string>{"x"}));
}

TEST(TransazionePorta, SendingWithoutReplyLeavesTheNotificationAsItWas) {
    Banco b;
    b.ch->OnComm_Attivato();
    b.porta->ArrivaOra("stale");
    b.ch->InviaComandoSenzaRisposta("\x04\x04");
    EXPECT_EQ(b.porta->Scritto(), "\x04\x04");
    EXPECT_EQ(b.porta->InAttesa(), "");
    EXPECT_EQ(b.porta->RThreshold(), 1);
    EXPECT_FALSE(b.porta->PortOpen());  // opened for the occasion
    EXPECT_EQ(b.tx.size(), 1u);
}

TEST(TransazionePorta, PortFailureGoesToTheCaller) {
    Banco b;
    b.porta->Fallisci("Output", 68);
    int16_t e = -1;
    std::string r;
    try {
        b.ch->InviaComando_RiceviRisposta("v", e, r);
        FAIL() << "no failure";
    } catch (const Fallimento& f) {
        EXPECT_EQ(f.Numero(), 68);
    }
    EXPECT_EQ(e, -1);
    EXPECT_TRUE(b.tx.empty());
}

}  // namespace
}  // namespace talumbra::test
