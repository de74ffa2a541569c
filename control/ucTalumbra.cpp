#include "talumbra/ucTalumbra.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPaintEvent>
#include <QPointer>
#include <QResizeEvent>
#include <QTimer>
#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

#include "channel/Piattaforma.h"
#include "channel/clsComunicazioni.h"
#include "control/PiattaformaControllo.h"
#include "control/Sorveglianza.h"
#include "readers/clsLettori.h"
#include "readers/modLettori.h"

using talumbra::Fallimento;

namespace {

constexpr quint32 kColoreConnesso = 8454016;  // 128, 255, 128
constexpr quint32 kColoreLettura = 8454143;   // 255, 255, 128
constexpr quint32 kColoreErrore = 8421631;    // 255, 128, 128
constexpr qint32 kMaxIntervalloCheck = 60000;
const char* const kImpostazioni = "9600,n,8,1";
const char* const kDomanda = "Check connection.";

// Twips of the layout: 1440 to the inch.
constexpr int kRigaTwips = 375;
constexpr int kTxtTop = 60, kTxtAltezza = 285;
constexpr int kCmbTop = 360, kCmbAltezza = 315;

// The failures that automatic reconnection waits out: the device is gone,
// not there yet, or held by another program.
bool Recuperabile(int32_t numero) {
    return numero == talumbra::errDispositivoNonDisponibile || numero == talumbra::errPortaInesistente ||
           numero == talumbra::errPortaOccupata;
}

QColor DaColore(quint32 v) { return ucTalumbra::DaNumero(v); }
quint32 AColore(const QColor& c) { return ucTalumbra::ANumero(c); }

// Controls alive in the process: the first one sets the shared settings.
int viventi = 0;

talumbra::clsComunicazioni& Canale() { return *talumbra::Lettori()->Comunicazione; }
talumbra::clsPelvan& Pelvan() { return talumbra::Lettori()->PELVAN(); }

// The property hands its value to the core unchanged.
constexpr bool Uguale(ucTalumbra::TipoDispositivo_Enum a, talumbra::TipoLettore b) {
    return static_cast<int32_t>(a) == static_cast<int32_t>(b);
}
static_assert(Uguale(ucTalumbra::tdPELVAN, talumbra::tlPELVAN) && Uguale(ucTalumbra::tdKez3, talumbra::tlKez3) &&
              Uguale(ucTalumbra::tdEmulKez, talumbra::tlEmulKez) &&
              Uguale(ucTalumbra::tdMifareMAVO, talumbra::tlMifareMAVO));

// Typed reads from a property store: a value that does not fit its type is an
// error for the caller, never a silent zero.
[[noreturn]] void TipoErrato(const QString& chiave) {
    throw Fallimento(talumbra::errTipoErrato, "Type mismatch for property " + chiave.toStdString());
}

qint64 LeggiIntero(ucTalumbra::PropertyBag& b, const QString& chiave, qint64 predefinito, qint64 minimo,
                   qint64 massimo) {
    QVariant v = b.ReadProperty(chiave, QVariant(predefinito));
    bool ok = false;
    qint64 n = v.toLongLong(&ok);
    if (!ok) {
        // INI files give text; "500.0" is still a number.
        double d = v.toString().trimmed().toDouble(&ok);
        if (!ok) TipoErrato(chiave);
        n = qRound64(d);
    }
    if (n < minimo || n > massimo)
        throw Fallimento(talumbra::errOverflow, "Overflow in property " + chiave.toStdString());
    return n;
}

bool LeggiBooleano(ucTalumbra::PropertyBag& b, const QString& chiave, const QVariant& predefinito) {
    QVariant v = b.ReadProperty(chiave, predefinito);
    if (v.typeId() == QMetaType::QString) {
        QString s = v.toString().trimmed().toLower();
        if (s == "true" || s == "vero") return true;
        if (s == "false" || s == "falso" || s.isEmpty()) return false;
        bool ok = false;
        qint64 n = s.toLongLong(&ok);
        if (!ok) TipoErrato(chiave);
        return n != 0;
    }
    if (!v.canConvert<bool>()) TipoErrato(chiave);
    return v.toBool();
}

// The code box. A box that is not on screen (a headless host) does not lay
// out every code it is given, which would cost more than reading the code:
// its text is kept, and shown when the box is.
class CasellaCodice final : public QLineEdit {
public:
    using QLineEdit::QLineEdit;
    void Imposta(const QString& testo) {
        testo_ = testo;
        daMostrare_ = !isVisible();
        if (!daMostrare_) setText(testo);
    }
    const QString& Testo() const { return testo_; }

protected:
    void showEvent(QShowEvent* e) override {
        if (daMostrare_) setText(testo_);
        daMostrare_ = false;
        QLineEdit::showEvent(e);
    }

private:
    QString testo_;
    bool daMostrare_ = false;
};

}  // namespace

ucTalumbra::Container::~Container() = default;
ucTalumbra::PropertyBag::~PropertyBag() = default;

// A timer as the control uses it: enabled and interval are separate, and an
// interval of 0 means it does not tick (QTimer would tick on every loop pass).
struct TimerControllo {
    QTimer* t = nullptr;
    bool abilitato = false;
    int intervallo = 0;

    void Applica() {
        if (abilitato && intervallo > 0)
            t->start(intervallo);
        else
            t->stop();
    }
    void Abilita(bool v) {
        if (v == abilitato) return;
        abilitato = v;
        Applica();
    }
    void Intervallo(int ms) {
        intervallo = ms;
        t->setInterval(ms);
        Applica();
    }
};

struct ucTalumbra::Stato_ {
    Container* container = nullptr;
    std::shared_ptr<talumbra::clsLettori> MyLettori;
    CasellaCodice* txtCode = nullptr;
    QComboBox* cmbSeriale = nullptr;
    TimerControllo trLettura, trCheck;

    quint32 ColoreConnesso = kColoreConnesso;
    quint32 ColoreLettura = kColoreLettura;
    quint32 ColoreErrore = kColoreErrore;
    qint32 CheckVersion = 0;
    bool mCaricamento = false;
    bool modoProgetto = false;
    bool attivoProgetto = false;  // Attivo as designed, never applied to the channel
    // InitProperties, ReadProperties or an assignment to Attivo has run. Until
    // then the control only keeps what a form sets: no port is opened or probed.
    bool avviato = false;
    // The values last announced by the change signals.
    std::optional<bool> attivoVisto;
    std::optional<TipoDispositivo_Enum> tipoVisto;

    Domanda domanda;
    bool verificaInCorso = false;
    bool aggiornaInCoda = false;

    // Automatic reconnection.
    bool riconnessione = false;  // the property
    bool inAttesa = false;       // a loss not yet recovered: waiting for the device
    bool automatico = false;     // one of the control's own attempts is running
    bool richiesta = false;      // the host is assigning Attivo := true itself
    talumbra::controllo::Sorveglianza* sorveglianza = nullptr;
    // The value of the Stato being raised: the host assigning that same value
    // from its handler (a check box following the state) is an echo.
    std::optional<bool> statoInCorso;
    // The port number and device last opened: after a loss, only another
    // device on that number is worth an attempt.
    std::pair<int, std::string> aperta;
    // The failure the channel reported without throwing (a failed recovery).
    std::optional<std::pair<int32_t, std::string>> erroreCanale;
};

ucTalumbra::ucTalumbra(QWidget* parent, Container* container) : QWidget(parent), d(std::make_unique<Stato_>()) {
    talumbra::controllo::InstallaPiattaforma();
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
    d->sorveglianza = new talumbra::controllo::Sorveglianza(this);
    connect(d->sorveglianza, &talumbra::controllo::Sorveglianza::Riprova, this, [this] { Tentativo(); });

    // Our own front end becomes the library's current one.
    d->MyLettori = std::make_shared<talumbra::clsLettori>();
    talumbra::modLettori::setLettori(d->MyLettori);
    d->MyLettori->Lettura = [this](std::string& sCodice) { MyLettori_Lettura(sCodice); };
    d->MyLettori->Scartata = [this](std::string& sTrama) {
        QString trama = QString::fromLatin1(sTrama.data(), qsizetype(sTrama.size()));
        emit Scartata(trama);
    };
    d->MyLettori->Comunicazione->Errore = [this](int16_t& numero, std::string& descrizione) {
        d->erroreCanale.emplace(numero, descrizione);
    };
    // The port's receive notification is an event handler: failures stop here.
    if (auto& porta = d->MyLettori->Comunicazione->Seriale) {
        auto originale = porta->OnComm;
        porta->OnComm = [this, originale] {
            if (originale) Protetto(originale);
        };
    }
    Canale().setAttivo(false);
    d->trCheck.Abilita(false);
    d->trCheck.Intervallo(0);
    // A new instance's port number, only recorded: nothing is opened.
    Canale().setCommPort(1);
    // A control made by a form has the values of a new instance. The shared
    // settings are another live control's too: those the host gave it stay.
    if (viventi++ == 0) {
        talumbra::modLettori::TipoBadgeCorrente = tb_EM_4x02;
        talumbra::modLettori::TempoMantCode = 500;
        talumbra::modLettori::CodificaQuendelAttiva = true;
    }
    d->attivoVisto = false;
    d->tipoVisto = TipoDispositivo();
}

ucTalumbra::~ucTalumbra() {
    --viventi;
    // Nothing reopens the port from here on.
    d->riconnessione = false;
    d->sorveglianza->Ferma();
    // No event from here on: the host is being taken apart. Codes still
    // waiting in the port go with the control, which empties it before the
    // EOT EOT below.
    if (d->MyLettori) {
        d->MyLettori->Lettura = nullptr;
        d->MyLettori->Scartata = nullptr;
        d->MyLettori->Comunicazione->Errore = nullptr;
        if (auto& porta = d->MyLettori->Comunicazione->Seriale) porta->OnComm = nullptr;
    }
    // Both steps run whatever fails. A designed control never touched the
    // port, nor did one that a form made and nothing started.
    try {
        if (!d->modoProgetto && d->avviato) Canale().InviaComando(std::string(2, '\x04'));
    } catch (...) {
    }
    try {
        Canale().setAttivo(false);
    } catch (...) {
    }
    d->trLettura.t->stop();
    d->trCheck.t->stop();
}

void ucTalumbra::setDomanda(Domanda domanda) { d->domanda = std::move(domanda); }

bool ucTalumbra::ModoProgetto() const { return d->modoProgetto; }

void ucTalumbra::setModoProgetto(bool v) {
    if (v == d->modoProgetto) return;
    if (v) {
        d->attivoProgetto = Attivo();
        try {
            Canale().setAttivo(false);
        } catch (...) {
        }
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

qint16 ucTalumbra::CommPort() const { return Canale().CommPort(); }

void ucTalumbra::setCommPort(qint16 v) {
    Canale().setCommPort(v);
    Notifica("CommPort");
    if (!d->mCaricamento && d->avviato) Riconnetti(true);
}

QString ucTalumbra::Codice() const { return d->txtCode->Testo(); }

ucTalumbra::TipoBadge_Enum ucTalumbra::TipoBadge() const {
    return static_cast<TipoBadge_Enum>(talumbra::modLettori::TipoBadgeCorrente);
}

void ucTalumbra::setTipoBadge(TipoBadge_Enum v) {
    talumbra::modLettori::TipoBadgeCorrente = v;
    Notifica("TipoBadge");
}

qint32 ucTalumbra::TMantCode() const { return talumbra::modLettori::TempoMantCode; }

void ucTalumbra::setTMantCode(qint32 v) {
    talumbra::modLettori::TempoMantCode = v;
    Notifica("TMantCode");
}

bool ucTalumbra::CodificaQuendel() const { return talumbra::modLettori::CodificaQuendelAttiva; }

void ucTalumbra::setCodificaQuendel(bool v) {
    talumbra::modLettori::CodificaQuendelAttiva = v;
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
    return static_cast<TipoDispositivo_Enum>(Pelvan().ConType());
}

void ucTalumbra::setTipoDispositivo(TipoDispositivo_Enum v) {
    Pelvan().setConType(v);
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

bool ucTalumbra::Attivo() const { return d->modoProgetto ? d->attivoProgetto : Canale().Attivo(); }

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
        Protetto([this] {
            Assegna(true);
            Riconnetti(false);
        });
        return;
    }
    const bool eco = d->statoInCorso == v;
    // Closed on purpose: the lost port is no longer waited for.
    if (!v && !eco) FineAttesa();
    // Opened on purpose: a failure answers the host, even while waiting.
    const bool richiesta = std::exchange(d->richiesta, v && !eco && !d->automatico);
    struct Ripristina {
        bool& r;
        bool prima;
        ~Ripristina() { r = prima; }
    } ripristina{d->richiesta, richiesta};
    Assegna(v);
    // Opened by the host: it has the reader back, nothing left to wait for.
    if (v && !eco && !d->automatico && Canale().Attivo()) FineAttesa();
}

void ucTalumbra::Assegna(bool v) {
    d->erroreCanale.reset();
    try {
        Canale().setAttivo(v);
    } catch (const Fallimento& f) {
        if (!v || !d->riconnessione || !Recuperabile(f.Numero())) throw;
        Perdita(f.Numero(), f.Descrizione());
        return;
    }
    Notifica("Attivo");
    AggiornaStato();
    bool bAttuale = Canale().Attivo();
    if (v && bAttuale && d->riconnessione)
        d->aperta = {CommPort(), talumbra::controllo::Sorveglianza::Firma(CommPort())};
    {
        struct InCorso {
            std::optional<bool>& r;
            std::optional<bool> prima;
            InCorso(std::optional<bool>& x, bool v) : r(x), prima(x) { r = v; }
            ~InCorso() { r = prima; }
        } inCorso(d->statoInCorso, bAttuale);
        emit Stato(bAttuale);
    }
    // The channel gave up after its recovery without throwing: the same loss.
    if (v && !Canale().Attivo() && d->riconnessione && d->erroreCanale && Recuperabile(d->erroreCanale->first)) {
        auto [numero, descrizione] = *d->erroreCanale;
        Perdita(numero, descrizione, false);
    }
}

bool ucTalumbra::RiconnessioneAutomatica() const { return d->riconnessione; }

void ucTalumbra::setRiconnessioneAutomatica(bool v) {
    d->riconnessione = v;
    Notifica("RiconnessioneAutomatica");
    if (!v) FineAttesa();
}

// ---------------------------------------------------------------- container sequences

quint32 ucTalumbra::Ambiente() const {
    if (d->container) return d->container->AmbientBackColor();
    const QWidget* p = parentWidget();
    return AColore((p ? p->palette() : QApplication::palette()).color(QPalette::Window));
}

void ucTalumbra::ImpostaSfondo(quint32 colore) {
    QPalette pal = palette();
    QColor c = DaColore(colore);
    if (pal.color(QPalette::Window) == c) return;
    pal.setColor(QPalette::Window, c);
    setPalette(pal);
}

void ucTalumbra::InitProperties() {
    d->avviato = true;
    ImpostaSfondo(Ambiente());
    setCommPort(1);
    MostraCodice(QString());
    setTipoBadge(tb_EM_4x02);
    setTMantCode(500);
    d->CheckVersion = 0;
    setCodificaQuendel(true);
    setColoreConnesso(kColoreConnesso);
    setColoreLettura(kColoreLettura);
    setColoreErrore(kColoreErrore);
    setRiconnessioneAutomatica(false);
    setAttivo(false);
    Riconnetti(false);
}

void ucTalumbra::ReadProperties(PropertyBag& store) {
    // The flag must drop however loading ends, or CommPort would stop reopening.
    struct Caricamento {
        bool& f;
        explicit Caricamento(bool& x) : f(x) { f = true; }
        ~Caricamento() { f = false; }
    } caricamento(d->mCaricamento);
    d->avviato = true;

    constexpr qint64 i32min = std::numeric_limits<qint32>::min(), i32max = std::numeric_limits<qint32>::max();
    ImpostaSfondo(Ambiente());
    MostraCodice(store.ReadProperty("Codice", QString()).toString());
    setTipoBadge(static_cast<TipoBadge_Enum>(LeggiIntero(store, "TipoBadge", 0, i32min, i32max)));
    setTMantCode(qint32(LeggiIntero(store, "TMantCode", 500, i32min, i32max)));
    setCodificaQuendel(LeggiBooleano(store, "CodificaQuendel", QVariant::fromValue<quint8>(1)));
    setColoreConnesso(quint32(LeggiIntero(store, "ColoreConnesso", kColoreConnesso, i32min, 0xFFFFFFFFLL)));
    setColoreLettura(quint32(LeggiIntero(store, "ColoreLettura", kColoreLettura, i32min, 0xFFFFFFFFLL)));
    setColoreErrore(quint32(LeggiIntero(store, "ColoreErrore", kColoreErrore, i32min, 0xFFFFFFFFLL)));
    // Stored only: the periodic check starts when the host assigns the property.
    d->CheckVersion = qint32(LeggiIntero(store, "CheckVersion", 0, i32min, i32max));
    // Before the port is opened, so that the opening already waits out a missing port.
    setRiconnessioneAutomatica(LeggiBooleano(store, "RiconnessioneAutomatica", QVariant(false)));
    setCommPort(qint16(
        LeggiIntero(store, "CommPort", 1, std::numeric_limits<qint16>::min(), std::numeric_limits<qint16>::max())));
    setAttivo(LeggiBooleano(store, "Attivo", QVariant(false)));
    Riconnetti(false);
}

void ucTalumbra::WriteProperties(PropertyBag& store) {
    store.WriteProperty("CommPort", QVariant::fromValue<qint16>(CommPort()), QVariant::fromValue<qint16>(1));
    store.WriteProperty("Codice", d->txtCode->Testo(), QString());
    store.WriteProperty("TipoBadge", qint32(TipoBadge()), qint32(0));
    store.WriteProperty("TMantCode", TMantCode(), qint32(500));
    store.WriteProperty("CodificaQuendel", CodificaQuendel(), QVariant::fromValue<quint8>(1));
    store.WriteProperty("ColoreConnesso", qint32(d->ColoreConnesso), qint32(kColoreConnesso));
    store.WriteProperty("ColoreLettura", qint32(d->ColoreLettura), qint32(kColoreLettura));
    store.WriteProperty("ColoreErrore", qint32(d->ColoreErrore), qint32(kColoreErrore));
    store.WriteProperty("CheckVersion", d->CheckVersion, qint32(0));
    store.WriteProperty("Attivo", Attivo(), false);
    store.WriteProperty("RiconnessioneAutomatica", d->riconnessione, false);
}

// ---------------------------------------------------------------- supervision

void ucTalumbra::Riconnetti(bool attivazione) {
    if (d->modoProgetto) return;
    attivazione = attivazione || Attivo();
    Canale().setAttivo(false);
    // Reassigning and reopening: a failure here only shows in Attivo and Stato.
    try {
        Canale().setCommPort(Canale().CommPort());
    } catch (...) {
    }
    try {
        Canale().setCommSettings(kImpostazioni);
    } catch (...) {
    }
    try {
        Assegna(attivazione);
    } catch (...) {
    }
    try {
        talumbra::piattaforma().DoEvents();
    } catch (...) {
    }
    if (!Canale().Attivo()) return;
    // A reader reached from the host's own reopening ends any waiting; the
    // control's own attempts end it themselves.
    auto ritrovato = [this] {
        if (!d->automatico && Canale().Attivo()) FineAttesa();
    };
    if (TipoDispositivo() == tdKez3) return ritrovato();
    try {
        VerificaConnessione();
        ritrovato();
    } catch (const Fallimento& f) {
        // With automatic reconnection the loss is reported once and waited out.
        if (d->riconnessione && Recuperabile(f.Numero())) {
            Perdita(f.Numero(), f.Descrizione());
            return;
        }
        // The failure goes on to the host; but a device that is gone must not
        // stay shown as open, with nothing left to notice it. Close through the
        // setter (Stato false, the port list), twice as at event boundaries.
        if (f.Numero() == talumbra::errDispositivoNonDisponibile && Canale().Attivo()) ChiudiDopoGuasto();
        throw;
    }
}

void ucTalumbra::VerificaConnessione() {
    struct InCorso {
        bool& f;
        bool prima;
        explicit InCorso(bool& x) : f(x), prima(x) { f = true; }
        ~InCorso() { f = prima; }
    } inCorso(d->verificaInCorso);

    Pelvan().Maiuscolo = true;
    int fallimenti = 0;
    int16_t Sintassi = 0;
    for (;;) {
        std::string Risposta;
        int32_t esito = Pelvan().GetVersion(Risposta, Sintassi);
        // A short reply is no identification either: counting it keeps a
        // chatty but wrong device from holding the check for ever.
        if (Sintassi != 0 || esito != talumbra::esRicevuta || Risposta.size() <= 16) {
            ++fallimenti;
            if (fallimenti > 5) {
                // The control's own attempts never ask: nobody may be there to answer.
                if (!d->automatico && Chiedi(QString::fromLatin1(kDomanda))) {
                    fallimenti = 0;
                    continue;
                }
                Assegna(false);
                bool bFind = false;
                TipoDispositivo_Enum dispositivo = tdPELVAN;
                emit FindDevice(bFind, dispositivo);
                // A silent reader is tried again when its device changes.
                if (d->riconnessione && !Canale().Attivo()) Attendi(0);
                return;
            }
        }
        if (Risposta.size() > 16) break;
    }
    auto& p = talumbra::piattaforma();
    p.Sleep(250);
    Canale().InviaComando(std::string(2, '\x04'));
    p.Sleep(250);
    Pelvan().Reset();
    Canale().OnComm_Attivato();
    SeguiCambiamenti();
    bool bFind = true;
    auto dispositivo = static_cast<TipoDispositivo_Enum>(Pelvan().ConType());
    emit FindDevice(bFind, dispositivo);
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
    const int16_t ricordata = Canale().CommPort();
    cmb->clear();
    for (int n = 1; n <= 256; ++n) {
        // Fresh for every number: a probe failure leaves it untouched.
        int16_t S_Stato = 0;
        std::string S_Setting;
        Canale().AnalizzaSeriale(static_cast<int16_t>(n), S_Stato, S_Setting);
        if (S_Stato != 1) continue;
        {
            QSignalBlocker blocca(cmb);
            cmb->addItem(QStringLiteral("Com %1").arg(n));
        }
        if (n == ricordata || cmb->count() == 1) {
            {
                QSignalBlocker blocca(cmb);
                cmb->setCurrentIndex(cmb->count() - 1);
            }
            cmbSeriale_Click();
        }
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

void ucTalumbra::MyLettori_Lettura(std::string& sCodice) {
    d->trLettura.Abilita(false);
    const qint32 mant = TMantCode();
    if (mant > 0) {
        ImpostaSfondoCodice(d->ColoreLettura);
        d->trLettura.Intervallo(mant);
        d->trLettura.Abilita(true);
    }
    QString codice = QString::fromLatin1(sCodice.data(), qsizetype(sCodice.size()));
    MostraCodice(codice);
    emit Lettura(codice);
    sCodice = codice.toLatin1().toStdString();
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
    if (!d->verificaInCorso)
        Protetto([this] {
            if (Canale().Attivo()) VerificaConnessione();
        });
    const qint32 v = d->CheckVersion;
    if (v > 0) {
        d->trCheck.Intervallo(std::min(v, kMaxIntervalloCheck));
        d->trCheck.Abilita(true);
    }
}

// ---------------------------------------------------------------- display

void ucTalumbra::ImpostaSfondoCodice(quint32 colore) {
    QPalette pal = d->txtCode->palette();
    QColor c = DaColore(colore);
    if (pal.color(QPalette::Base) == c) return;
    pal.setColor(QPalette::Base, c);
    d->txtCode->setPalette(pal);
}

void ucTalumbra::Disponi() {
    const bool lista = !d->cmbSeriale->isHidden();
    const int dpiY = logicalDpiY() > 0 ? logicalDpiY() : 96;
    auto px = [dpiY](int twips) { return (twips * dpiY + 720) / 1440; };
    const int altezza = px(kRigaTwips * (lista ? 2 : 1));
    if (height() != altezza) {
        setFixedHeight(altezza);
        resize(width(), altezza);
    }
    d->txtCode->setGeometry(0, px(kTxtTop), std::max(0, width()), px(kTxtAltezza));
    d->cmbSeriale->setGeometry(0, px(kCmbTop), std::max(0, width()), px(kCmbAltezza));
}

void ucTalumbra::paintEvent(QPaintEvent* e) {
    QWidget::paintEvent(e);
    // Refresh after the paint, never inside it: the refresh may build the
    // port list, reopen the port or ask the user.
    if (d->aggiornaInCoda) return;
    d->aggiornaInCoda = true;
    QTimer::singleShot(0, this, [this] {
        d->aggiornaInCoda = false;
        Protetto([this] { AggiornaStato(); });
    });
}

void ucTalumbra::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    Protetto([this] { Disponi(); });
}

// ---------------------------------------------------------------- failures at event boundaries

void ucTalumbra::Protetto(const std::function<void()>& gestore) {
    QPointer<ucTalumbra> vivo(this);
    try {
        gestore();
        return;
    } catch (const Fallimento& f) {
        if (vivo) Anomalo(f.Numero(), f.Descrizione());
    } catch (const std::exception& e) {
        if (vivo) Anomalo(0, e.what());
    } catch (...) {
        if (vivo) Anomalo(0, "Unknown failure");
    }
}

void ucTalumbra::Anomalo(int32_t numero, const std::string& descrizione) {
    if (d->riconnessione && Recuperabile(numero)) {
        Perdita(numero, descrizione);
        return;
    }
    ChiudiDopoGuasto();
    Segnala(numero, descrizione);
}

void ucTalumbra::Segnala(int32_t numero, const std::string& descrizione) {
    QString stringa = QStringLiteral("Errore %1 %2").arg(numero).arg(QString::fromLatin1(descrizione.c_str()));
    try {
        emit Anomalia(stringa);
    } catch (...) {
    }
}

void ucTalumbra::ChiudiDopoGuasto() {
    // Close the port so that nothing keeps failing (a pulled adapter would
    // notify for ever), and let the host see it: Stato false, the port list.
    // A broken port can make the first closing fail in the channel's recovery
    // (the reopening finds no device) after the port was closed; the second
    // then only records the closed state.
    for (int tentativo = 0; tentativo < 2; ++tentativo) {
        try {
            if (talumbra::Lettori() == d->MyLettori || !d->MyLettori)
                Assegna(false);
            else
                d->MyLettori->Comunicazione->setAttivo(false);
            break;
        } catch (...) {
        }
    }
}

// ---------------------------------------------------------------- automatic reconnection

void ucTalumbra::Perdita(int32_t numero, const std::string& descrizione, bool chiudi) {
    // One report per loss: the control's own attempts that follow fail
    // quietly until the reader is back; the host's own are answered.
    const bool nuova = !d->inAttesa || std::exchange(d->richiesta, false);
    d->inAttesa = true;
    if (chiudi) ChiudiDopoGuasto();
    if (nuova) Segnala(numero, descrizione);
    // The host may have closed the port on purpose from its handlers.
    if (d->inAttesa) Attendi(numero);
}

void ucTalumbra::Attendi(int32_t numero) {
    d->inAttesa = true;
    auto* s = d->sorveglianza;
    if (!s->Attiva() || s->Numero() != CommPort())
        s->Avvia(CommPort(), d->aperta.first == CommPort() ? d->aperta.second : std::string());
    s->Fallito(numero == talumbra::errPortaOccupata);
    // The device may have changed while the failed attempt ran.
    s->Rivaluta();
}

void ucTalumbra::FineAttesa() {
    d->inAttesa = false;
    d->sorveglianza->Ferma();
}

void ucTalumbra::Tentativo() {
    if (!d->inAttesa || !d->riconnessione) return;
    // Never inside another attempt or a presence check (they wait on the
    // line and let events run): the device is looked at again after them.
    if (d->automatico || d->verificaInCorso) return;
    // Another control has since become the library's current one: its port
    // is not ours to open.
    if (talumbra::Lettori() != d->MyLettori) return;
    if (Canale().Attivo()) {
        FineAttesa();
        return;
    }
    d->sorveglianza->Tentato();
    QPointer<ucTalumbra> vivo(this);
    d->automatico = true;
    Protetto([this] { Riconnetti(true); });
    if (!vivo) return;
    d->automatico = false;
    if (!d->inAttesa) return;
    if (Canale().Attivo())
        FineAttesa();
    else
        d->sorveglianza->Rivaluta();
}
