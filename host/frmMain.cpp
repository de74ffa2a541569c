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
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

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
    // The window was laid out in twips for 8-point text, a point below the desktop's usual 9: it keeps
    // that step, so a desktop set to larger text gets larger text here too (the layout makes room).
    // A sans with narrow, Helvetica-like metrics is the nearest to the one it was laid out with.
    QFont carattere = font();
    carattere.setFamilies({QStringLiteral("Nimbus Sans"), QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                           QStringLiteral("Helvetica"), carattere.family()});
    const int puntiDesktop = QApplication::font().pointSize();
    carattere.setPointSize(puntiDesktop > 0 ? std::max(8, puntiDesktop - 1) : 8);
    setFont(carattere);
    // The control's "Check connection." question, as the control would ask it,
    // but never once the program is closing: that answer is Cancel.
    auto domanda = [this](const QString& testo) {
        if (InChiusura()) return false;
        QMessageBox box(QMessageBox::Question, QString(), testo, QMessageBox::Ok | QMessageBox::Cancel, ucTalumbra1);
        return box.exec() == QMessageBox::Ok;
    };
    messaggio_ = [this](const QString& testo) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Brelvo"), testo, QMessageBox::Ok, this);
        box.exec();
    };

    ucTalumbra1 = new ucTalumbra(this, this);
    ucTalumbra1->setDomanda(domanda);
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
    FaiSpazioAiTesti();

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

QRect frmMain::DaTwip(int sinistra, int alto, int larghezza, int altezza) const {
    const double dx = logicalDpiX() / 1440.0, dy = logicalDpiY() / 1440.0;
    return QRect(static_cast<int>(std::lround(sinistra * dx)), static_cast<int>(std::lround(alto * dy)),
                 static_cast<int>(std::lround(larghezza * dx)), static_cast<int>(std::lround(altezza * dy)));
}

void frmMain::Posiziona(QWidget* w, int sinistra, int alto, int larghezza, int altezza) {
    w->setGeometry(DaTwip(sinistra, alto, larghezza, altezza));
}

// The twips were drawn for one font at one resolution; at others a text may
// need more room than its element has. Such an element grows (a right-aligned
// label toward the left, the others to the right and down), an element it
// would then cover moves aside (right within its row, down below it), and the
// window grows to hold them. Where everything fits, nothing moves.
void frmMain::FaiSpazioAiTesti() {
    lblAntiRimb->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    const std::vector<QWidget*> elementi{ucTalumbra1, cmbTipoTag, lblAntiRimb, txtTMCode,
                                         chkattiva,   chkCapo,    chkScrivi,   chkDownArrow};
    std::vector<QRect> disegno, r;
    for (QWidget* w : elementi) disegno.push_back(w->geometry());
    r = disegno;
    for (size_t i = 0; i < elementi.size(); ++i) {
        QWidget* w = elementi[i];
        if (w == ucTalumbra1) continue;  // the control lays itself out
        const QSize voluta = w->sizeHint();
        // A text box shows its text however wide it is; only its height must fit.
        const int larghezza = w == txtTMCode ? r[i].width() : std::max(r[i].width(), voluta.width());
        r[i].setHeight(std::max(r[i].height(), voluta.height()));
        if (w == lblAntiRimb)
            r[i].setLeft(r[i].right() + 1 - larghezza);
        else
            r[i].setWidth(larghezza);
    }
    // Elements only ever move right or down, so this ends; the bound is a safeguard.
    const int spazio = DaTwip(0, 0, 30, 30).width();
    const auto stessaRiga = [&](size_t a, size_t b) {
        return disegno[a].top() <= disegno[b].bottom() && disegno[b].top() <= disegno[a].bottom();
    };
    for (size_t giro = 0; giro < elementi.size() * elementi.size(); ++giro) {
        bool mosso = false;
        for (size_t a = 0; a < r.size(); ++a)
            for (size_t b = 0; b < r.size(); ++b) {
                if (a == b || !r[a].adjusted(0, 0, spazio, spazio).intersects(r[b])) continue;
                // b is the one that gives way: the later of the two in its row, or the lower one.
                if (stessaRiga(a, b) ? disegno[b].left() <= disegno[a].left() : disegno[b].top() <= disegno[a].top())
                    continue;
                if (stessaRiga(a, b))
                    r[b].moveLeft(std::max(r[b].left(), r[a].right() + 1 + spazio));
                else
                    r[b].moveTop(std::max(r[b].top(), r[a].bottom() + 1 + spazio));
                mosso = true;
            }
        if (!mosso) break;
    }
    // The window keeps its own size, or grows to hold the elements with the margins it was drawn with.
    const QRect finestra = DaTwip(0, 0, 4215, 1440);
    int destra = finestra.width(), basso = finestra.height();
    const int margineDestro = DaTwip(0, 0, 60, 60).width(), margineBasso = DaTwip(0, 0, 60, 60).height();
    for (size_t i = 0; i < elementi.size(); ++i) {
        elementi[i]->setGeometry(r[i]);
        destra = std::max(destra, r[i].right() + 1 + margineDestro);
        basso = std::max(basso, r[i].bottom() + 1 + margineBasso);
    }
    setFixedSize(destra, basso);
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
    if (InChiusura()) {  // closing: no message box any more
        std::fprintf(stderr, "Brelvo: %s\n", qPrintable(testo));
        return;
    }
    try {
        messaggio_(testo);
    } catch (...) {
        std::fprintf(stderr, "Brelvo: %s\n", qPrintable(testo));
    }
}

void frmMain::Form_Load() {
    SerialeCfg cfg;
    cfg.NSeriale = 1;
    QString avviso;
    LeggiSerialeCfg(percorsoCfg_, cfg, &avviso);
    // A file refused in whole or in part is the user's to mend: closing must
    // not replace it with the values that stood in for it.
    cfgRifiutato_ = !avviso.isEmpty();
    if (cfgRifiutato_) std::fprintf(stderr, "Brelvo: %s\n", qPrintable(avviso));
    NSeriale = cfg.NSeriale;
    mACapo = cfg.mACapo;
    mScrivi = cfg.mScrivi;
    mFrecciaGiu = cfg.mFrecciaGiu;

    // From here an error ends start-up, without a message. A failure inside a
    // handler that a step runs ends it too, right after that step.
    inAvvio_ = true;
    erroreAvvio_ = nullptr;
    struct Chiusura {};
    auto passo = [this](auto f) {
        if (InChiusura()) throw Chiusura{};  // the rest of start-up is of no use now
        f();
        if (erroreAvvio_) std::rethrow_exception(erroreAvvio_);
    };
    try {
        passo([&] { chkCapo->setChecked(mACapo != 0); });
        passo([&] { chkScrivi->setChecked(mScrivi != 0); });
        passo([&] { chkDownArrow->setChecked(mFrecciaGiu != 0); });
        passo([&] { ucTalumbra1->setTMantCode(1000); });
        passo([&] { txtTMCode->setText(QString::number(ucTalumbra1->TMantCode() / 10.0, 'g', 15)); });
        passo([&] {
            portaAssegnata_ = true;
            ucTalumbra1->setCommPort(NSeriale);
        });
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
            throw talumbra::Fallimento(talumbra::errOverflow, "Overflow");
        ucTalumbra1->setTMantCode(static_cast<qint32>(ms));
    } else {
        txtTMCode->setText(QString::number(ucTalumbra1->TMantCode() / 10.0, 'g', 15));
    }
}

bool frmMain::eventFilter(QObject* o, QEvent* e) {
    // Only the focus leaving the box applies it: the window losing activation
    // (another application, a message box) or a popup (the box's own menu) does not.
    if (o == txtTMCode && e->type() == QEvent::FocusOut) {
        const Qt::FocusReason r = static_cast<QFocusEvent*>(e)->reason();
        if (r != Qt::ActiveWindowFocusReason && r != Qt::PopupFocusReason) Gestore([this] { txtTMCode_LostFocus(); });
    }
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
    // Closed before start-up gave the control the file's port (a signal): the
    // control still holds the window description's, which is not the user's.
    try {
        if (portaAssegnata_) NSeriale = ucTalumbra1->CommPort();
    } catch (...) {
        std::fprintf(stderr, "Brelvo: %s\n", qPrintable(TestoErrore(std::current_exception())));
    }
    if (cfgRifiutato_) return;  // said at start
    SerialeCfg cfg{NSeriale, mACapo, mScrivi, mFrecciaGiu};
    QString errore;
    if (!ScriviSerialeCfg(percorsoCfg_, cfg, &errore))
        std::fprintf(stderr, "Brelvo: Errore %d %s\n", errSerialeCfg, qPrintable(errore));
}

void frmMain::ChiudiPerSegnale() {
    if (chiusura_) return;
    chiusura_ = true;
    while (QWidget* m = QApplication::activeModalWidget()) {
        m->close();  // a question closes as Cancel
        if (QApplication::activeModalWidget() == m) break;
    }
    close();
    // Back in the event loop, the program ends at once. A presence check still
    // waiting on a silent reader would hold it for seconds: if it has not ended
    // soon, closing the port ends the check (its next read fails).
    QTimer::singleShot(500, this, [this] {
        try {
            if (ucTalumbra1->Attivo()) ucTalumbra1->setAttivo(false);
        } catch (...) {
        }
    });
}

// Closing is never refused.
void frmMain::closeEvent(QCloseEvent* e) {
    Form_Unload();
    e->accept();
}

}  // namespace brelvo
