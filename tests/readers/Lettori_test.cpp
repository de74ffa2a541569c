// The front end's own state, and its decision on received texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/readers/StatoLettori.h"

namespace talumbra::test {
namespace {

using modLettori::InvertiBitByte;

const std::string STX(1, '\x02');
const std::string ETX(1, '\x03');

// ---- The front end's own objects and state

using StatoProprio = StatoLettori;

TEST_F(StatoProprio, IlFrontEndCreaCanaleEComandi) {
    EXPECT_EQ(lettori->PELVAN().ConType(), 0);
    EXPECT_FALSE(lettori->PELVAN().Maiuscolo);
    ASSERT_NE(lettori->Comunicazione, nullptr);
    EXPECT_EQ(lettori->Comunicazione->Seriale.get(), &fp.porta());
    EXPECT_EQ(&lettori->PELVAN(), &lettori->PELVAN());
    EXPECT_EQ(fp.porte.size(), 1u);
}

TEST_F(StatoProprio, DueFrontEndNonCondividonoNulla) {
    auto& primo = lettori;
    auto secondo = std::make_shared<clsLettori>();
    EXPECT_NE(primo->Comunicazione, secondo->Comunicazione);

    // Each channel receives with its own front end's device type.
    secondo->PELVAN().setConType(2);
    EXPECT_EQ(primo->PELVAN().ConType(), 0);
    EXPECT_EQ(secondo->Comunicazione->TipoDispositivo(), 2);
    EXPECT_EQ(primo->Comunicazione->TipoDispositivo(), 0);

    // Each has its own repeat filter: two readers showing the same badge
    // (a gate's two sides) both deliver it.
    primo->TempoMantCode = secondo->TempoMantCode = 1000;
    std::vector<std::string> dalPrimo, dalSecondo;
    primo->Lettura = [&](std::string& c) { dalPrimo.push_back(c); };
    secondo->Lettura = [&](std::string& c) { dalSecondo.push_back(c); };
    std::string a = "U0123456789", b = "U0123456789";
    primo->Comunicazione->ComRX(a);
    fp.Avanza(100);
    secondo->Comunicazione->ComRX(b);
    EXPECT_EQ(dalPrimo.size(), 1u);
    EXPECT_EQ(dalSecondo.size(), 1u);
}

TEST_F(StatoProprio, UnCanaleCheSopravviveAlFrontEndNonLoRichiama) {
    std::shared_ptr<clsComunicazioni> canale = lettori->Comunicazione;
    lettori.reset();
    EXPECT_FALSE(canale->ComRX);
    EXPECT_FALSE(canale->EUnCodice);
}

// ---- Decision on received texts

class FrontEnd : public StatoLettori {
protected:
    void SetUp() override {
        fe->Lettura = [this](std::string& c) { letti.push_back(c); };
    }
    // Passes `s` to the front end as the channel does; returns what was delivered.
    std::vector<std::string> Ricevi(std::string s) {
        letti.clear();
        fe->Comunicazione->ComRX(s);
        return letti;
    }
    void Dispositivo(int32_t tipo) { fe->PELVAN().setConType(tipo); }

    std::shared_ptr<clsLettori>& fe = lettori;
    int32_t& TipoBadgeCorrente = fe->TipoBadgeCorrente;
    int32_t& TempoMantCode = fe->TempoMantCode;
    bool& CodificaQuendelAttiva = fe->CodificaQuendelAttiva;
    std::string& UltimoCodice = fe->UltimoCodice;
    uint32_t& TempoUltimoCodice = fe->TempoUltimoCodice;
    std::vector<std::string> letti;
};

using Lista = std::vector<std::string>;

TEST_F(FrontEnd, MessaggiDelLettoreETestoVuotoNonSonoCodici) {
    // With device type 2 every other text would be a code.
    Dispositivo(2);
    struct Caso {
        const char* testo;
        bool consegnato;
    } casi[] = {
        {"V KEZ 3.10", false},    {"V kez 3.10", true},     {"OMBRISK-125 v2", false}, {"ombrisk-125 v2", true},
        {"SIRMAVO 1.000", false}, {"dormavo 1.000", false}, {"xx MaVo xxxxxx", false}, {"0123456789", true},
    };
    for (const auto& c : casi) EXPECT_EQ(Ricevi(c.testo).size(), c.consegnato ? 1u : 0u) << c.testo;

    for (int32_t tipo : {0, 1, 2, 3, 7}) {
        Dispositivo(tipo);
        TipoBadgeCorrente = 99;  // no minimum length
        EXPECT_EQ(Ricevi(""), Lista{}) << tipo;
    }
    // Nor does a text that normalisation empties.
    Dispositivo(0);
    CodificaQuendelAttiva = true;
    EXPECT_EQ(Ricevi(std::string(1, '\0')), Lista{});
}

TEST_F(FrontEnd, PrefissoDelTipoDiBadge) {
    struct Caso {
        int32_t badge;
        const char* testo;
        bool consegnato;
    } casi[] = {
        {0, "U0123456789", true}, {0, "u0123456789", false},     {0, "T0123456789", false}, {0, "T01234567", false},
        {1, "T01234567", true},   {2, "Z0123456789ABCDE", true}, {3, "h01234567", true},    {3, "H01234567", false},
        {4, "H01234567", true},   {4, "h01234567", false},
    };
    for (const auto& c : casi) {
        TipoBadgeCorrente = c.badge;
        EXPECT_EQ(Ricevi(c.testo).size(), c.consegnato ? 1u : 0u) << c.badge << " " << c.testo;
    }
}

TEST_F(FrontEnd, CodificaQuendel) {
    CodificaQuendelAttiva = true;
    EXPECT_EQ(Ricevi("U0123456789"), Lista{"80C4A2E691"});
    // Other badge types lose the letter but keep their bits.
    TipoBadgeCorrente = 1;
    EXPECT_EQ(Ricevi("T01234567"), Lista{"01234567"});
    // Only device type 0 converts.
    TipoBadgeCorrente = 0;
    Dispositivo(2);
    EXPECT_EQ(Ricevi("U0123456789"), Lista{"U0123456789"});
    Dispositivo(0);
    CodificaQuendelAttiva = false;
    EXPECT_EQ(Ricevi("U0123456780"), Lista{"U0123456780"});
}

TEST_F(FrontEnd, LunghezzaMinima) {
    struct Caso {
        bool quendel;
        int32_t badge;
        const char* testo;
        bool consegnato;
    } casi[] = {
        {false, 0, "U012345678", true},                                  // 10 with the letter
        {false, 0, "U01234567", false}, {true, 0, "U0123456789", true},  // 10 after the letter is stripped
        {true, 0, "U012345678", false}, {false, 2, "Z0123456789ABCDE", true}, {false, 2, "Z0123456789ABCD", false},
        {true, 4, "H01234567", true},   {true, 4, "H0123456", false},
    };
    for (const auto& c : casi) {
        CodificaQuendelAttiva = c.quendel;
        TipoBadgeCorrente = c.badge;
        UltimoCodice.clear();
        EXPECT_EQ(Ricevi(c.testo).size(), c.consegnato ? 1u : 0u) << c.testo;
    }
}

TEST_F(FrontEnd, FiltroDelleRipetizioni) {
    TempoMantCode = 1000;
    fp.ora = 5000;
    EXPECT_EQ(Ricevi("U0123456789").size(), 1u);
    EXPECT_EQ(UltimoCodice, "U0123456789");
    EXPECT_EQ(TempoUltimoCodice, 5000u);

    fp.ora = 5300;
    EXPECT_EQ(Ricevi("U0123456789").size(), 0u);
    // A different code goes through at once, and becomes the one to compare with.
    EXPECT_EQ(Ricevi("U9999999999").size(), 1u);
    EXPECT_EQ(Ricevi("U0123456789").size(), 1u);

    // Only a delivery moves the reference time: 999 ms after it still a repeat,
    // 1000 ms after it delivered again.
    fp.ora = 5300 + 999;
    EXPECT_EQ(Ricevi("U0123456789").size(), 0u);
    fp.ora = 5300 + 1000;
    EXPECT_EQ(Ricevi("U0123456789").size(), 1u);
    fp.ora += 1200;
    EXPECT_EQ(Ricevi("U0123456789").size(), 1u);

    TempoMantCode = 0;
    EXPECT_EQ(Ricevi("U0123456789").size(), 1u);
    EXPECT_EQ(Ricevi("U0123456789").size(), 1u);
}

TEST_F(FrontEnd, FiltroDelleRipetizioniQuandoIlClockSiAzzera) {
    TempoMantCode = 1000;
    fp.ora = 0xFFFFFFFFu - 199;
    EXPECT_EQ(Ricevi("U0123456789").size(), 1u);
    fp.Avanza(300);  // past the wrap
    EXPECT_EQ(Ricevi("U0123456789").size(), 0u);
    fp.Avanza(900);
    EXPECT_EQ(Ricevi("U0123456789").size(), 1u);
    EXPECT_EQ(TempoUltimoCodice, 1000u);

    // Across the signed boundary, and a gap longer than half the clock's range.
    fp.ora = 0x7FFFFFFFu - 100;
    EXPECT_EQ(Ricevi("U1111111111").size(), 1u);
    fp.Avanza(300);
    EXPECT_EQ(Ricevi("U1111111111").size(), 0u);
    fp.Avanza(0x80000000u);
    EXPECT_EQ(Ricevi("U1111111111").size(), 1u);
}

TEST_F(FrontEnd, CodiciIncorniciatiDelTipo3) {
    Dispositivo(3);
    TempoMantCode = 1000;
    fp.ora = 777;
    const std::string cornice = STX + "e01" + "12345678" + ETX;
    EXPECT_EQ(Ricevi(cornice), Lista{"12345678"});
    EXPECT_EQ(UltimoCodice, "12345678");
    EXPECT_EQ(TempoUltimoCodice, 777u);
    // No repeat filter and no minimum length on this path.
    EXPECT_EQ(Ricevi(cornice), Lista{"12345678"});
    EXPECT_EQ(Ricevi(STX + "e09" + "AB" + ETX), Lista{"AB"});

    for (const std::string& scartato :
         {STX + "e00" + "12345678" + ETX, STX + "e0A" + "12345678" + ETX, STX + "E01" + "12345678" + ETX, STX + "e01",
          STX + "e1" + ETX, std::string("e1"), std::string("x"), STX + "e01" + ETX})
        EXPECT_EQ(Ricevi(scartato), Lista{}) << scartato.size();

    // The same frame means nothing to another device type.
    Dispositivo(0);
    EXPECT_EQ(Ricevi(cornice), Lista{});
    // A device type 3 text that starts with the badge letter is a plain code.
    Dispositivo(3);
    CodificaQuendelAttiva = true;
    EXPECT_EQ(Ricevi("U0123456789"), Lista{"U0123456789"});
}

TEST_F(FrontEnd, Tipo1ConsegnaCodiciEsadecimaliSenzaLettera) {
    Dispositivo(1);
    CodificaQuendelAttiva = true;
    EXPECT_EQ(Ricevi("0123456789"), Lista{"0123456789"});
    EXPECT_EQ(Ricevi("012345678"), Lista{});
    EXPECT_EQ(Ricevi("01234KEZ89"), Lista{});
    TempoMantCode = 1000;
    EXPECT_EQ(Ricevi("0123456789"), Lista{});  // a repeat
}

TEST_F(FrontEnd, IlTestoRicevutoDiventaIlCodiceNormalizzato) {
    CodificaQuendelAttiva = true;
    std::string testo = "U0123456789";
    fe->Comunicazione->ComRX(testo);
    EXPECT_EQ(testo, "80C4A2E691");

    // A change made by the owner's handler reaches the channel's text as well.
    fe->Lettura = [](std::string& c) { c += "!"; };
    std::string altro = "U9876543210";
    fe->Comunicazione->ComRX(altro);
    EXPECT_EQ(altro, InvertiBitByte("9876543210") + "!");

    // Reader messages pass untouched.
    std::string versione = "OMBRISK-125\r\n";
    fe->Comunicazione->ComRX(versione);
    EXPECT_EQ(versione, "OMBRISK-125\r\n");
}

}  // namespace
}  // namespace talumbra::test
