// frmMain driven offscreen against a stand-in control and keyboard.
#include <gtest/gtest.h>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>

#include "FakeucTalumbra.h"
#include "host/SerialeCfg.h"
#include "host/frmMain.h"

using namespace brelvo;
using brelvo::test::fake;

namespace {

class TastieraFinta final : public Tastiera {
public:
    explicit TastieraFinta(std::vector<QString>& r) : r_(r) {}
    bool Disponibile() const override { return disponibile; }
    QString Motivo() const override { return {}; }
    void Scrivi(const QString& t) override {
        if (guasta) throw talumbra::Fallimento(errTastiera, "tasti rifiutati");
        r_.push_back("S:" + t);
    }
    void Premi(Tasto t) override { r_.push_back(t == Tasto::Invio ? "{ENTER}" : "{DOWN}"); }
    bool disponibile = true;
    bool guasta = false;

private:
    std::vector<QString>& r_;
};

class FrmMain : public ::testing::Test {
protected:
    void SetUp() override { test::AzzeraFake(); }

    void ScriviCfg(const QByteArray& t) {
        QFile f(Cfg());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(t);
    }
    QString Cfg() const { return dir.filePath("Seriale.cfg"); }
    QByteArray LeggiCfg() const {
        QFile f(Cfg());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(manca)");
    }
    // The window as the program builds it, with its start-up run.
    frmMain& Avvia(const volatile std::sig_atomic_t* segnale = nullptr) {
        auto t = std::make_unique<TastieraFinta>(tasti);
        tastiera = t.get();
        w = std::make_unique<frmMain>(std::move(t));
        w->setPercorsoCfg(Cfg());
        w->setMessaggio([this](const QString& m) { messaggi.push_back(m); });
        w->setSegnale(segnale);
        w->Form_Load();
        return *w;
    }

    QTemporaryDir dir;
    std::unique_ptr<frmMain> w;
    TastieraFinta* tastiera = nullptr;
    std::vector<QString> tasti;
    std::vector<QString> messaggi;
};

TEST_F(FrmMain, LaDescrizioneDellaFinestraRipristinaPortaECodicePrimaDellAvvio) {
    auto t = std::make_unique<TastieraFinta>(tasti);
    frmMain f(std::move(t));
    EXPECT_EQ(f.ucTalumbra1->CommPort(), 2);
    EXPECT_GT(f.ucTalumbra1->Codice().size(), 16);
    EXPECT_TRUE(f.ucTalumbra1->Codice().contains("OMBRISK-125"));
    EXPECT_EQ(fake().registro, (std::vector<std::string>{"CommPort=2", "Attivo=0"}));
}

TEST_F(FrmMain, SenzaFileParteSullaPorta1SenzaOpzioniEScriveIlFileAllaChiusura) {
    auto& f = Avvia();
    EXPECT_EQ(f.ucTalumbra1->CommPort(), 1);
    EXPECT_TRUE(f.ucTalumbra1->Attivo());
    EXPECT_FALSE(f.chkCapo->isChecked());
    EXPECT_FALSE(f.chkScrivi->isChecked());
    EXPECT_FALSE(f.chkDownArrow->isChecked());
    EXPECT_TRUE(f.chkattiva->isChecked());
    EXPECT_FALSE(f.txtTMCode->isEnabled());
    EXPECT_EQ(f.ucTalumbra1->TMantCode(), 1000);
    EXPECT_EQ(f.txtTMCode->text(), "100");
    EXPECT_EQ(f.cmbTipoTag->currentIndex(), 0);
    EXPECT_EQ(f.cmbTipoTag->count(), 5);
    EXPECT_EQ(f.cmbTipoTag->itemText(3), "HITAG_1 ");
    f.close();
    EXPECT_EQ(LeggiCfg(), QByteArray(" 1 \r\n 0 \r\n 0 \r\n 0 \r\n"));
    EXPECT_TRUE(messaggi.empty());
}

// A file refused in whole or in part is said once and never replaced by the
// values that stood in for it; a sound one is rewritten as before.
TEST_F(FrmMain, UnFileRifiutatoNonVieneSovrascritto) {
    const std::pair<QByteArray, const char*> casi[] = {
        {QByteArray(5000, ' ') + "3", "più di 4096 byte"},
        {" 99999 \r\n 1 \r\n 1 \r\n 0 \r\n", "«99999»"},
        {"\xef\xbc\x93\r\n1\r\n", "«\\xef\\xbc\\x93»"},
        {QByteArray("150\0\r\n1\r\n", 9), "«150\\x00»"},
        {" 0 \r\n 1 \r\n 1 \r\n 0 \r\n", "la porta 0 non esiste"},
        {"-5\r\n", "la porta -5 non esiste"},
        {" 300 \r\n 1 \r\n", "la porta 300 non esiste"},
    };
    for (const auto& [testo, perche] : casi) {
        SCOPED_TRACE(perche);
        ScriviCfg(testo);
        testing::internal::CaptureStderr();
        Avvia().close();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(LeggiCfg(), testo);
        EXPECT_NE(err.find(perche), std::string::npos) << err;
        EXPECT_NE(err.find("non viene sovrascritto"), std::string::npos) << err;
        EXPECT_EQ(err.find("Seriale.cfg"), err.rfind("Seriale.cfg")) << err;  // once
        w.reset();
    }
}

TEST_F(FrmMain, UnFileConSolo3DaLaPorta3) {
    ScriviCfg("3");
    auto& f = Avvia();
    EXPECT_EQ(f.ucTalumbra1->CommPort(), 3);
    EXPECT_FALSE(f.chkCapo->isChecked() || f.chkScrivi->isChecked() || f.chkDownArrow->isChecked());
}

TEST_F(FrmMain, UnSegnaleDiChiusuraPrimaDellAvvioLoFermaEIlFileTieneLaSuaPorta) {
    ScriviCfg(" 3 \r\n 1 \r\n 0 \r\n 0 \r\n");
    volatile std::sig_atomic_t segnale = 1;
    auto& f = Avvia(&segnale);
    // The control still has the window description's port 2, never the file's.
    EXPECT_EQ(f.ucTalumbra1->CommPort(), 2);
    f.ChiudiPerSegnale();
    EXPECT_EQ(LeggiCfg(), QByteArray(" 3 \r\n 1 \r\n 0 \r\n 0 \r\n"));
}

TEST_F(FrmMain, InvioEFrecciaGiuInsiemeNelFileDannoSoloInvio) {
    ScriviCfg(" 2 \r\n 1 \r\n 1 \r\n 1 \r\n");
    auto& f = Avvia();
    EXPECT_TRUE(f.chkCapo->isChecked());
    EXPECT_TRUE(f.chkScrivi->isChecked());
    EXPECT_FALSE(f.chkDownArrow->isChecked());
    f.close();
    EXPECT_EQ(LeggiCfg(), QByteArray(" 2 \r\n 1 \r\n 1 \r\n 0 \r\n"));
}

TEST_F(FrmMain, UnaPortaCheNonSiApreFinisceConAttivaSpuntaTolta) {
    ScriviCfg("9");
    auto& f = Avvia();
    EXPECT_FALSE(f.chkattiva->isChecked());
    EXPECT_FALSE(f.ucTalumbra1->Attivo());
    EXPECT_FALSE(f.txtTMCode->isEnabled());
    // Checking "Attiva" tries again and falls back at once to unchecked.
    f.chkattiva->setChecked(true);
    EXPECT_FALSE(f.chkattiva->isChecked());
    // Once the reader is there, "Attiva" opens it; unchecking frees the repeat time.
    fake().porteApribili.insert(9);
    f.chkattiva->setChecked(true);
    EXPECT_TRUE(f.ucTalumbra1->Attivo());
    EXPECT_FALSE(f.txtTMCode->isEnabled());
    f.chkattiva->setChecked(false);
    EXPECT_TRUE(f.txtTMCode->isEnabled());
}

TEST_F(FrmMain, UnErroreNellAvvioLoFermaInSilenzio) {
    fake().fallisci["CommPort"] = 8002;
    ScriviCfg("4\r\n0\r\n1\r\n0\r\n");
    auto& f = Avvia();
    EXPECT_TRUE(f.chkScrivi->isChecked());  // steps before the failure ran
    EXPECT_EQ(f.txtTMCode->text(), "100");
    EXPECT_FALSE(f.chkattiva->isChecked());  // steps after it did not
    EXPECT_EQ(fake().registro.back(), "CommPort=4");
    EXPECT_TRUE(messaggi.empty());

    // A failure in a handler that a step runs ends start-up after that step:
    // step 9 selects the stored badge type, step 10 would disable the list.
    test::AzzeraFake();
    fake().fallisci["TipoBadge"] = 380;
    fake().tipoBadgeIniziale = ucTalumbra::tb_HITAG_2;
    fake().trovato = ucTalumbra::tdEmulKez;
    auto& g = Avvia();
    EXPECT_EQ(g.cmbTipoTag->currentIndex(), 4);
    EXPECT_TRUE(g.cmbTipoTag->isEnabled());
    EXPECT_TRUE(messaggi.empty());
}

TEST_F(FrmMain, FuoriDallAvvioUnErroreDiUnGestoreVieneMostrato) {
    auto& f = Avvia();
    fake().fallisci["Attivo"] = 8010;
    f.chkattiva->setChecked(false);
    ASSERT_EQ(messaggi.size(), 1u);
    EXPECT_EQ(messaggi[0], "Errore 8010 finto guasto in Attivo");
}

TEST_F(FrmMain, GestoriDelleOpzioni) {
    auto& f = Avvia();
    f.chkCapo->setChecked(true);
    EXPECT_EQ(f.mACapo, 1);
    f.chkDownArrow->setChecked(true);  // unchecks "A capo"
    EXPECT_FALSE(f.chkCapo->isChecked());
    EXPECT_EQ(f.mACapo, 0);
    EXPECT_EQ(f.mFrecciaGiu, 1);
    f.chkCapo->setChecked(true);  // and back
    EXPECT_FALSE(f.chkDownArrow->isChecked());
    EXPECT_EQ(f.mFrecciaGiu, 0);
    f.chkDownArrow->setChecked(true);
    f.chkScrivi->setChecked(true);
    EXPECT_EQ(f.mScrivi, 1);

    f.cmbTipoTag->setCurrentIndex(3);
    EXPECT_EQ(f.ucTalumbra1->TipoBadge(), ucTalumbra::tb_HITAG_1);

    // The repeat time is edited in hundredths of a second.
    auto lascia = [&](const QString& testo, Qt::FocusReason perche = Qt::TabFocusReason) {
        f.txtTMCode->setText(testo);
        QFocusEvent fuori(QEvent::FocusOut, perche);
        QApplication::sendEvent(f.txtTMCode, &fuori);
    };
    lascia("25");
    EXPECT_EQ(f.ucTalumbra1->TMantCode(), 250);
    // The window losing activation, or the box's own menu, does not apply it.
    lascia("40", Qt::ActiveWindowFocusReason);
    lascia("40", Qt::PopupFocusReason);
    EXPECT_EQ(f.ucTalumbra1->TMantCode(), 250);
    lascia("x");
    EXPECT_EQ(f.txtTMCode->text(), "25");
    lascia(" 2.56 ");
    EXPECT_EQ(f.ucTalumbra1->TMantCode(), 26);
    lascia("");
    EXPECT_EQ(f.txtTMCode->text(), "2.6");
    lascia("1e12");
    EXPECT_EQ(f.ucTalumbra1->TMantCode(), 26);
    ASSERT_EQ(messaggi.size(), 1u);
    EXPECT_EQ(messaggi[0], "Errore 6 Overflow");

    // The port chosen in the control is the one stored.
    fake().ultimo->setCommPort(7);
    f.close();
    EXPECT_EQ(LeggiCfg(), QByteArray(" 7 \r\n 0 \r\n 1 \r\n 1 \r\n"));
}

TEST_F(FrmMain, OgniCodiceVaNegliAppuntiEConScriviVieneDigitato) {
    auto& f = Avvia();
    QClipboard* a = QGuiApplication::clipboard();
    test::Leggi(*f.ucTalumbra1, "80C4A2E691");
    EXPECT_EQ(a->text(), "80C4A2E691");
    EXPECT_TRUE(tasti.empty());  // "Scrivi" off: clipboard only

    f.chkScrivi->setChecked(true);
    test::Leggi(*f.ucTalumbra1, "0000000080");
    EXPECT_EQ(tasti, (std::vector<QString>{"S:0000000080"}));
    f.chkCapo->setChecked(true);
    test::Leggi(*f.ucTalumbra1, "{ENTER}+^%~");  // key syntax in a code is text
    f.chkDownArrow->setChecked(true);
    test::Leggi(*f.ucTalumbra1, "1");
    EXPECT_EQ(tasti, (std::vector<QString>{"S:0000000080", "S:{ENTER}+^%~", "{ENTER}", "S:1", "{DOWN}"}));
    EXPECT_EQ(a->text(), "1");
}

TEST_F(FrmMain, IControlliNonVengonoDigitatiMaRestanoNegliAppunti) {
    auto& f = Avvia();
    f.chkScrivi->setChecked(true);
    const QString codice = QString::fromLatin1(
        "12\t3\r\n4\x1b"
        "5\x7f\x85"
        "6\x08\xe9");
    test::Leggi(*f.ucTalumbra1, codice);
    EXPECT_EQ(tasti, (std::vector<QString>{QString::fromLatin1("S:123456\xe9")}));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), codice);
    EXPECT_EQ(Stampabili(QString::fromLatin1("\x01\x1f \x7e\x9f\xa0")), QString::fromLatin1(" \x7e\xa0"));
}

TEST_F(FrmMain, UnTastoRifiutatoVieneMostratoEIlGestoreProsegue) {
    auto& f = Avvia();
    f.chkScrivi->setChecked(true);
    f.chkCapo->setChecked(true);
    tastiera->guasta = true;
    test::Leggi(*f.ucTalumbra1, "0123456789");
    EXPECT_EQ(messaggi, (std::vector<QString>{"Errore 70 tasti rifiutati"}));
    EXPECT_EQ(tasti, (std::vector<QString>{"{ENTER}"}));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "0123456789");

    // Without a display to type on, codes still reach the clipboard, silently.
    tastiera->guasta = false;
    tastiera->disponibile = false;
    test::Leggi(*f.ucTalumbra1, "AAAA");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "AAAA");
    EXPECT_EQ(tasti.size(), 1u);
    EXPECT_EQ(messaggi.size(), 1u);
}

TEST_F(FrmMain, LaVerificaDiPresenzaSiRispecchiaNelleOpzioni) {
    auto& f = Avvia();
    f.chkScrivi->setChecked(true);
    test::TrovaDispositivo(*f.ucTalumbra1, false, ucTalumbra::tdPELVAN);
    EXPECT_FALSE(f.chkScrivi->isEnabled());
    EXPECT_FALSE(f.cmbTipoTag->isEnabled());
    test::Leggi(*f.ucTalumbra1, "ABCDEF0123");  // a checked but disabled "Scrivi" still types
    EXPECT_EQ(tasti, (std::vector<QString>{"S:ABCDEF0123"}));

    test::TrovaDispositivo(*f.ucTalumbra1, true, ucTalumbra::tdMifareMAVO);
    EXPECT_TRUE(f.chkScrivi->isEnabled());
    EXPECT_FALSE(f.cmbTipoTag->isEnabled());
    test::TrovaDispositivo(*f.ucTalumbra1, true, ucTalumbra::tdPELVAN);
    EXPECT_TRUE(f.cmbTipoTag->isEnabled());
}

TEST_F(FrmMain, UnLettoreNonPelvanAllAvvioDisabilitaLaListaDeiBadge) {
    fake().trovato = ucTalumbra::tdEmulKez;
    auto& f = Avvia();
    EXPECT_FALSE(f.cmbTipoTag->isEnabled());
    EXPECT_TRUE(f.chkScrivi->isEnabled());
}

// No text is cut, at whatever resolution CTest runs this (96, 144 and 192 dpi)
// and with the desktop's font one size larger: every element holds its size
// hint, none covers another, the window holds them all, and the layout keeps
// its twips where the texts fit.
TEST_F(FrmMain, NessunTestoTagliatoAOgniRisoluzioneECarattere) {
    const QFont desktop = QApplication::font();
    for (int piu : {0, 1}) {
        SCOPED_TRACE(testing::Message() << QApplication::primaryScreen()->logicalDotsPerInchX() << " dpi, font +"
                                        << piu);
        QFont carattere = desktop;
        carattere.setPointSize(desktop.pointSize() + piu);
        QApplication::setFont(carattere);
        auto& f = Avvia();
        QApplication::setFont(desktop);
        const double px = f.logicalDpiX() / 1440.0;
        EXPECT_EQ(f.windowTitle(), "Brelvo");
        EXPECT_GE(f.width(), qRound(4215 * px));
        EXPECT_GE(f.height(), qRound(1440 * px));
        EXPECT_EQ(f.chkDownArrow->geometry().left(), qRound(1800 * px));
        const std::vector<std::pair<const char*, QWidget*>> elementi{
            {"ucTalumbra1", f.ucTalumbra1}, {"cmbTipoTag", f.cmbTipoTag},    {"lblAntiRimb", f.lblAntiRimb},
            {"txtTMCode", f.txtTMCode},     {"chkattiva", f.chkattiva},      {"chkCapo", f.chkCapo},
            {"chkScrivi", f.chkScrivi},     {"chkDownArrow", f.chkDownArrow}};
        for (size_t i = 0; i < elementi.size(); ++i) {
            const auto [nome, w] = elementi[i];
            const QRect g = w->geometry();
            EXPECT_TRUE(f.rect().contains(g)) << nome;
            if (w != f.ucTalumbra1) {
                EXPECT_GE(g.height(), w->sizeHint().height()) << nome;
            }
            if (w != f.ucTalumbra1 && w != f.txtTMCode) {
                EXPECT_GE(g.width(), w->sizeHint().width()) << nome;
            }
            for (size_t j = i + 1; j < elementi.size(); ++j)
                EXPECT_FALSE(g.intersects(elementi[j].second->geometry())) << nome << " covers " << elementi[j].first;
        }
        // BRELVO_SCHERMATA=file.png saves how the window looks, for a look by eye.
        if (const QByteArray p = qgetenv("BRELVO_SCHERMATA"); !p.isEmpty() && piu == 0) {
            f.show();
            f.grab().save(QString::fromLocal8Bit(p));
        }
        w.reset();
    }
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
