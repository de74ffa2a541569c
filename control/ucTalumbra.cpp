// The control: a view and a property store over a reader session. The session
// reads, opens, identifies and reconnects; the control shows the code and the
// state, keeps the properties and asks the user.
#include "talumbra/ucTalumbra.h"

#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QPointer>
#include <algorithm>
#include <limits>
#include <utility>

#include "control/Interno.h"
#include "readers/PiattaformaReale.h"

using talumbra::Fallimento;
using talumbra::Lettore;
using namespace talumbra::controllo;

namespace {

constexpr qint32 kMaxIntervalloCheck = 60000;

// Controls alive in the process: the first one sets the shared settings.
int viventi = 0;

// The property hands its value to the session unchanged.
static_assert(int(ucTalumbra::tdPELVAN) == Lettore::dPELVAN && int(ucTalumbra::tdKez3) == Lettore::dKez3 &&
              int(ucTalumbra::tdEmulKez) == Lettore::dEmulKez && int(ucTalumbra::tdMifareMAVO) == Lettore::dMifareMAVO);

// The current session, held for the whole call: a host event that runs
// inside a wait may make another one current.
std::shared_ptr<Lettore> Sessione() { return talumbra::SessioneCorrente(); }

}  // namespace

ucTalumbra::Container::~Container() = default;
ucTalumbra::PropertyBag::~PropertyBag() = default;

ucTalumbra::ucTalumbra(QWidget* parent, Container* container) : QWidget(parent), d(std::make_unique<Stato_>()) {
    talumbra::InstallaPiattaforma([] { QApplication::beep(); });
    d->container = container;
    setAutoFillBackground(true);

    d->txtCode = new CasellaCodice(this);
    d->txtCode->setObjectName("txtCode");
    d->txtCode->setReadOnly(true);
    d->txtCode->setAutoFillBackground(true);
    d->cmbSeriale = new QComboBox(this);
    d->cmbSeriale->setObjectName("cmbSeriale");
    d->cmbSeriale->hide();
    d->trLettura.t = new QTimer(this);
    d->trLettura.t->setObjectName("trLettura");
    // The highlight must never end early.
    d->trLettura.t->setTimerType(Qt::PreciseTimer);
    d->trCheck.t = new QTimer(this);
    d->trCheck.t->setObjectName("trCheck");

    connect(d->cmbSeriale, &QComboBox::activated, this, [this](int) { Protetto([this] { cmbSeriale_Click(); }); });
    connect(d->trLettura.t, &QTimer::timeout, this, [this] { Protetto([this] { trLettura_Timer(); }); });
    connect(d->trCheck.t, &QTimer::timeout, this, [this] { trCheck_Timer(); });

    // Our own session becomes the current one. A control made by a form has
    // the values of a new instance; but the shared settings are another live
    // control's too: those the host gave it stay.
    d->mio = std::make_shared<Lettore>();
    Lettore* s = d->mio.get();
    // A form's reader holds its window while it greets the reader.
    s->setAttesaBloccante(true);
    if (viventi++ == 0) {
        s->setTipoBadge(tb_EM_4x02);
        s->setTMantCode(500);
        s->setCodificaQuendel(true);
    } else {
        const auto prima = Sessione();
        s->setTipoBadge(prima->TipoBadge());
        s->setTMantCode(prima->TMantCode());
        s->setCodificaQuendel(prima->CodificaQuendel());
    }
    talumbra::setSessioneCorrente(d->mio);
    // A new instance's port number, only recorded: nothing is opened.
    s->setCommPort(1);
    s->setDomanda([this](const QString& testo) { return Chiedi(testo); });
    connect(s, &Lettore::Lettura, this, &ucTalumbra::MyLettori_Lettura);
    connect(s, &Lettore::Scartata, this, [this](const QString& t) {
        QString trama = t;
        emit Scartata(trama);
    });
    connect(s, &Lettore::Commutato, this, [this] {
        Notifica("Attivo");
        AggiornaStato();
    });
    connect(s, &Lettore::Stato, this, [this](bool attivo) { emit Stato(attivo); });
    connect(s, &Lettore::FindDevice, this, [this](bool trovato, int32_t tipo) {
        if (trovato) SeguiCambiamenti();
        auto dispositivo = static_cast<TipoDispositivo_Enum>(tipo);
        emit FindDevice(trovato, dispositivo);
    });
    connect(s, &Lettore::Anomalia, this, [this](const QString& t) {
        QString stringa = t;
        emit Anomalia(stringa);
    });
    d->trCheck.Abilita(false);
    d->trCheck.Intervallo(0);
    d->attivoVisto = false;
    d->tipoVisto = TipoDispositivo();
}

ucTalumbra::~ucTalumbra() {
    --viventi;
    // Nothing of the session reaches this control any more.
    disconnect(d->mio.get(), nullptr, this, nullptr);
    d->mio->setDomanda({});
    // A designed control never touched the port, nor did one that a form
    // made and nothing started: no goodbye to the reader.
    Sessione()->Chiudi(!d->modoProgetto && d->avviato);
    d->mio->Chiudi(false);
    d->trLettura.t->stop();
    d->trCheck.t->stop();
}

void ucTalumbra::setDomanda(Domanda domanda) { d->domanda = std::move(domanda); }

bool ucTalumbra::ModoProgetto() const { return d->modoProgetto; }

void ucTalumbra::setModoProgetto(bool v) {
    if (v == d->modoProgetto) return;
    if (v) {
        d->attivoProgetto = Attivo();
        Sessione()->Chiudi(false);
        d->trCheck.Abilita(false);
    }
    d->modoProgetto = v;
    AggiornaStato();
}

bool ucTalumbra::Chiedi(const QString& testo) {
    if (d->domanda) return d->domanda(testo);
    QMessageBox box(QMessageBox::Question, QString(), testo, QMessageBox::Ok | QMessageBox::Cancel, this);
    return box.exec() == QMessageBox::Ok;
}

// ---------------------------------------------------------------- properties

void ucTalumbra::Notifica(const char* nome) {
    if (d->container) d->container->PropertyChanged(QString::fromLatin1(nome));
}

qint16 ucTalumbra::CommPort() const { return qint16(Sessione()->CommPort()); }

void ucTalumbra::setCommPort(qint16 v) {
    Sessione()->setCommPort(v);
    Notifica("CommPort");
    if (!d->mCaricamento && d->avviato) Riconnetti(true);
}

QString ucTalumbra::Codice() const { return d->txtCode->Testo(); }

ucTalumbra::TipoBadge_Enum ucTalumbra::TipoBadge() const {
    return static_cast<TipoBadge_Enum>(Sessione()->TipoBadge());
}

void ucTalumbra::setTipoBadge(TipoBadge_Enum v) {
    Sessione()->setTipoBadge(v);
    Notifica("TipoBadge");
}

qint32 ucTalumbra::TMantCode() const { return Sessione()->TMantCode(); }

void ucTalumbra::setTMantCode(qint32 v) {
    Sessione()->setTMantCode(v);
    Notifica("TMantCode");
}

bool ucTalumbra::CodificaQuendel() const { return Sessione()->CodificaQuendel(); }

void ucTalumbra::setCodificaQuendel(bool v) {
    Sessione()->setCodificaQuendel(v);
    Notifica("CodificaQuendel");
}

quint32 ucTalumbra::ColoreErrore() const { return d->ColoreErrore; }

void ucTalumbra::setColoreErrore(quint32 v) {
    d->ColoreErrore = v & 0xFFFFFF;
    Notifica("ColoreErrore");
    AggiornaStato();
}

quint32 ucTalumbra::ColoreConnesso() const { return d->ColoreConnesso; }

void ucTalumbra::setColoreConnesso(quint32 v) {
    d->ColoreConnesso = v & 0xFFFFFF;
    Notifica("ColoreConnesso");
    AggiornaStato();
}

quint32 ucTalumbra::ColoreLettura() const { return d->ColoreLettura; }

void ucTalumbra::setColoreLettura(quint32 v) {
    // Used at the next read; nothing is repainted now.
    d->ColoreLettura = v & 0xFFFFFF;
    Notifica("ColoreLettura");
}

ucTalumbra::TipoDispositivo_Enum ucTalumbra::TipoDispositivo() const {
    return static_cast<TipoDispositivo_Enum>(Sessione()->TipoDispositivo());
}

void ucTalumbra::setTipoDispositivo(TipoDispositivo_Enum v) {
    Sessione()->setTipoDispositivo(v);
    Notifica("TipoDispositivo");
    SeguiCambiamenti();
}

qint32 ucTalumbra::CheckVersion() const { return d->CheckVersion; }

void ucTalumbra::setCheckVersion(qint32 v) {
    d->CheckVersion = v;
    Notifica("CheckVersion");
    if (v != 0) {
        if (v < 0) throw Fallimento(talumbra::errValoreNonValido, "Invalid property value");
        d->trCheck.Intervallo(std::min(v, kMaxIntervalloCheck));
        // A new interval restarts the period, as an enabled timer does.
        d->trCheck.abilitato = true;
        d->trCheck.Applica();
    } else {
        d->trCheck.Abilita(false);
        d->trCheck.Intervallo(0);
    }
}

bool ucTalumbra::Attivo() const { return d->modoProgetto ? d->attivoProgetto : Sessione()->Attivo(); }

void ucTalumbra::setAttivo(bool v) {
    if (d->modoProgetto) {
        // Only recorded, to be written into the form.
        d->attivoProgetto = v;
        Notifica("Attivo");
        AggiornaStato();
        bool bAttuale = v;
        emit Stato(bAttuale);
        return;
    }
    // A form's Attivo, or the host's first: the port opens as a stored Attivo
    // opens it at loading, with the reader looked for. A failure is reported
    // (Anomalia, Stato) rather than thrown into the code building the form.
    if (!std::exchange(d->avviato, true) && v) {
        Protetto([] {
            auto sessione = Sessione();
            sessione->setAttivo(true);
            sessione->Riconnetti(false);
        });
        return;
    }
    Sessione()->setAttivo(v);
}

bool ucTalumbra::RiconnessioneAutomatica() const { return Sessione()->RiconnessioneAutomatica(); }

void ucTalumbra::setRiconnessioneAutomatica(bool v) {
    Sessione()->setRiconnessioneAutomatica(v);
    Notifica("RiconnessioneAutomatica");
}

// ---------------------------------------------------------------- supervision

void ucTalumbra::Riconnetti(bool attivazione) {
    if (d->modoProgetto) return;
    Sessione()->Riconnetti(attivazione);
}

void ucTalumbra::AggiornaStato() {
    if (Attivo()) {
        d->cmbSeriale->hide();
        ImpostaSfondoCodice(d->ColoreConnesso);
    } else {
        d->cmbSeriale->show();
        CaricaSeriali();
        // Choosing a port in the list may have opened it meanwhile; that
        // nested refresh already showed the open state.
        if (!Attivo()) ImpostaSfondoCodice(d->ColoreErrore);
    }
    Disponi();
    SeguiCambiamenti();
}

void ucTalumbra::SeguiCambiamenti() {
    const bool attivo = Attivo();
    if (std::exchange(d->attivoVisto, attivo) != attivo) emit AttivoCambiato(attivo);
    const TipoDispositivo_Enum tipo = TipoDispositivo();
    if (std::exchange(d->tipoVisto, tipo) != tipo) emit TipoDispositivoCambiato(tipo);
}

void ucTalumbra::MostraCodice(const QString& testo) {
    const bool cambiato = testo != d->txtCode->Testo();
    d->txtCode->Imposta(testo);
    if (cambiato) emit CodiceCambiato(testo);
}

void ucTalumbra::CaricaSeriali() {
    QComboBox* cmb = d->cmbSeriale;
    // Probing opens every port of the machine: not for a designed control,
    // nor for one that nothing has started yet.
    if (cmb->count() >= 1 || d->modoProgetto || !d->avviato) return;
    auto sessione = Sessione();
    const int ricordata = sessione->CommPort();
    const QList<int> porte = sessione->Porte();
    {
        QSignalBlocker blocca(cmb);
        for (int n : porte) cmb->addItem(QStringLiteral("Com %1").arg(n));
    }
    // The first port is chosen, then the one remembered when it is listed.
    const int ricordataIndice = int(porte.indexOf(ricordata));
    for (int i : {0, ricordataIndice}) {
        if (i < 0 || i >= cmb->count()) break;
        {
            QSignalBlocker blocca(cmb);
            cmb->setCurrentIndex(i);
        }
        cmbSeriale_Click();
        if (ricordataIndice <= 0) break;
    }
}

void ucTalumbra::cmbSeriale_Click() {
    if (d->cmbSeriale->currentIndex() < 0) return;
    const QString testo = d->cmbSeriale->currentText();
    const int blank = testo.indexOf(QLatin1Char(' '), 1);
    const QString numero = testo.mid(blank < 0 ? 0 : blank + 1).trimmed();
    bool ok = false;
    const double valore = numero.toDouble(&ok);
    if (!ok || valore < std::numeric_limits<qint16>::min() || valore > std::numeric_limits<qint16>::max()) return;
    setCommPort(static_cast<qint16>(qRound(valore)));
}

void ucTalumbra::MyLettori_Lettura(const QString& sCodice) {
    d->trLettura.Abilita(false);
    const qint32 mant = TMantCode();
    if (mant > 0) {
        ImpostaSfondoCodice(d->ColoreLettura);
        d->trLettura.Intervallo(mant);
        d->trLettura.Abilita(true);
    }
    QString codice = sCodice;
    MostraCodice(codice);
    emit Lettura(codice);
}

void ucTalumbra::trLettura_Timer() {
    ImpostaSfondoCodice(d->ColoreConnesso);
    d->trLettura.Abilita(false);
    d->trLettura.Intervallo(0);
}

void ucTalumbra::trCheck_Timer() {
    d->trCheck.Abilita(false);
    d->trCheck.Intervallo(0);
    // A check already running (from a reopen, waiting on the line) owns the
    // channel: a second one inside it would take its replies.
    if (!Sessione()->VerificaInCorso())
        Protetto([] {
            auto sessione = Sessione();
            if (sessione->Attivo()) sessione->VerificaConnessione();
        });
    const qint32 v = d->CheckVersion;
    if (v > 0) {
        d->trCheck.Intervallo(std::min(v, kMaxIntervalloCheck));
        d->trCheck.Abilita(true);
    }
}

void ucTalumbra::Protetto(const std::function<void()>& gestore) { Sessione()->Protetto(gestore); }
