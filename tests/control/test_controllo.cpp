// The control over the fake port and clock: sequences, presence check,
// port list, display, timers, and failures at event boundaries.
#include <gtest/gtest.h>
#include <QComboBox>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

#include "control/SessioneCorrente.h"
#include "tests/control/Supporto.h"

using namespace talumbra;
using namespace talumbra::test;

namespace {

QColor Colore(quint32 v) { return QColor(int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF)); }
int Righe(const QWidget& w, int righe) { return (375 * righe * w.logicalDpiY() + 720) / 1440; }

class Controllo : public ::testing::Test {
protected:
    FakePiattaforma fp;
    LettoreFinto lettore;
    ContenitoreFinto contenitore;
    std::unique_ptr<ucTalumbra> c;

    std::vector<bool> stati, cambiati;  // Stato, AttivoCambiato
    std::vector<std::pair<bool, int>> trovati;
    QStringList anomalie, letture;
    int domande = 0;
    std::function<bool()> risposta = [] { return false; };

    void SetUp() override { lettore.Installa(fp); }
    void TearDown() override {
        c.reset();
        // The front end holds a fake port that refers to this test's platform.
        setSessioneCorrente(nullptr);
    }

    ucTalumbra& Crea() {
        c = std::make_unique<ucTalumbra>(nullptr, &contenitore);
        c->resize(200, 10);
        c->setDomanda([this](const QString& t) {
            EXPECT_EQ(t, "Check connection.");
            ++domande;
            return risposta();
        });
        QObject::connect(c.get(), &ucTalumbra::Stato, [this](bool& b) { stati.push_back(b); });
        QObject::connect(c.get(), &ucTalumbra::AttivoCambiato, [this](bool b) { cambiati.push_back(b); });
        QObject::connect(c.get(), &ucTalumbra::FindDevice, [this](bool& b, ucTalumbra::TipoDispositivo_Enum& t) {
            trovati.push_back({b, int(t)});
        });
        QObject::connect(c.get(), &ucTalumbra::Anomalia, [this](QString& s) { anomalie << s; });
        QObject::connect(c.get(), &ucTalumbra::Lettura, [this](QString& s) { letture << s; });
        return *c;
    }
    FakePorta& porta() { return fp.porta(); }
    QLineEdit* txt() { return c->findChild<QLineEdit*>("txtCode"); }
    QComboBox* cmb() { return c->findChild<QComboBox*>("cmbSeriale"); }
    QTimer* timer(const char* nome) { return c->findChild<QTimer*>(nome); }
    QColor Sfondo() { return txt()->palette().color(QPalette::Base); }

    // Stored properties of a form: open on port 1 with the reader found.
    void Aperto() {
        Borsa b;
        b.valori = {{"commport", 1}, {"attivo", true}};
        Crea().ReadProperties(b);
        ASSERT_TRUE(c->Attivo());
        ASSERT_EQ(porta().RThreshold(), 1);
        trovati.clear();
        stati.clear();
    }
};

TEST_F(Controllo, NuovaIstanzaSenzaPorteUsabili) {
    lettore.esistenti = {};
    Crea().InitProperties();
    EXPECT_EQ(c->CommPort(), 1);
    EXPECT_EQ(c->Codice(), "");
    EXPECT_EQ(c->TipoBadge(), ucTalumbra::tb_EM_4x02);
    EXPECT_EQ(c->TMantCode(), 500);
    EXPECT_TRUE(c->CodificaQuendel());
    EXPECT_EQ(c->CheckVersion(), 0);
    EXPECT_EQ(c->ColoreConnesso(), 8454016u);
    EXPECT_EQ(c->ColoreLettura(), 8454143u);
    EXPECT_EQ(c->ColoreErrore(), 8421631u);
    EXPECT_FALSE(c->Attivo());
    EXPECT_FALSE(timer("trCheck")->isActive());
    // Closed: error colour, the (empty) port list shown, two rows high.
    EXPECT_EQ(Sfondo(), Colore(8421631));
    EXPECT_FALSE(cmb()->isHidden());
    EXPECT_EQ(cmb()->count(), 0);
    EXPECT_EQ(c->height(), Righe(*c, 2));
    EXPECT_EQ(c->palette().color(QPalette::Window), Colore(contenitore.ambiente));
    ASSERT_FALSE(stati.empty());
    EXPECT_FALSE(stati.back());
    EXPECT_EQ(contenitore.notifiche.first(), "CommPort");
    for (const char* p :
         {"TipoBadge", "TMantCode", "CodificaQuendel", "ColoreConnesso", "ColoreLettura", "ColoreErrore", "Attivo"})
        EXPECT_TRUE(contenitore.notifiche.contains(p)) << p;
    EXPECT_FALSE(contenitore.notifiche.contains("CheckVersion"));
}

TEST_F(Controllo, NuovaIstanzaConLettoreApreLaPortaTrovataNellaLista) {
    Crea().InitProperties();
    // The list is built when the port closes; choosing its entry reopens it.
    EXPECT_TRUE(c->Attivo());
    EXPECT_EQ(cmb()->count(), 1);
    EXPECT_EQ(cmb()->itemText(0), "Com 1");
    EXPECT_TRUE(cmb()->isHidden());
    EXPECT_EQ(c->height(), Righe(*c, 1));
    EXPECT_EQ(Sfondo(), Colore(8454016));
    ASSERT_FALSE(trovati.empty());
    EXPECT_EQ(trovati.back(), std::make_pair(true, 0));
    EXPECT_EQ(porta().RThreshold(), 1);
    EXPECT_EQ(porta().Settings(), "9600,n,8,1");
}

TEST_F(Controllo, RicercaDelLettoreInOrdine) {
    Aperto();
    porta().PulisciScritture();
    fp.pause.clear();
    c->setCommPort(1);  // reopens and checks again
    std::string scritto = porta().Scritto();
    EXPECT_EQ(scritto, std::string("V") + "\x04\x04" + "X");
    EXPECT_EQ(std::count(fp.pause.begin(), fp.pause.end(), 250u), 2);
    // EOT EOT goes out between the two waits of 250 ms.
    ASSERT_EQ(porta().scritture.size(), 3u);
    EXPECT_GE(porta().scritture[1].quando - porta().scritture[0].quando, 250u);
    EXPECT_GE(porta().scritture[2].quando - porta().scritture[1].quando, 250u);
    EXPECT_EQ(trovati, (std::vector<std::pair<bool, int>>{{true, 0}}));
    EXPECT_EQ(porta().RThreshold(), 1);
}

TEST_F(Controllo, RisposteCorteContanoComeTentativiFalliti) {
    // 16 characters or fewer (CR LF included), with no error: not an identification.
    for (std::string v : {std::string("OK"), std::string(14, 'A')}) {
        SCOPED_TRACE(v);
        Aperto();
        lettore.versione = v;
        lettore.versioni = 0;
        domande = 0;
        // Cancel leaves the reader unreachable, so the list finds nothing to reopen.
        risposta = [this] {
            porta().occupate.insert(1);
            return false;
        };
        c->setCommPort(1);
        EXPECT_EQ(domande, 1);
        EXPECT_EQ(lettore.versioni, 6);
        EXPECT_FALSE(c->Attivo());
        EXPECT_EQ(trovati.back(), std::make_pair(false, 0));
        EXPECT_FALSE(cmb()->isHidden());
        EXPECT_EQ(Sfondo(), Colore(c->ColoreErrore()));
        TearDown();
        trovati.clear();
        lettore.versione = "OMBRISK-125 PELVAN V2.1";
    }
}

TEST_F(Controllo, VersioneDiDiciassetteCaratteriAccettata) {
    lettore.versione = std::string(15, 'A');  // 17 with CR LF
    Aperto();
    EXPECT_EQ(lettore.versioni, 1);
}

TEST_F(Controllo, LettoreMutoOkPoiAnnulla) {
    Aperto();
    lettore.versione.clear();
    lettore.versioni = 0;
    int volte = 0;
    risposta = [&] {
        if (++volte == 1) return true;
        porta().occupate.insert(1);
        return false;
    };
    c->setCommPort(1);
    EXPECT_EQ(domande, 2);
    EXPECT_EQ(lettore.versioni, 12);  // OK starts a new series of six
    EXPECT_FALSE(c->Attivo());
    EXPECT_EQ(trovati, (std::vector<std::pair<bool, int>>{{false, 0}}));
    ASSERT_FALSE(stati.empty());
    EXPECT_FALSE(stati.back());
}

// A control made by a form: no container sequence, the form's properties,
// then (maybe) Attivo.
TEST_F(Controllo, DiUnModuloLaPortaAttendeAttivo) {
    SessioneCorrente()->setTMantCode(0);  // left behind by a control now gone
    Crea();
    EXPECT_EQ(c->TMantCode(), 500);
    EXPECT_TRUE(c->CodificaQuendel());
    c->setCommPort(1);
    c->setTMantCode(800);
    c->show();
    Gira(30);
    EXPECT_EQ(porta().aperture, 0);
    EXPECT_TRUE(porta().scritture.empty());
    EXPECT_EQ(cmb()->count(), 0);  // not even probed
    EXPECT_FALSE(c->Attivo());
    // Opened and searched for, as a form stored with Attivo is at loading.
    c->setAttivo(true);
    EXPECT_TRUE(c->Attivo());
    EXPECT_EQ(lettore.versioni, 1);
    EXPECT_EQ(trovati, (std::vector<std::pair<bool, int>>{{true, 0}}));
    EXPECT_EQ(cambiati, std::vector<bool>{true});
    // A control made beside it leaves the shared settings as the host set them.
    ucTalumbra secondo;
    EXPECT_EQ(secondo.TMantCode(), 800);
}

TEST_F(Controllo, DiUnModuloUnaPortaMancanteVaInAnomalia) {
    lettore.esistenti = {};
    Crea();
    EXPECT_NO_THROW(c->setAttivo(true));  // uic's setupUi or QUiLoader would be left by it
    EXPECT_FALSE(c->Attivo());
    ASSERT_EQ(anomalie.size(), 1);
    EXPECT_TRUE(anomalie[0].startsWith("Errore ")) << anomalie[0].toStdString();
    EXPECT_FALSE(stati.empty() || stati.back());
}

TEST_F(Controllo, Kez3SenzaRicerca) {
    Crea();
    c->setTipoDispositivo(ucTalumbra::tdKez3);
    c->setAttivo(true);
    EXPECT_TRUE(c->Attivo());
    // From now on the port setter reopens.
    const int aperture = porta().aperture;
    c->setCommPort(1);
    EXPECT_GT(porta().aperture, aperture);
    EXPECT_TRUE(c->Attivo());
    EXPECT_EQ(lettore.versioni, 0);
    EXPECT_TRUE(trovati.empty());
}

TEST_F(Controllo, CaricamentoConAttivoFalso) {
    lettore.esistenti = {3};
    Borsa b;
    b.valori = {{"commport", 3},    {"attivo", false}, {"codice", "ABC"},          {"checkversion", 5000},
                {"tmantcode", 700}, {"tipobadge", 2},  {"codificaquendel", false}, {"coloreerrore", 255}};
    Crea().ReadProperties(b);
    EXPECT_FALSE(c->Attivo());
    EXPECT_EQ(porta().aperture, 1);  // the probe only: loading does not reopen
    EXPECT_EQ(c->Codice(), "ABC");
    EXPECT_EQ(c->CheckVersion(), 5000);
    EXPECT_FALSE(c->RiconnessioneAutomatica());
    EXPECT_FALSE(timer("trCheck")->isActive());
    EXPECT_EQ(c->TMantCode(), 700);
    EXPECT_EQ(c->TipoBadge(), ucTalumbra::tb_ISO_FDXB);
    EXPECT_FALSE(c->CodificaQuendel());
    EXPECT_EQ(cmb()->count(), 1);
    EXPECT_FALSE(cmb()->isHidden());
    EXPECT_EQ(Sfondo(), Colore(255));
    EXPECT_EQ(lettore.versioni, 0);
}

TEST_F(Controllo, CaricamentoConAttivoVeroUnaSolaRicerca) {
    Borsa b;
    b.valori = {{"commport", 1}, {"attivo", true}};
    Crea().ReadProperties(b);
    EXPECT_TRUE(c->Attivo());
    EXPECT_EQ(lettore.versioni, 1);
    EXPECT_EQ(trovati, (std::vector<std::pair<bool, int>>{{true, 0}}));
    EXPECT_TRUE(cmb()->isHidden());
    // Loading over, the setter reopens again.
    c->setCommPort(1);
    EXPECT_EQ(lettore.versioni, 2);
}

TEST_F(Controllo, SalvataggioChiaviTipiPredefiniti) {
    Aperto();
    Borsa b;
    c->setCheckVersion(1234);
    c->WriteProperties(b);
    std::vector<QString> chiavi;
    for (auto& s : b.scritture) chiavi.push_back(s.chiave);
    EXPECT_EQ(chiavi, (std::vector<QString>{"CommPort", "Codice", "TipoBadge", "TMantCode", "CodificaQuendel",
                                            "ColoreConnesso", "ColoreLettura", "ColoreErrore", "CheckVersion", "Attivo",
                                            "RiconnessioneAutomatica"}));
    EXPECT_EQ(b.scritture[0].valore.typeId(), QMetaType::Short);
    EXPECT_EQ(b.scritture[0].predefinito.toInt(), 1);
    EXPECT_EQ(b.scritture[4].predefinito.toInt(), 1);
    EXPECT_EQ(b.scritture[5].predefinito.toInt(), 8454016);
    EXPECT_EQ(b.scritture[8].valore.toInt(), 1234);
    EXPECT_EQ(b.scritture[9].valore, QVariant(true));
    EXPECT_EQ(b.scritture[9].predefinito, QVariant(false));
    EXPECT_EQ(b.scritture[10].valore, QVariant(false));
    EXPECT_EQ(b.scritture[10].predefinito, QVariant(false));
}

TEST_F(Controllo, FileDiProprietaAndataERitorno) {
    QTemporaryDir dir;
    const QString file = dir.filePath("form.ini");
    Aperto();
    c->setTMantCode(800);
    c->setColoreLettura(0x0000FF);
    c->setRiconnessioneAutomatica(true);
    {
        auto store = ucTalumbra::FileProprieta(file);
        c->WriteProperties(*store);
    }
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString testo = QString::fromUtf8(f.readAll());
    // Values equal to their default are left out.
    EXPECT_FALSE(testo.contains("CommPort"));
    EXPECT_FALSE(testo.contains("ColoreConnesso"));
    EXPECT_TRUE(testo.contains("TMantCode=800"));
    f.close();

    c.reset();
    setSessioneCorrente(nullptr);
    auto store = ucTalumbra::FileProprieta(file);
    Crea().ReadProperties(*store);
    EXPECT_EQ(c->TMantCode(), 800);
    EXPECT_EQ(c->ColoreLettura(), 0x0000FFu);
    EXPECT_TRUE(c->Attivo());
    EXPECT_TRUE(c->CodificaQuendel());
    EXPECT_TRUE(c->RiconnessioneAutomatica());
}

TEST_F(Controllo, FileDiProprietaChiaviSenzaMaiuscoleEValoriErrati) {
    QTemporaryDir dir;
    const QString file = dir.filePath("form.ini");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[General]\ncommport=1\nattivo=1\ncheckversion=250\ncodificaquendel=0\n");
    }
    auto store = ucTalumbra::FileProprieta(file);
    Crea().ReadProperties(*store);
    EXPECT_TRUE(c->Attivo());
    EXPECT_EQ(c->CheckVersion(), 250);
    EXPECT_FALSE(c->CodificaQuendel());
    // Writing keeps the file's spelling of the key: no second entry.
    store->WriteProperty("CheckVersion", 300, 0);
    EXPECT_EQ(store->ReadProperty("CHECKVERSION", 0).toInt(), 300);
    // Short and byte values go out as plain numbers too, not as "@Variant(...)"
    // blobs; files holding such blobs still load.
    store->WriteProperty("CommPort", QVariant::fromValue<qint16>(7), QVariant::fromValue<qint16>(1));
    store->WriteProperty("Colore", QVariant::fromValue<quint8>(200), QVariant::fromValue<quint8>(1));
    store.reset();
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        const QByteArray testo = f.readAll();
        EXPECT_TRUE(testo.contains("commport=7\n")) << testo.toStdString();
        EXPECT_TRUE(testo.contains("Colore=200\n")) << testo.toStdString();
        EXPECT_FALSE(testo.contains("@Variant")) << testo.toStdString();
        f.write("Vecchia=@Variant(\\0\\0\\0\\x82\\0\\a)\n");
    }
    EXPECT_EQ(ucTalumbra::FileProprieta(file)->ReadProperty("vecchia", 1).toInt(), 7);

    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[General]\nTMantCode=molto\n");
    }
    auto rotto = ucTalumbra::FileProprieta(file);
    try {
        c->ReadProperties(*rotto);
        FAIL() << "a text where a number is stored must be an error";
    } catch (const Fallimento& e) {
        EXPECT_EQ(e.Numero(), 13);
    }
    // Loading ended, but CommPort reopens again.
    lettore.versioni = 0;
    c->setCommPort(1);
    EXPECT_EQ(lettore.versioni, 1);
}

TEST_F(Controllo, ListaConDuePortePoiQuellaConfigurata) {
    lettore.esistenti = {};
    Borsa b;
    b.valori = {{"commport", 5}, {"attivo", false}};
    Crea().ReadProperties(b);
    ASSERT_EQ(cmb()->count(), 0);
    std::vector<int> aperte;
    QObject::connect(c.get(), &ucTalumbra::Stato, [&](bool& s) {
        if (s) aperte.push_back(c->CommPort());
    });
    porta().esistenti = {2, 5};
    c->setColoreErrore(c->ColoreErrore());  // a refresh while closed builds the list
    ASSERT_EQ(cmb()->count(), 2);
    EXPECT_EQ(cmb()->itemText(0), "Com 2");
    EXPECT_EQ(cmb()->itemText(1), "Com 5");
    EXPECT_EQ(aperte, (std::vector<int>{2, 5}));
    EXPECT_EQ(c->CommPort(), 5);
    EXPECT_TRUE(c->Attivo());
    EXPECT_EQ(cmb()->currentText(), "Com 5");
    // Built once: a later refresh does not probe again.
    c->setAttivo(false);
    EXPECT_EQ(cmb()->count(), 2);
}

TEST_F(Controllo, SceltaNellaListaRiapre) {
    lettore.esistenti = {2, 4};
    Borsa b;
    b.valori = {{"commport", 2}, {"attivo", false}};
    Crea().ReadProperties(b);
    ASSERT_EQ(cmb()->count(), 2);
    cmb()->setCurrentIndex(1);
    emit cmb()->activated(1);
    EXPECT_EQ(c->CommPort(), 4);
    EXPECT_TRUE(c->Attivo());
    EXPECT_EQ(trovati.back(), std::make_pair(true, 0));
}

TEST_F(Controllo, EvidenziazioneDellaLettura) {
    Aperto();
    QElapsedTimer t;
    porta().ArrivaOra("U0123456789\r\n");
    porta().Notifica();
    ASSERT_EQ(letture, QStringList{"80C4A2E691"});
    EXPECT_EQ(c->Codice(), "80C4A2E691");
    EXPECT_EQ(Sfondo(), Colore(c->ColoreLettura()));
    EXPECT_TRUE(timer("trLettura")->isActive());
    EXPECT_EQ(timer("trLettura")->interval(), 500);
    Gira(300);
    porta().ArrivaOra("U1111111111\r\n");
    porta().Notifica();
    t.start();
    ASSERT_EQ(letture.size(), 2);
    ASSERT_TRUE(Attendi([&] { return Sfondo() == Colore(c->ColoreConnesso()); }));
    // The second code restarted the highlight.
    EXPECT_GE(t.elapsed(), 495);
    EXPECT_FALSE(timer("trLettura")->isActive());
}

TEST_F(Controllo, SenzaTempoDiMantenimentoNessunaEvidenziazione) {
    Aperto();
    c->setTMantCode(0);
    porta().ArrivaOra("U0123456789\r\n");
    porta().Notifica();
    EXPECT_EQ(c->Codice(), "80C4A2E691");
    EXPECT_EQ(Sfondo(), Colore(c->ColoreConnesso()));
    EXPECT_FALSE(timer("trLettura")->isActive());
    // A large value is a long highlight, not a timer that cannot start.
    c->setTMantCode(100000);
    porta().ArrivaOra("U2222222222\r\n");
    porta().Notifica();
    EXPECT_TRUE(timer("trLettura")->isActive());
    EXPECT_EQ(timer("trLettura")->interval(), 100000);
}

TEST_F(Controllo, IlRiquadroMostraIlCodiceAncheSeEraNascosto) {
    // A hidden control (a headless host) keeps the code and shows it once on screen.
    Aperto();
    ASSERT_FALSE(c->isVisible());
    porta().ArrivaOra("U0123456789\r\n");
    porta().Notifica();
    EXPECT_EQ(c->Codice(), "80C4A2E691");
    c->show();
    EXPECT_EQ(txt()->text(), "80C4A2E691");
    porta().ArrivaOra("U1111111111\r\n");
    porta().Notifica();
    EXPECT_EQ(txt()->text(), c->Codice());
}

TEST_F(Controllo, CheckVersionLimiteEArresto) {
    Crea();
    c->setCheckVersion(90000);
    EXPECT_EQ(c->CheckVersion(), 90000);
    EXPECT_TRUE(timer("trCheck")->isActive());
    EXPECT_EQ(timer("trCheck")->interval(), 60000);
    c->setCheckVersion(0);
    EXPECT_FALSE(timer("trCheck")->isActive());
    EXPECT_EQ(timer("trCheck")->interval(), 0);
    try {
        c->setCheckVersion(-5);
        FAIL();
    } catch (const Fallimento& e) {
        EXPECT_EQ(e.Numero(), errValoreNonValido);
    }
    EXPECT_EQ(c->CheckVersion(), -5);
    EXPECT_FALSE(timer("trCheck")->isActive());
}

TEST_F(Controllo, ControlloPeriodicoSiRipeteESiFerma) {
    Aperto();
    const int prima = lettore.versioni;
    c->setCheckVersion(30);
    ASSERT_TRUE(Attendi([&] { return lettore.versioni >= prima + 2; }));
    EXPECT_GE(trovati.size(), 2u);
    c->setCheckVersion(0);
    const int dopo = lettore.versioni;
    Gira(200);
    EXPECT_EQ(lettore.versioni, dopo);
}

TEST_F(Controllo, ProprietaCondiviseTraDueControlli) {
    Crea();
    ucTalumbra secondo;
    c->setTMantCode(1234);
    EXPECT_EQ(secondo.TMantCode(), 1234);
    c->setCodificaQuendel(false);
    EXPECT_FALSE(secondo.CodificaQuendel());
    // The second control's front end is the current one, for both.
    c->setTipoDispositivo(ucTalumbra::tdMifareMAVO);
    EXPECT_EQ(secondo.TipoDispositivo(), ucTalumbra::tdMifareMAVO);
    EXPECT_EQ(SessioneCorrente()->TipoDispositivo(), 3);
}

TEST_F(Controllo, GuastoNellaNotificaChiudeLaPorta) {
    Aperto();
    // The adapter is pulled: every read fails.
    porta().Fallisci("Input", errDispositivoNonDisponibile, -1, "Device gone");
    porta().ArrivaOra("U0123456789\r\n");
    EXPECT_NO_THROW(porta().Notifica());
    EXPECT_FALSE(c->Attivo());
    EXPECT_FALSE(porta().PortOpen());
    EXPECT_EQ(stati, std::vector<bool>{false});
    EXPECT_EQ(anomalie, QStringList{"Errore 68 Device gone"});
    EXPECT_FALSE(cmb()->isHidden());
    // Closed: no further notification, nothing keeps failing.
    EXPECT_FALSE(porta().Notifica());
}

TEST_F(Controllo, GuastoNellaRicercaAlCaricamentoArrivaAllOspiteEChiudeLaPorta) {
    // The reader is silent; the adapter is pulled while the user is asked.
    lettore.versione.clear();
    risposta = [this] {
        porta().esistenti.clear();
        porta().Fallisci("Output", errDispositivoNonDisponibile, -1, "Device gone");
        return true;
    };
    Borsa b;
    b.valori = {{"commport", 1}, {"attivo", true}};
    Crea();
    EXPECT_THROW(c->ReadProperties(b), Fallimento);
    // The host has the failure, and the control shows the port closed.
    EXPECT_EQ(domande, 1);
    EXPECT_FALSE(c->Attivo());
    EXPECT_FALSE(porta().PortOpen());
    ASSERT_FALSE(stati.empty());
    EXPECT_FALSE(stati.back());
    EXPECT_FALSE(cmb()->isHidden());
    EXPECT_TRUE(anomalie.isEmpty());
}

TEST_F(Controllo, GuastoNelControlloPeriodicoNonEsceDalTimer) {
    Aperto();
    porta().Fallisci("Output", errDispositivoNonDisponibile, -1, "Device gone");
    porta().occupate.insert(1);  // and the list finds nothing to reopen
    c->setCheckVersion(20);
    ASSERT_TRUE(Attendi([&] { return !anomalie.isEmpty(); }));
    EXPECT_TRUE(anomalie.first().startsWith("Errore 68 "));
    EXPECT_FALSE(c->Attivo());
    EXPECT_EQ(cambiati.back(), false);  // closed without the setter, still announced
    // The period goes on; with the port closed a tick only rearms.
    EXPECT_TRUE(timer("trCheck")->isActive());
    Gira(100);
    EXPECT_EQ(anomalie.size(), 1);
}

// Automatic reconnection with a host whose check box follows Stato and
// assigns Attivo from it (as Brelvo does): those echoes must not stop the
// waiting, while a deliberate Attivo := false does. The device comes and goes
// as a comN entry in a private port folder; the fake port opens it.
TEST_F(Controllo, RiconnessioneAutomaticaConUnOspiteCheSegueLoStato) {
    QTemporaryDir dir;
    const QByteArray prima = qgetenv("TALUMBRA_PORTS");
    qputenv("TALUMBRA_PORTS", dir.path().toLocal8Bit());
    const QString voce = dir.filePath("com1");
    // The entry and the fake port's device come and go together.
    auto collega = [&](bool c) {
        QFile::remove(voce);
        if (c) {
            EXPECT_TRUE(QFile::link("/dev/null", voce));
            porta().esistenti.insert(1);
        } else {
            porta().esistenti.erase(1);
        }
    };
    ASSERT_TRUE(QFile::link("/dev/null", voce));
    Borsa b;
    b.valori = {{"commport", 1}, {"attivo", true}, {"riconnessioneautomatica", true}};
    Crea().ReadProperties(b);
    ASSERT_TRUE(c->Attivo());
    // A check box: it assigns Attivo only when its state changes.
    auto spunta = std::make_shared<bool>(true);
    QObject::connect(c.get(), &ucTalumbra::Stato, [this, spunta](bool& v) {
        if (std::exchange(*spunta, v) != v) c->setAttivo(v);
    });

    // Pulled: the read fails and the device goes.
    porta().Fallisci("Input", errDispositivoNonDisponibile, 1, "Device gone");
    collega(false);
    porta().ArrivaOra("U0123456789\r\n");
    porta().Notifica();
    EXPECT_FALSE(c->Attivo());
    EXPECT_EQ(anomalie, QStringList{"Errore 68 Device gone"});

    // A silent reader plugged in: one attempt, no question, back to waiting.
    lettore.versione.clear();
    trovati.clear();
    collega(true);
    ASSERT_TRUE(Attendi([&] { return !trovati.empty(); }));
    EXPECT_EQ(trovati.back(), std::make_pair(false, 0));
    EXPECT_EQ(domande, 0);
    EXPECT_FALSE(c->Attivo());

    // Replugged with a reader that answers: back without a word from anyone.
    lettore.versione = "OMBRISK-125 PELVAN V2.1";
    collega(false);
    Gira(200);
    collega(true);
    ASSERT_TRUE(Attendi([&] { return c->Attivo() && trovati.back().first; }));
    EXPECT_EQ(anomalie.size(), 1);
    EXPECT_EQ(domande, 0);

    // Lost again, then closed on purpose: nothing reopens it.
    porta().Fallisci("Input", errDispositivoNonDisponibile, 1, "Device gone");
    collega(false);
    porta().ArrivaOra("U0123456789\r\n");
    porta().Notifica();
    EXPECT_EQ(anomalie.size(), 2);
    c->setAttivo(false);
    const int aperture = porta().aperture;
    collega(true);
    Gira(500);
    EXPECT_FALSE(c->Attivo());
    EXPECT_EQ(porta().aperture, aperture);
    c.reset();
    if (prima.isNull())
        qunsetenv("TALUMBRA_PORTS");
    else
        qputenv("TALUMBRA_PORTS", prima);
}

}  // namespace

TEST_F(Controllo, DueSessioniSenzaWidgetNonSiToccano) {
    lettore.esistenti = {1, 2};
    Lettore a, b;
    FakePorta& pa = *fp.porte.at(fp.porte.size() - 2);
    FakePorta& pb = *fp.porte.back();
    QStringList daA, daB, anomalieA, anomalieB;
    QObject::connect(&a, &Lettore::Lettura, [&](const QString& s) { daA << s; });
    QObject::connect(&b, &Lettore::Lettura, [&](const QString& s) { daB << s; });
    QObject::connect(&a, &Lettore::Anomalia, [&](const QString& s) { anomalieA << s; });
    QObject::connect(&b, &Lettore::Anomalia, [&](const QString& s) { anomalieB << s; });
    for (auto [s, n] : {std::pair{&a, 1}, std::pair{&b, 2}}) {
        s->setTMantCode(1000);
        s->setCommPort(n);
        s->Riconnetti(true);
    }
    ASSERT_TRUE(a.Attivo() && b.Attivo());
    EXPECT_EQ(pa.CommPort(), 1);
    EXPECT_EQ(pb.CommPort(), 2);

    // The same badge before both readers: each has its own repeat filter.
    pa.ArrivaOra("U0123456789\r\n");
    pa.Notifica();
    pb.ArrivaOra("U0123456789\r\n");
    pb.Notifica();
    EXPECT_EQ(daA, QStringList{"U0123456789"});
    EXPECT_EQ(daB, QStringList{"U0123456789"});

    // One adapter pulled: only its session closes and reports; the other reads on.
    pa.Fallisci("Input", errDispositivoNonDisponibile, -1, "Device gone");
    pa.ArrivaOra("U1111111111\r\n");
    EXPECT_NO_THROW(pa.Notifica());
    EXPECT_FALSE(a.Attivo());
    EXPECT_EQ(anomalieA, QStringList{"Errore 68 Device gone"});
    EXPECT_TRUE(b.Attivo());
    EXPECT_TRUE(anomalieB.isEmpty());
    pb.ArrivaOra("U2222222222\r\n");
    pb.Notifica();
    EXPECT_EQ(daB.last(), "U2222222222");
}
