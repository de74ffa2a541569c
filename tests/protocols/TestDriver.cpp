// Each reader family's driver, installed from the table by device type and
// driven through the fake port and clock: what a reader sends on its own, and
// the codes that come around a command.
#include <gtest/gtest.h>

#include "tests/channel/Banco.h"

namespace talumbra::test {
namespace {

using Righe = std::vector<std::string>;

const std::string STX = "\x02", ETX = "\x03";
// Framed codes and their standard check characters.
const std::string A = STX + "e01AB12CD" + ETX;    // b
const std::string C = STX + "e0112345678" + ETX;  // m
const std::string F = STX + "f" + ETX + "g";      // the framed version request
const std::string V = STX + "SIRMAVO MF-RW 13.56MHz v2.1" + ETX;

enum Via {
    Notifiche,  // each piece arrives as its own notification
    Comando,    // the pieces arrive around a command's reply wait
};

struct Arrivo {
    uint32_t dopo;  // after the start of the command; 0 with a notification
    std::string byte;
    int tipo = -1;  // from 0: the device type is set (again) before this piece
};

struct Caso {
    const char* legenda;
    std::vector<int> tipi;  // the case runs with each
    Via via;
    std::vector<Arrivo> arrivi;
    Righe eventi;  // "rx ...", "tx ...", "drop ..." in order
    // Notifications: the start of a line left pending. Command: half a line
    // that a notification took before the command.
    std::string sospeso = "";
    std::string resto = "";  // left in the port by the notifications
    bool maiCodice = true;   // the command's reply never looks like a code
};

class Famiglia : public ::testing::TestWithParam<uint32_t> {};

INSTANTIATE_TEST_SUITE_P(Orologio, Famiglia, ::testing::Values(0u, PrimaDelGiro));

TEST_P(Famiglia, DriverThroughTheFakePortAndClock) {
    const Caso casi[] = {
        // ---- Pelvan text lines
        {"two lines in one notification", {0}, Notifiche, {{0, "AB\r\nCD\r\n"}}, {"rx AB", "rx CD"}},
        {"CR and LF in different notifications", {0}, Notifiche, {{0, "AB\r"}, {0, "\nx"}}, {"rx AB"}, "x"},
        {"CR LF alone is an empty line", {0}, Notifiche, {{0, "\r\n"}}, {"rx "}},
        {"lone CR and LF stay inside the line", {0}, Notifiche, {{0, "A\rB\nC\r\n"}}, {"rx A\rB\nC"}},
        {"a code line", {0}, Notifiche, {{0, "U0123456789\r\n"}}, {"rx U0123456789"}},
        {"a code line waiting",
         {0},
         Comando,
         {{0, "U0102030405\r\n"}, {30, "OK\r\n"}},
         {"rx U0102030405", "tx v", "rx OK\r\n"}},
        {"half a code line waiting: the rest is waited for",
         {0},
         Comando,
         {{0, "U01020"}, {4, "30405\r\n"}, {60, "OK\r\n"}},
         {"rx U0102030405", "tx v", "rx OK\r\n"}},
        {"the half a notification left",
         {0},
         Comando,
         {{0, "30405\r\n"}, {30, "OK\r\n"}},
         {"rx U0102030405", "tx v", "rx OK\r\n"},
         "U01020"},
        {"a code line that stalls before a command, as a loaded machine or an adapter makes it",
         {0},
         Comando,
         {{0, "U01020"}, {60, "304"}, {150, "05\r\n"}, {200, "OK\r\n"}},
         {"rx U0102030405", "tx v", "rx OK\r\n"}},
        {"a code line that dies is dropped, and the reply is still taken within the time-out",
         {0},
         Comando,
         {{0, "U0102"}, {300, "OK\r\n"}},
         {"tx v", "rx OK\r\n"}},
        {"a code line before the reply",
         {0},
         Comando,
         {{20, "U0102030405\r\n"}, {40, "OK\r\n"}},
         {"tx v", "rx U0102030405", "rx OK\r\n"}},
        {"a code line that stalls before the reply",
         {0},
         Comando,
         {{20, "U01020"}, {150, "30405\r\n"}, {200, "OK\r\n"}},
         {"tx v", "rx U0102030405", "rx OK\r\n"}},
        {"a reply without its CR LF, then a code line",
         {0},
         Comando,
         {{20, "OK"}, {100, "U0102030405\r\n"}},
         {"tx v", "rx U0102030405", "rx OK"}},
        {"a command whose reply may look like anything takes what comes",
         {0},
         Comando,
         {{20, "U0102030405\r\n"}, {40, "OK\r\n"}},
         {"tx v", "rx U0102030405\r\n"},
         "",
         "",
         false},

        // ---- KEZ binary frames
        {"a frame", {1, 2}, Notifiche, {{0, B({0, 1, 2, 3, 4, 5, 0xF1})}}, {"rx 0102030405"}},
        {"all zero", {1, 2}, Notifiche, {{0, B({0, 0, 0, 0, 0, 0, 0})}}, {"rx 0000000000"}},
        {"bad check byte", {1, 2}, Notifiche, {{0, B({0, 1, 2, 3, 4, 5, 0xF2})}}, {}},
        {"noise before the sync byte",
         {1, 2},
         Notifiche,
         {{0, "xy" + B({0, 0xAB, 0xCD, 0xEF, 0x10, 0x20, 0x69})}},
         {"rx ABCDEF1020"}},
        {"two frames back to back",
         {1, 2},
         Notifiche,
         {{0, B({0, 1, 2, 3, 4, 5, 0xF1, 0, 0xFF, 0, 0, 0, 1, 0})}},
         {"rx 0102030405", "rx FF00000001"}},
        {"0xFF and the byte after it", {1, 2}, Notifiche, {{0, B({0xFF, 0x01})}}, {}},
        {"0xFF then a frame", {1, 2}, Notifiche, {{0, B({0xFF, 0x00, 0, 1, 2, 3, 4, 5, 0xF1})}}, {"rx 0102030405"}},
        {"frames before the command and before the reply",
         {1, 2},
         Comando,
         {{0, B({0, 1, 2, 3, 4, 5, 0xF1})}, {20, B({0, 10, 11, 12, 13, 14, 0xC4})}, {40, "KEZ-3 v1\r\n"}},
         {"rx 0102030405", "tx v", "rx 0A0B0C0D0E", "rx KEZ-3 v1\r\n"}},

        // ---- MAVO framed texts, with the standard check character or not
        {"two frames in one burst", {3}, Notifiche, {{0, A + "b" + C + "m"}}, {"rx " + A, "rx " + C}},
        {"a wrong check character after a matching one",
         {3},
         Notifiche,
         {{0, C + "m" + A + "K" + C + "m"}},
         {"rx " + C, "drop " + A + "K", "rx " + C}},
        {"a check character of the reader's own rule",
         {3},
         Notifiche,
         {{0, A + "K" + C + "m"}},
         {"rx " + A, "rx " + C}},
        {"no check character ever comes", {3}, Notifiche, {{0, A}}, {"rx " + A}},
        {"no check characters, back to back", {3}, Notifiche, {{0, A + C + A}}, {"rx " + A, "rx " + C, "rx " + A}},
        {"a cut frame: the next STX begins the next frame",
         {3},
         Notifiche,
         {{0, STX + "e01AB" + C + "m"}},
         {"rx " + C}},
        {"a refused frame raises the empty text and takes its check character",
         {3},
         Notifiche,
         {{0, STX + "12" + ETX + STX + C + "m"}},
         {"rx ", "rx " + C}},
        {"the type set again keeps what the reader has shown of its check",
         {3},
         Notifiche,
         {{0, C + "m"}, {0, A + "K", 3}},
         {"rx " + C, "drop " + A + "K"}},
        {"a framed code before the reply",
         {3},
         Comando,
         {{20, A + "b"}, {40, "OK\r\n"}},
         {"tx v", "rx " + A, "rx OK\r\n"}},
        {"a framed code with a wrong check, after one with the right one",
         {3},
         Comando,
         {{0, A + "b"}, {20, A + "K"}, {40, "OK\r\n"}},
         {"rx " + A, "tx v", "drop " + A + "K", "rx OK\r\n"}},
        {"framed codes around a framed command",
         {3},
         Comando,
         {{0, A + "b"}, {20, A + "b"}, {40, V + "x"}},
         {"rx " + A, "tx " + F, "rx " + A, "rx " + V}},

        {"a reply that only begins like a code stays the reply",
         {3},
         Comando,
         {{20, STX + "e01AB12CG" + ETX + "x"}},
         {"tx " + F, "rx " + STX + "e01AB12CG" + ETX}},

        // ---- A type without a driver
        {"an unknown type leaves the bytes in the port", {7}, Notifiche, {{0, "AB\r\n"}}, {}, "", "AB\r\n"},
    };
    for (const Caso& k : casi) {
        for (int tipo : k.tipi) {
            SCOPED_TRACE(std::string(k.legenda) + ", type " + std::to_string(tipo));
            Banco b{GetParam()};
            b.Pronto();
            b.Tipo(tipo);
            b.ch->VlMaxTimeOut = 500;
            Righe eventi;
            b.ch->ComRX = [&](std::string& s) { eventi.push_back("rx " + s); };
            b.ch->ComTX = [&](std::string& s) { eventi.push_back("tx " + s); };
            b.ch->ComScarto = [&](std::string& s) { eventi.push_back("drop " + s); };
            // As the front end judges: a badge letter, or a framed "e0N" code.
            b.ch->EUnCodice = [](const std::string& t) { return t[0] == 'U' || (t.size() > 3 && t[1] == 'e'); };
            if (k.via == Notifiche) {
                for (const Arrivo& a : k.arrivi) {
                    if (a.tipo >= 0) b.Tipo(a.tipo);
                    b.porta->ArrivaOra(a.byte);
                    EXPECT_TRUE(b.porta->Notifica());  // one notification for the whole piece
                }
                EXPECT_EQ(b.ch->BufferRicezione(), k.sospeso);
                EXPECT_EQ(b.porta->RThreshold(), 1);
                EXPECT_EQ(b.porta->InAttesa(), k.resto);
                if (tipo == tlPELVAN || tipo == tlKez3 || tipo == tlEmulKez) {
                    EXPECT_EQ(b.porta->InputLen(), tipo == tlPELVAN ? 0 : 1);
                }
            } else {
                if (!k.sospeso.empty()) {
                    b.porta->ArrivaOra(k.sospeso);
                    b.porta->Notifica();
                    eventi.clear();
                }
                const uint32_t inizio = b.Ora();
                for (const Arrivo& a : k.arrivi) b.Arriva(inizio + a.dopo, a.byte);
                int16_t esito = -1;
                std::string risposta;
                if (k.maiCodice) b.ch->RispostaMaiCodice();
                if (k.eventi[0] == "tx " + F || k.eventi[1] == "tx " + F)
                    b.ch->InviaComando_RiceviRisposta_MAVO(F, esito, risposta);
                else
                    b.ch->InviaComando_RiceviRisposta("v", esito, risposta);
                EXPECT_EQ(esito, 0);
                EXPECT_EQ("rx " + risposta, k.eventi.back());
                // Codes waited for before the command included.
                EXPECT_LE(b.Ora() - inizio, static_cast<uint32_t>(b.ch->VlMaxTimeOut));
            }
            EXPECT_EQ(eventi, k.eventi);
            EXPECT_EQ(b.to, 0);
        }
    }
}

// The version replies that name a reader, and which one wins when a reply
// names two: the order of the table.
TEST(FamiglieLettori, VersionReplyNamesTheReader) {
    struct Caso {
        const char* versione;
        bool incorniciata;
        int32_t tipo;  // from type 9 before
    };
    const Caso casi[] = {
        {"OMBRISK-125 v2.1", false, 0}, {"kez3 v1.0", false, 2},      {"KEZ OMBRISK-125", false, 0},
        {"OMBRISK-12", false, 9},       {"SIRMAVO 1.2", false, 9},    {"x SIRMAVO 1.23456", true, 3},
        {"x DORMAVO 1.23456", true, 2}, {"DORMAVO SIRMAVO", true, 3}, {"KEZ OMBRISK-125", true, 9},
    };
    for (const Caso& k : casi) {
        SCOPED_TRACE(k.versione);
        EXPECT_EQ(RiconosciLettore(k.versione, k.incorniciata, 9), k.tipo);
    }
}

}  // namespace
}  // namespace talumbra::test
