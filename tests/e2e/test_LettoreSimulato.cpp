// A reader played by talumbra-sim on a pseudo-terminal, read through the real
// port, the channel and the front end, as far as the front end's Lettura.
// Generous deadlines for "something happens"; no upper bound on time.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <memory>
#include <string>
#include <vector>

#include "channel/clsComunicazioni.h"
#include "pelvan/clsPelvan.h"
#include "platform/PiattaformaQt.h"
#include "readers/clsLettori.h"
#include "tests/support/Attendi.h"
#include "tests/support/PtyCoppia.h"
#include "tests/support/Simulatore.h"

namespace talumbra::test {
namespace {

class LettoreSimulato : public ::testing::Test {
protected:
    LettoreSimulato() { precedente_ = setPiattaforma(&pf); }
    ~LettoreSimulato() override {
        if (lettori) lettori->Comunicazione->setAttivo(false);
        lettori.reset();
        setPiattaforma(precedente_);
    }

    // Starts the reader and opens port 5 on it.
    void Avvia(std::vector<std::string> argomenti) {
        argomenti.insert(argomenti.begin(), {"--port", "5", "--no-stdin"});
        sim = std::make_unique<Simulatore>(cartella.Percorso(), std::move(argomenti));
        ASSERT_TRUE(sim->Pronto()) << sim->Errori();
        lettori = std::make_shared<clsLettori>();
        lettori->Lettura = [this](std::string& c) { codici.push_back(c); };
        ch = lettori->Comunicazione.get();
        ch->Seriale->OnComm = [this] {
            ++notifiche;
            ch->Seriale_OnComm();
        };
        ch->setCommPort(5);
        ch->setCommSettings("9600,n,8,1");
        ch->setAttivo(true);
        lettori->PELVAN().Maiuscolo = true;
    }

    bool Codici(size_t n) {
        return Attendi([&] { return codici.size() >= n; });
    }
    // Holds the notification off until `n` bytes wait, then lets one through.
    void TuttiInUnaNotifica(int n) {
        ch->OnComm_Disattivato();
        ASSERT_TRUE(Attendi([&] { return ch->Seriale->InBufferCount() >= n; }));
        notifiche = 0;
        ch->OnComm_Attivato();
    }

    CartellaPorteTemporanea cartella;
    PiattaformaQt pf;
    Piattaforma* precedente_ = nullptr;
    std::unique_ptr<Simulatore> sim;
    std::shared_ptr<clsLettori> lettori;
    clsComunicazioni* ch = nullptr;
    std::vector<std::string> codici;
    int notifiche = 0;
};

TEST_F(LettoreSimulato, TextCodeLineWithAndWithoutQuendelEncoding) {
    Avvia({"--wait-host", "--start-delay", "200", "--interval", "300", "0123456789", "0123456789"});
    std::string versione;
    ASSERT_EQ(lettori->PELVAN().GetVersion(versione), 0);
    EXPECT_EQ(lettori->PELVAN().ConType(), 0);
    // The encoding goes on after the first code, whenever the second one comes.
    lettori->CodificaQuendelAttiva = false;
    lettori->Lettura = [this](std::string& c) {
        codici.push_back(c);
        lettori->CodificaQuendelAttiva = true;
    };
    ch->OnComm_Attivato();
    ASSERT_TRUE(Codici(2));
    EXPECT_EQ(codici, (std::vector<std::string>{"U0123456789", "80C4A2E691"}));
}

TEST_F(LettoreSimulato, BinaryFramesAndABadCheckByte) {
    Avvia({"--family", "kez", "--wait-host", "--start-delay", "200", "--bad-check", "--fault-every", "2", "0102030405",
           "0A0B0C0D0E", "1112131415"});
    std::string versione;
    ASSERT_EQ(lettori->PELVAN().GetVersion(versione), 0);
    ASSERT_EQ(lettori->PELVAN().ConType(), 2);
    ch->OnComm_Attivato();
    ASSERT_TRUE(Codici(2));
    EXPECT_EQ(codici, (std::vector<std::string>{"0102030405", "1112131415"}));
}

TEST_F(LettoreSimulato, NoiseAndTwoFramesBackToBackInOneNotification) {
    Avvia({"--family", "kez", "--wait-host", "--start-delay", "200", "--interval", "0", "--garbage", "3", "0102030405",
           "A1A2A3A4A5"});
    std::string versione;
    ASSERT_EQ(lettori->PELVAN().GetVersion(versione), 0);
    ASSERT_EQ(lettori->PELVAN().ConType(), 2);
    TuttiInUnaNotifica(2 * (3 + 7));
    ASSERT_TRUE(Codici(2));
    EXPECT_EQ(codici, (std::vector<std::string>{"0102030405", "A1A2A3A4A5"}));
    EXPECT_EQ(notifiche, 1);
}

TEST_F(LettoreSimulato, FramedCodeOfAMavoReader) {
    Avvia({"--family", "mavo-sir", "--wait-host", "--start-delay", "200", "12345678"});
    std::string versione;
    QElapsedTimer t;
    t.start();
    ASSERT_EQ(lettori->PELVAN().GetVersion(versione), 0);
    EXPECT_GE(t.elapsed(), 500);  // the text request went unanswered first
    ASSERT_EQ(lettori->PELVAN().ConType(), 3);
    ch->OnComm_Attivato();
    ASSERT_TRUE(Codici(1));
    EXPECT_EQ(codici, std::vector<std::string>{"12345678"});
}

TEST_F(LettoreSimulato, VersionRecognitionOfEachFamily) {
    struct Caso {
        const char* famiglia;
        int32_t tipo;
        bool ripiego;  // answers only the framed request
    };
    for (const Caso& k :
         {Caso{"pelvan", 0, false}, Caso{"kez", 2, false}, Caso{"mavo-sir", 3, true}, Caso{"mavo-dor", 2, true}}) {
        SCOPED_TRACE(k.famiglia);
        Avvia({"--family", k.famiglia});
        lettori->PELVAN().setConType(7);
        std::string versione;
        QElapsedTimer t;
        t.start();
        EXPECT_EQ(lettori->PELVAN().GetVersion(versione), 0);
        EXPECT_EQ(lettori->PELVAN().ConType(), k.tipo);
        if (k.ripiego) {
            EXPECT_GE(t.elapsed(), 500);
            EXPECT_EQ(versione.substr(0, 1), "\x02");
            EXPECT_EQ(ch->VlMaxTimeOut, 500);
        }
        ch->setAttivo(false);
        lettori.reset();
        sim.reset();
    }
}

}  // namespace
}  // namespace talumbra::test

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
