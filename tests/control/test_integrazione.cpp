// The control with the real platform, over pseudo-terminals played by
// talumbra-sim: one reader of each family, a silent reader, two usable ports.
#include <gtest/gtest.h>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>

#include <chrono>
#include <memory>
#include <thread>

#include "tests/control/Supporto.h"
#include "tests/support/PtyCoppia.h"
#include "tests/support/Simulatore.h"

using namespace talumbra;
using namespace talumbra::test;

namespace {

class Integrazione : public ::testing::Test {
protected:
    CartellaPorteTemporanea cartella{true};
    std::string porte = cartella.Percorso();
    std::unique_ptr<ucTalumbra> c;
    std::vector<std::pair<bool, int>> trovati;
    std::vector<bool> stati;
    QStringList letture;
    int domande = 0;
    std::function<bool()> risposta = [] { return false; };

    void TearDown() override { c.reset(); }

    ucTalumbra& Crea() {
        c = std::make_unique<ucTalumbra>();
        c->resize(200, 10);
        c->setDomanda([this](const QString&) {
            ++domande;
            return risposta();
        });
        QObject::connect(c.get(), &ucTalumbra::FindDevice, [this](bool& b, ucTalumbra::TipoDispositivo_Enum& t) {
            trovati.push_back({b, int(t)});
        });
        QObject::connect(c.get(), &ucTalumbra::Stato, [this](bool& b) { stati.push_back(b); });
        QObject::connect(c.get(), &ucTalumbra::Lettura, [this](QString& s) { letture << s; });
        return *c;
    }
    void Carica(int porta, bool attivo) {
        Borsa b;
        b.valori = {{"commport", porta}, {"attivo", attivo}, {"codificaquendel", false}};
        Crea().ReadProperties(b);
    }
    QComboBox* cmb() { return c->findChild<QComboBox*>("cmbSeriale"); }
};

struct Famiglia {
    const char* nome;
    int tipo;
};
void PrintTo(const Famiglia& f, std::ostream* os) { *os << f.nome; }

class PerFamiglia : public Integrazione, public ::testing::WithParamInterface<Famiglia> {};

TEST_P(PerFamiglia, RicercaRiconosceIlLettoreELeggeIBadge) {
    // Two codes in one burst: the port reports them once, and both must come.
    std::vector<std::string> argomenti{
        "--port",    "4",          "--family", GetParam().nome, "--wait-host", "--start-delay", "1500", "--no-stdin",
        "--unpaced", "--interval", "0"};
    // A reader recognised as type 2 sends its codes in binary frames.
    if (GetParam().nome == std::string("mavo-dor")) argomenti.insert(argomenti.end(), {"--code-frame", "kez"});
    argomenti.insert(argomenti.end(), {"0102030405", "0A0B0C0D0E"});
    Simulatore sim(porte, argomenti);
    ASSERT_TRUE(sim.Pronto()) << sim.Errori();
    Carica(4, true);
    EXPECT_TRUE(c->Attivo());
    ASSERT_EQ(trovati.size(), 1u);
    EXPECT_EQ(trovati[0], std::make_pair(true, GetParam().tipo));
    EXPECT_EQ(c->TipoDispositivo(), GetParam().tipo);
    ASSERT_TRUE(Attendi([&] { return letture.size() >= 2; }, 20000)) << letture.join(' ').toStdString() << sim.Errori();
    EXPECT_EQ(c->Codice(), letture.last());
    if (GetParam().tipo == 0) {
        EXPECT_EQ(letture, (QStringList{"U0102030405", "U0A0B0C0D0E"}));
    }
}

INSTANTIATE_TEST_SUITE_P(Famiglie, PerFamiglia,
                         ::testing::Values(Famiglia{"pelvan", 0}, Famiglia{"kez", 2}, Famiglia{"mavo-sir", 3},
                                           Famiglia{"mavo-dor", 2}),
                         [](const auto& info) {
                             std::string n = info.param.nome;
                             std::replace(n.begin(), n.end(), '-', '_');
                             return n;
                         });

// No event comes from a control being destroyed, with codes still coming:
// the host deletes it from its own Lettura handler, or while codes wait in
// the port (the window closing). Both run under the sanitizers too.
TEST_F(Integrazione, NessunEventoDalControlloDistrutto) {
    for (const char* famiglia : {"pelvan", "mavo-sir"}) {
        for (const bool dalGestore : {true, false}) {
            SCOPED_TRACE(std::string(famiglia) + (dalGestore ? ", deleted from Lettura" : ", closed meanwhile"));
            Simulatore sim(porte, {"--port", "7", "--family", famiglia, "--wait-host", "--start-delay", "200",
                                   "--no-stdin", "--interval", "5", "--rate", "0"});
            ASSERT_TRUE(sim.Pronto()) << sim.Errori();
            Carica(7, true);
            ASSERT_TRUE(c->Attivo());
            letture.clear();
            bool inDistruzione = false;
            int durante = 0;
            QObject::connect(c.get(), &ucTalumbra::Lettura, [&](QString&) {
                if (inDistruzione) {
                    ++durante;
                } else if (dalGestore) {
                    inDistruzione = true;
                    c.reset();
                }
            });
            QObject::connect(c.get(), &ucTalumbra::Scartata, [&](QString&) { durante += inDistruzione; });
            ASSERT_TRUE(Attendi([&] { return dalGestore ? !c : letture.size() >= 3; }, 20000)) << sim.Errori();
            if (!dalGestore) {
                // The host is busy for a while: codes pile up in the port.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                inDistruzione = true;
                c.reset();
            }
            EXPECT_FALSE(c);
            Gira(100);
            EXPECT_EQ(durante, 0);
            letture.clear();
            trovati.clear();
        }
    }
}

TEST_F(Integrazione, LettoreMutoOkPoiAnnulla) {
    Simulatore sim(porte, {"--port", "6", "--silent", "--no-stdin"});
    ASSERT_TRUE(sim.Pronto()) << sim.Errori();
    risposta = [&] { return domande == 1; };
    Carica(6, true);
    // OK, a second series, Cancel: the port closes and the list finds it; still
    // loading, so choosing it does not reopen.
    EXPECT_EQ(domande, 2);
    EXPECT_FALSE(c->Attivo());
    ASSERT_FALSE(trovati.empty());
    EXPECT_EQ(trovati.back(), std::make_pair(false, 0));
    EXPECT_FALSE(cmb()->isHidden());
    EXPECT_EQ(cmb()->count(), 1);
}

TEST_F(Integrazione, ListaConDuePorteUsabili) {
    Carica(5, false);
    ASSERT_EQ(cmb()->count(), 0);
    Simulatore a(porte, {"--port", "2", "--no-stdin"});
    Simulatore b(porte, {"--port", "5", "--no-stdin"});
    ASSERT_TRUE(a.Pronto() && b.Pronto());
    std::vector<int> aperte;
    QObject::connect(c.get(), &ucTalumbra::Stato, [&](bool& s) {
        if (s) aperte.push_back(c->CommPort());
    });
    c->setColoreErrore(c->ColoreErrore());  // a refresh while closed builds the list
    ASSERT_EQ(cmb()->count(), 2);
    EXPECT_EQ(cmb()->itemText(0), "Com 2");
    EXPECT_EQ(cmb()->itemText(1), "Com 5");
    EXPECT_EQ(aperte, (std::vector<int>{2, 5}));
    EXPECT_EQ(c->CommPort(), 5);
    EXPECT_TRUE(c->Attivo());
    EXPECT_EQ(trovati, (std::vector<std::pair<bool, int>>{{true, 0}, {true, 0}}));
}

TEST_F(Integrazione, AdattatoreStaccatoConLaPortaAperta) {
    Simulatore sim(porte, {"--port", "3", "--no-stdin"});
    ASSERT_TRUE(sim.Pronto()) << sim.Errori();
    QStringList anomalie;
    Carica(3, true);
    QObject::connect(c.get(), &ucTalumbra::Anomalia, [&](QString& s) { anomalie << s; });
    ASSERT_TRUE(c->Attivo());
    stati.clear();
    sim.Stacca();
    ASSERT_TRUE(Attendi([&] { return !c->Attivo(); }, 20000));
    ASSERT_FALSE(anomalie.isEmpty());
    EXPECT_TRUE(anomalie.first().startsWith("Errore ")) << anomalie.first().toStdString();
    EXPECT_EQ(stati.front(), false);
    EXPECT_FALSE(cmb()->isHidden());
    // Closed and quiet: the loop keeps running without new failures.
    const int n = int(anomalie.size());
    Gira(300);
    EXPECT_EQ(anomalie.size(), n);
}

}  // namespace
