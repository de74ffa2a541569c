#include "frmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "SerialeCfg.h"

namespace brelvo {

QString TestoErrore(std::exception_ptr e) {
    try {
        std::rethrow_exception(e);
    } catch (const talumbra::Fallimento& f) {
        return QStringLiteral("Errore %1 %2").arg(f.Numero()).arg(QString::fromStdString(f.Descrizione()));
    } catch (const std::exception& x) {
        return QStringLiteral("Errore 0 %1").arg(QString::fromLocal8Bit(x.what()));
    } catch (...) {
        return QStringLiteral("Errore 0 errore sconosciuto");
    }
}

QString frmMain::DescrizioneFinestra() { return QStringLiteral(":/brelvo/frmMain.ini"); }

frmMain::frmMain(std::unique_ptr<Tastiera> tastiera, QWidget* parent)
    : QWidget(parent), tastiera_(std::move(tastiera)) {
    setWindowTitle(QStringLiteral("Brelvo"));
    // The window was laid out in twips for an 8-point font: with a larger one the texts would not fit.
    // A sans with narrow, Helvetica-like metrics is the nearest to the one it was laid out with.
    QFont carattere = font();
    carattere.setFamilies({QStringLiteral("Nimbus Sans"), QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                           QStringLiteral("Helvetica"), carattere.family()});
    carattere.setPointSize(8);
    setFont(carattere);
    messaggio_ = [this](const QString& testo) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Brelvo"), testo, QMessageBox::Ok, this);
        box.exec();
    };

    ucTalumbra1 = new ucTalumbra(this, this);
    cmbTipoTag = new QComboBox(this);
    cmbTipoTag->addItems({QStringLiteral("EM_4x02 "), QStringLiteral("EM_4x50"), QStringLiteral("ISO_FDXB"),
                          QStringLiteral("HITAG_1 "), QStringLiteral("HITAG_2 ")});
    lblAntiRimb = new QLabel(QStringLiteral("Anti Rimb."), this);
    txtTMCode = new QLineEdit(QStringLiteral("10"), this);
    txtTMCode->setToolTip(QStringLiteral("Centesimi di secondo in cui la lettura dello stesso codice viene ignorata."));
    chkattiva = new QCheckBox(QStringLiteral("Attiva"), this);
    chkCapo = new QCheckBox(QStringLiteral("A capo"), this);
    chkScrivi = new QCheckBox(QStringLiteral("Scrivi"), this);
    chkDownArrow = new QCheckBox(QString::fromUtf8("Freccia giù"), this);

    // Positions and sizes in twips, 1440 to the inch.
    Posiziona(ucTalumbra1, 45, 45, 2580, 750);
    Posiziona(cmbTipoTag, 2655, 90, 1500, 315);
    Posiziona(lblAntiRimb, 2700, 465, 735, 255);
    Posiziona(txtTMCode, 3480, 465, 615, 285);
    Posiziona(chkattiva, 45, 855, 825, 240);
    Posiziona(chkCapo, 1800, 855, 825, 240);
    Posiziona(chkScrivi, 60, 1140, 780, 240);
    Posiziona(chkDownArrow, 1800, 1140, 1125, 240);
    // A text that still does not fit widens its element: check boxes to the
    // right, the label to the left (it stands right of the control, flush with the box).
    for (QCheckBox* c : {chkattiva, chkCapo, chkScrivi, chkDownArrow})
        if (c->sizeHint().width() > c->width()) c->resize(c->sizeHint().width(), c->height());
    lblAntiRimb->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    if (const int manca = lblAntiRimb->sizeHint().width() - lblAntiRimb->width(); manca > 0) {
        const int sinistra = std::max(ucTalumbra1->geometry().right() + 2, lblAntiRimb->x() - manca);
        lblAntiRimb->setGeometry(sinistra, lblAntiRimb->y(), lblAntiRimb->geometry().right() - sinistra + 1,
                                 lblAntiRimb->height());
    }
    const double dx = logicalDpiX() / 1440.0, dy = logicalDpiY() / 1440.0;
    setFixedSize(static_cast<int>(std::lround(4215 * dx)), static_cast<int>(std::lround(1440 * dy)));

    // A state changed by the program runs the same handler as a click.
    connect(chkattiva, &QCheckBox::toggled, this, [this] { Gestore([this] { chkattiva_Click(); }); });
    connect(chkCapo, &QCheckBox::toggled, this, [this] { Gestore([this] { chkCapo_Click(); }); });
    connect(chkDownArrow, &QCheckBox::toggled, this, [this] { Gestore([this] { chkDownArrow_Click(); }); });
    connect(chkScrivi, &QCheckBox::toggled, this, [this] { Gestore([this] { chkScrivi_Click(); }); });
    connect(cmbTipoTag, &QComboBox::currentIndexChanged, this, [this] { Gestore([this] { cmbTipoTag_Click(); }); });
    txtTMCode->installEventFilter(this);
    connect(ucTalumbra1, &ucTalumbra::Lettura, this, [this](QString& s) { Gestore([&] { ucTalumbra1_Lettura(s); }); });
    connect(ucTalumbra1, &ucTalumbra::Stato, this, [this](bool& b) { Gestore([&] { ucTalumbra1_Stato(b); }); });
    connect(ucTalumbra1, &ucTalumbra::FindDevice, this,
            [this](bool& b, ucTalumbra::TipoDispositivo_Enum& d) { Gestore([&] { ucTalumbra1_FindDevice(b, d); }); });

    // The container restores the control's stored properties before start-up.
    try {
        auto store = ucTalumbra::FileProprieta(DescrizioneFinestra());
        ucTalumbra1->ReadProperties(*store);
    } catch (...) {
        std::fprintf(stderr, "Brelvo: %s\n", qPrintable(TestoErrore(std::current_exception())));
    }
}

frmMain::~frmMain() = default;

void frmMain::setMessaggio(Messaggio m) { messaggio_ = std::move(m); }

quint32 frmMain::AmbientBackColor() const {
    const QColor c = palette().color(QPalette::Window);
    return static_cast<quint32>(c.red()) | static_cast<quint32>(c.green()) << 8 | static_cast<quint32>(c.blue()) << 16;
}

// The window description is not saved while the program runs.
void frmMain::PropertyChanged(const QString&) {}

void frmMain::Posiziona(QWidget* w, int sinistra, int alto, int larghezza, int altezza) {
    const double dx = logicalDpiX() / 1440.0, dy = logicalDpiY() / 1440.0;
    w->setGeometry(static_cast<int>(std::lround(sinistra * dx)), static_cast<int>(std::lround(alto * dy)),
                   static_cast<int>(std::lround(larghezza * dx)), static_cast<int>(std::lround(altezza * dy)));
}

template <class F>
void frmMain::Gestore(F f) {
    try {
        f();
    } catch (...) {
        if (inAvvio_) {
            if (!erroreAvvio_) erroreAvvio_ = std::current_exception();
        } else {
            MostraErrore(std::current_exception());
        }
    }
}

void frmMain::MostraErrore(std::exception_ptr e) {
    const QString testo = TestoErrore(e);
    try {
        messaggio_(testo);
    } catch (...) {
        std::fprintf(stderr, "Brelvo: %s\n", qPrintable(testo));
    }
}

void frmMain::Form_Load() {
    SerialeCfg cfg;
    cfg.NSeriale = 1;
    LeggiSerialeCfg(percorsoCfg_, cfg);
    NSeriale = cfg.NSeriale;
    mACapo = cfg.mACapo;
    mScrivi = cfg.mScrivi;
    mFrecciaGiu = cfg.mFrecciaGiu;

    // From here an error ends start-up, without a message. A failure inside a
    // handler that a step runs ends it too, right after that step.
    inAvvio_ = true;
    erroreAvvio_ = nullptr;
    auto passo = [this](auto f) {
        f();
        if (erroreAvvio_) std::rethrow_exception(erroreAvvio_);
    };
    try {
        passo([&] { chkCapo->setChecked(mACapo != 0); });
        passo([&] { chkScrivi->setChecked(mScrivi != 0); });
        passo([&] { chkDownArrow->setChecked(mFrecciaGiu != 0); });
        passo([&] { ucTalumbra1->setTMantCode(1000); });
        passo([&] { txtTMCode->setText(QString::number(ucTalumbra1->TMantCode() / 10.0, 'g', 15)); });
        passo([&] { ucTalumbra1->setCommPort(NSeriale); });
        passo([&] { ucTalumbra1->setAttivo(true); });
        passo([&] { chkattiva->setChecked(true); });
        passo([&] { cmbTipoTag->setCurrentIndex(static_cast<int>(ucTalumbra1->TipoBadge())); });
        passo([&] {
            if (ucTalumbra1->TipoDispositivo() != ucTalumbra::tdPELVAN) cmbTipoTag->setEnabled(false);
        });
    } catch (...) {
    }
    inAvvio_ = false;
    erroreAvvio_ = nullptr;
}

void frmMain::chkattiva_Click() {
    if (chkattiva->isChecked()) {
        ucTalumbra1->setAttivo(true);
        txtTMCode->setEnabled(false);
    } else {
        ucTalumbra1->setAttivo(false);
        txtTMCode->setEnabled(true);
    }
}

void frmMain::chkCapo_Click() {
    if (chkCapo->isChecked()) chkDownArrow->setChecked(false);
    mACapo = chkCapo->isChecked() ? 1 : 0;
    mFrecciaGiu = chkDownArrow->isChecked() ? 1 : 0;
}

void frmMain::chkDownArrow_Click() {
    if (chkDownArrow->isChecked()) chkCapo->setChecked(false);
    mACapo = chkCapo->isChecked() ? 1 : 0;
    mFrecciaGiu = chkDownArrow->isChecked() ? 1 : 0;
}

void frmMain::chkScrivi_Click() { mScrivi = chkScrivi->isChecked() ? 1 : 0; }

void frmMain::cmbTipoTag_Click() {
    const int i = cmbTipoTag->currentIndex();
    if (i >= 0) ucTalumbra1->setTipoBadge(static_cast<ucTalumbra::TipoBadge_Enum>(i));
}

void frmMain::txtTMCode_LostFocus() {
    // The box is in hundredths of a second, the property in milliseconds.
    bool numerico = false;
    const double v = txtTMCode->text().trimmed().toDouble(&numerico);
    if (numerico && std::isfinite(v)) {
        const double ms = std::nearbyint(v * 10);
        if (ms < std::numeric_limits<qint32>::min() || ms > std::numeric_limits<qint32>::max())
            throw talumbra::Fallimento(6, "Overflow");
        ucTalumbra1->setTMantCode(static_cast<qint32>(ms));
    } else {
        txtTMCode->setText(QString::number(ucTalumbra1->TMantCode() / 10.0, 'g', 15));
    }
}

bool frmMain::eventFilter(QObject* o, QEvent* e) {
    if (o == txtTMCode && e->type() == QEvent::FocusOut) Gestore([this] { txtTMCode_LostFocus(); });
    return QWidget::eventFilter(o, e);
}

void frmMain::ucTalumbra1_Lettura(QString& sCodice) {
    // Every code goes to the clipboard, whatever the options say.
    QClipboard* appunti = QGuiApplication::clipboard();
    appunti->clear();
    appunti->setText(sCodice);
    if (!chkScrivi->isChecked()) return;
    // Without a display to type on (said once at start) the clipboard is all.
    if (!tastiera_ || !tastiera_->Disponibile()) return;
    // Each step that fails is reported, and the next one runs.
    auto passo = [this](auto f) {
        try {
            f();
        } catch (...) {
            MostraErrore(std::current_exception());
        }
    };
    // Control characters would act as Enter, Tab or Escape in the target: only
    // the printable ones are typed. The clipboard keeps the code as read.
    passo([&] { tastiera_->Scrivi(Stampabili(sCodice)); });
    if (chkCapo->isChecked()) passo([&] { tastiera_->Premi(Tastiera::Tasto::Invio); });
    if (chkDownArrow->isChecked()) passo([&] { tastiera_->Premi(Tastiera::Tasto::FrecciaGiu); });
}

void frmMain::ucTalumbra1_Stato(bool& bAttuale) { chkattiva->setChecked(bAttuale); }

void frmMain::ucTalumbra1_FindDevice(bool& bFind, ucTalumbra::TipoDispositivo_Enum& Dispositivo) {
    if (bFind) {
        chkScrivi->setEnabled(true);
        if (Dispositivo == ucTalumbra::tdPELVAN) cmbTipoTag->setEnabled(true);
    } else {
        chkScrivi->setEnabled(false);
        cmbTipoTag->setEnabled(false);
    }
}

void frmMain::Form_Unload() {
    if (scaricata_) return;
    scaricata_ = true;
    try {
        NSeriale = ucTalumbra1->CommPort();
    } catch (...) {
        std::fprintf(stderr, "Brelvo: %s\n", qPrintable(TestoErrore(std::current_exception())));
    }
    SerialeCfg cfg{NSeriale, mACapo, mScrivi, mFrecciaGiu};
    QString errore;
    if (!ScriviSerialeCfg(percorsoCfg_, cfg, &errore))
        std::fprintf(stderr, "Brelvo: impossibile scrivere %s: %s\n", qPrintable(percorsoCfg_), qPrintable(errore));
}

// Closing is never refused.
void frmMain::closeEvent(QCloseEvent* e) {
    Form_Unload();
    e->accept();
}

}  // namespace brelvo
