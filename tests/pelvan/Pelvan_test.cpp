// The Pelvan command set over the fake port, with a scripted reader.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/readers/StatoLettori.h"

namespace talumbra::test {
namespace {

const std::string STX(1, '\x02');
const std::string ETX(1, '\x03');
const std::string CRLF = "\r\n";
const std::string kRichiestaMavo = STX + "f" + ETX + "g";

// A framed reply as the reader sends it: STX, text, ETX and the check character.
std::string Cornice(const std::string& testo) {
    std::string t = STX + testo + ETX;
    char bcc = 0;
    for (char c : t) bcc = static_cast<char>(bcc ^ c);
    return t + bcc;
}

class ComandiPelvan : public StatoLettori {
protected:
    void SetUp() override {
        p = &lettori->PELVAN();
        canale = lettori->Comunicazione.get();
        porta = &fp.porta();
        porta->suScrittura = [this](const std::string& s) {
            scritte.push_back(s);
            sogliaAllaScrittura.push_back(porta->RThreshold());
            oraScrittura.push_back(fp.ora);
            auto it = risposte.find(s);
            if (it != risposte.end())
                porta->Arriva(fp.ora + it->second.ritardo, it->second.testo);
            else if (!rispostaATutto.empty())
                porta->Arriva(fp.ora + 20, rispostaATutto);
        };
    }
    struct Risposta {
        std::string testo;
        uint32_t ritardo;
    };
    void Rispondi(const std::string& comando, const std::string& testo, uint32_t ritardo = 20) {
        risposte[comando] = Risposta{testo, ritardo};
    }
    void Pulisci() {
        scritte.clear();
        sogliaAllaScrittura.clear();
        oraScrittura.clear();
    }

    clsPelvan* p = nullptr;
    clsComunicazioni* canale = nullptr;
    FakePorta* porta = nullptr;
    std::map<std::string, Risposta> risposte;
    std::string rispostaATutto;  // reply to any command not in `risposte`
    std::vector<std::string> scritte;
    std::vector<int> sogliaAllaScrittura;
    std::vector<uint32_t> oraScrittura;
};

// Every command that waits for a reply, called with a Sintassi.
struct Comando {
    const char* nome;
    std::function<int32_t(clsPelvan&, int16_t&)> esegui;
    int32_t timeOut;
};

const std::vector<Comando>& ComandiConRisposta() {
    static const std::vector<Comando> c = {
        {"AntennaPowerOff", [](clsPelvan& p, int16_t& s) { return p.AntennaPowerOff(s); }, 800},
        {"ReadPage",
         [](clsPelvan& p, int16_t& s) {
             std::string r;
             return p.ReadPage("3", r, s);
         },
         500},
        {"SetLed", [](clsPelvan& p, int16_t& s) { return p.SetLed(1, s); }, 500},
        {"WritePage", [](clsPelvan& p, int16_t& s) { return p.WritePage("3", "A1B2", s); }, 500},
        {"Reset", [](clsPelvan& p, int16_t& s) { return p.Reset(s); }, 500},
        {"GetVersion",
         [](clsPelvan& p, int16_t& s) {
             std::string r;
             return p.GetVersion(r, s);
         },
         500},
        {"LogIn", [](clsPelvan& p, int16_t& s) { return p.LogIn("pw", s); }, 500},
    };
    return c;
}

TEST_F(ComandiPelvan, TestiSulFilo) {
    rispostaATutto = "Y" + CRLF;
    struct Caso {
        bool maiuscolo;
        std::function<void(clsPelvan&)> esegui;
        std::string filo;
    } casi[] = {
        {false, [](clsPelvan& p) { p.AntennaPowerOff(); }, "p"},
        {true, [](clsPelvan& p) { p.AntennaPowerOff(); }, "P"},
        {false,
         [](clsPelvan& p) {
             std::string r;
             p.ReadPage("12", r);
         },
         "r12"},
        {true,
         [](clsPelvan& p) {
             std::string r;
             p.ReadPage("12", r);
         },
         "R12"},
        {true,
         [](clsPelvan& p) {
             std::string r;
             p.ReadPage("", r);
         },
         "R"},
        {false, [](clsPelvan& p) { p.SetLed(0); }, "dg"},
        {false, [](clsPelvan& p) { p.SetLed(1); }, "dr"},
        {true, [](clsPelvan& p) { p.SetLed(2); }, "DN"},
        {true, [](clsPelvan& p) { p.SetLed(3); }, "D"},
        {false, [](clsPelvan& p) { p.SetLed(-1); }, "d"},
        {false, [](clsPelvan& p) { p.WritePage("07", "aBcD"); }, "w07aBcD"},
        {true, [](clsPelvan& p) { p.WritePage("", ""); }, "W"},
        {false, [](clsPelvan& p) { p.Reset(); }, "x"},
        {true, [](clsPelvan& p) { p.Reset(); }, "X"},
        {false,
         [](clsPelvan& p) {
             std::string r;
             p.GetVersion(r);
         },
         "v"},
        {true,
         [](clsPelvan& p) {
             std::string r;
             p.GetVersion(r);
         },
         "V"},
        {false, [](clsPelvan& p) { p.Continuos(); }, "c"},
        {true, [](clsPelvan& p) { p.Continuos(); }, "C"},
        // The password goes out exactly as given.
        {false, [](clsPelvan& p) { p.LogIn("Se Gr3t\xE8"); }, "lSe Gr3t\xE8"},
        {true, [](clsPelvan& p) { p.LogIn("Se Gr3t\xE8"); }, "LSe Gr3t\xE8"},
    };
    for (auto& c : casi) {
        Pulisci();
        p->Maiuscolo = c.maiuscolo;
        c.esegui(*p);
        EXPECT_EQ(scritte, std::vector<std::string>{c.filo}) << c.filo;
    }
    EXPECT_EQ(p->SettaComando("aB1?"), "AB1?");
    p->Maiuscolo = false;
    EXPECT_EQ(p->SettaComando("aB1?"), "ab1?");
}

TEST_F(ComandiPelvan, TimeOutDiOgniComando) {
    for (const auto& c : ComandiConRisposta()) {
        if (std::string(c.nome) == "GetVersion") continue;  // falls back to a second request; below
        // A reply 600 ms after the command is in time only for the default 800 ms.
        Pulisci();
        rispostaATutto.clear();
        risposte.clear();
        int16_t sintassi = 9;
        const uint32_t t0 = fp.ora;
        EXPECT_EQ(c.esegui(*p, sintassi), 1) << c.nome;
        EXPECT_EQ(canale->VlMaxTimeOut, c.timeOut) << c.nome;
        EXPECT_GT(fp.ora - t0, static_cast<uint32_t>(c.timeOut)) << c.nome;
        EXPECT_LT(fp.ora - t0, static_cast<uint32_t>(c.timeOut) + 100) << c.nome;
        EXPECT_EQ(sintassi, std::string(c.nome) == "WritePage" ? 9 : 1) << c.nome;

        ASSERT_EQ(scritte.size(), 1u);
        Rispondi(scritte[0], "Y" + CRLF, 600);
        Pulisci();
        EXPECT_EQ(c.esegui(*p, sintassi), c.timeOut > 600 ? 0 : 1) << c.nome;
        fp.Avanza(1000);  // let a late reply land before the next command empties the input
    }
}

TEST_F(ComandiPelvan, GiudizioDellaRisposta) {
    struct Caso {
        std::string risposta;
        int16_t sintassi;
    } casi[] = {
        {"n" + CRLF, 1}, {"N" + CRLF, 1}, {"No" + CRLF, 1},   {"?5" + CRLF, 2},
        {"?" + CRLF, 2}, {"Y" + CRLF, 0}, {"0123" + CRLF, 0}, {"y", 0},
    };
    for (const auto& k : casi) {
        rispostaATutto = k.risposta;
        for (const auto& c : ComandiConRisposta()) {
            int16_t sintassi = 9;
            // A refusal is still a reply.
            EXPECT_EQ(c.esegui(*p, sintassi), 0) << c.nome << " " << k.risposta;
            EXPECT_EQ(sintassi, k.sintassi) << c.nome << " " << k.risposta;
        }
    }
}

TEST_F(ComandiPelvan, RispostaVuotaMaRicevuta) {
    // The received text can be emptied by the channel's listener before the
    // command sees it.
    rispostaATutto = "Y" + CRLF;
    canale->ComRX = [](std::string& s) { s.clear(); };
    p->setConType(3);
    for (const auto& c : ComandiConRisposta()) {
        int16_t sintassi = 9;
        EXPECT_EQ(c.esegui(*p, sintassi), 0) << c.nome;
        EXPECT_EQ(sintassi, std::string(c.nome) == "WritePage" ? 9 : 1) << c.nome;
    }
    // No fallback to the framed request, and the device type stays.
    EXPECT_EQ(porta->Scritto().find(kRichiestaMavo), std::string::npos);
    EXPECT_EQ(p->ConType(), 3);
}

TEST_F(ComandiPelvan, RispostaRestituita) {
    Rispondi("r05", "0123ABCD" + CRLF);
    Rispondi("x", "x ok" + CRLF);
    Rispondi("v", "OMBRISK-125 v2.1" + CRLF);
    std::string r = "vecchia";
    EXPECT_EQ(p->ReadPage("05", r), 0);
    EXPECT_EQ(r, "0123ABCD" + CRLF);
    int16_t s = 9;
    r = "vecchia";
    EXPECT_EQ(p->Reset(s, r), 0);
    EXPECT_EQ(r, "x ok" + CRLF);
    EXPECT_EQ(s, 0);
    r = "vecchia";
    EXPECT_EQ(p->GetVersion(r), 0);
    EXPECT_EQ(r, "OMBRISK-125 v2.1" + CRLF);

    // No reply: the caller's text is emptied.
    risposte.clear();
    r = "vecchia";
    EXPECT_EQ(p->ReadPage("05", r), 1);
    EXPECT_EQ(r, "");
}

TEST_F(ComandiPelvan, NotificaSpentaDopoOgniComandoEAccesaDopoContinuos) {
    rispostaATutto = "Y" + CRLF;
    for (const auto& c : ComandiConRisposta()) {
        Pulisci();
        canale->OnComm_Attivato();
        int16_t s = 0;
        c.esegui(*p, s);
        EXPECT_EQ(porta->RThreshold(), 0) << c.nome;
        ASSERT_FALSE(sogliaAllaScrittura.empty());
        EXPECT_EQ(sogliaAllaScrittura[0], 0) << c.nome;
    }

    // Continuos: notification on before the command goes out, nothing awaited,
    // always 0, whatever the reader does.
    rispostaATutto.clear();
    Pulisci();
    canale->OnComm_Disattivato();
    int16_t s = 9;
    const uint32_t t0 = fp.ora;
    EXPECT_EQ(p->Continuos(s), 0);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(porta->RThreshold(), 1);
    EXPECT_EQ(sogliaAllaScrittura, std::vector<int>{1});
    EXPECT_LT(fp.ora - t0, 500u);

    // The codes the reader then sends reach the front end.
    std::vector<std::string> letti;
    lettori->Lettura = [&](std::string& c) { letti.push_back(c); };
    porta->ArrivaOra("U0123456789" + CRLF);
    porta->Notifica();
    EXPECT_EQ(letti, std::vector<std::string>{"U0123456789"});
}

// How GetVersion recognises the reader from its reply: tests/transcripts/pelvan-riconoscimento.txt.

TEST_F(ComandiPelvan, LaRichiestaIncorniciataAspettaIlTimeOutDellaPrecedente) {
    // The framed request itself carries no time-out: it waits the 500 ms that
    // the version request set, not the channel's 800 ms default.
    Rispondi(kRichiestaMavo, Cornice("SIRMAVO 1.23456"), 450);
    std::string r;
    EXPECT_EQ(p->GetVersion(r), 0);
    EXPECT_EQ(p->ConType(), 3);
    EXPECT_EQ(canale->VlMaxTimeOut, 500);

    p->setConType(0);
    Pulisci();
    Rispondi(kRichiestaMavo, Cornice("SIRMAVO 1.23456"), 600);
    r = "vecchia";
    EXPECT_EQ(p->GetVersion(r), 1);
    EXPECT_EQ(p->ConType(), 0);
    EXPECT_EQ(r, "");
    ASSERT_EQ(oraScrittura.size(), 2u);
    EXPECT_GT(fp.ora - oraScrittura[1], 500u);
    EXPECT_LT(fp.ora - oraScrittura[1], 600u);

    // Even when an earlier command had left the default time-out in place.
    fp.Avanza(1000);
    p->AntennaPowerOff();
    EXPECT_EQ(canale->VlMaxTimeOut, 800);
    Pulisci();
    EXPECT_EQ(p->GetVersion(r), 1);
    EXPECT_GT(fp.ora - oraScrittura[1], 500u);
    EXPECT_LT(fp.ora - oraScrittura[1], 600u);
}

TEST_F(ComandiPelvan, UnaRispostaIncorniciataRifiutata) {
    // Too short to be accepted: outcome 2, nothing recognised.
    Rispondi(kRichiestaMavo, Cornice("12"));
    p->setConType(1);
    std::string r = "vecchia";
    EXPECT_EQ(p->GetVersion(r), 2);
    EXPECT_EQ(r, "");
    EXPECT_EQ(p->ConType(), 1);
}

TEST_F(ComandiPelvan, UnEventoDelHostSostituisceIlFrontEndDuranteLAttesa) {
    // The owner releases the front end from a host event run inside the wait;
    // the command still finishes on the objects it started with.
    Rispondi("v", "KEZ" + CRLF, 250);
    bool fatto = false;
    std::weak_ptr<clsLettori> vecchio = lettori;
    fp.suEventi = [&] {
        if (fatto) return;
        fatto = true;
        lettori.reset();
    };
    std::string r;
    int16_t s = 9;
    EXPECT_EQ(p->GetVersion(r, s), 0);
    EXPECT_TRUE(fatto);
    EXPECT_EQ(r, "KEZ" + CRLF);
    EXPECT_TRUE(vecchio.expired());
    fp.suEventi = nullptr;
}

TEST_F(ComandiPelvan, IGuastiDellaPortaArrivanoAlChiamante) {
    porta->Fallisci("Output", errDispositivoNonDisponibile);
    int16_t s = 9;
    try {
        p->Reset(s);
        ADD_FAILURE() << "no failure";
    } catch (const Fallimento& f) {
        EXPECT_EQ(f.Numero(), errDispositivoNonDisponibile);
    }
    EXPECT_EQ(s, 1);
}

}  // namespace
}  // namespace talumbra::test
