// The session: one reader, its port, its identification and its reconnection.
#include "talumbra/Lettore.h"

#include <QPointer>
#include <algorithm>
#include <optional>
#include <utility>

#include "channel/Piattaforma.h"
#include "channel/clsComunicazioni.h"
#include "readers/PiattaformaReale.h"
#include "readers/Sorveglianza.h"
#include "readers/clsLettori.h"

namespace talumbra {

namespace {

const char* const kImpostazioni = "9600,n,8,1";
const char* const kDomanda = "Check connection.";

// The failures that automatic reconnection waits out: the device is gone,
// not there yet, or held by another program.
bool Recuperabile(int32_t numero) {
    return numero == errDispositivoNonDisponibile || numero == errPortaInesistente || numero == errPortaOccupata;
}

QString Testo(const std::string& s) { return QString::fromLatin1(s.data(), qsizetype(s.size())); }

// Sets a flag for a scope and puts back what it was.
template <typename T>
struct Durante {
    T& r;
    T prima;
    Durante(T& x, T v) : r(x), prima(x) { r = std::move(v); }
    ~Durante() { r = std::move(prima); }
};

}  // namespace

struct Lettore::Dati {
    std::shared_ptr<clsLettori> lettori;
    Sorveglianza* sorveglianza = nullptr;
    Domanda domanda;
    bool verificaInCorso = false;
    bool attesaBloccante = false;

    bool riconnessione = false;  // the setting
    bool inAttesa = false;       // a loss not yet recovered: waiting for the device
    bool automatico = false;     // one of our own attempts is running
    bool richiesta = false;      // the program is assigning Attivo := true itself
    // The value of the Stato being raised: the program assigning that same
    // value from its handler (a check box following the state) is an echo.
    std::optional<bool> statoInCorso;
    // The port number and device last opened: after a loss, only another
    // device on that number is worth an attempt.
    std::pair<int, std::string> aperta;
    // The failure the channel reported without throwing (a failed recovery).
    std::optional<std::pair<int32_t, std::string>> erroreCanale;

    clsComunicazioni& Canale() { return *lettori->Comunicazione; }
    clsPelvan& Pelvan() { return lettori->PELVAN(); }
};

Lettore::Lettore(QObject* parent) : QObject(parent), d(std::make_unique<Dati>()) {
    InstallaPiattaforma();
    d->lettori = std::make_shared<clsLettori>();
    d->sorveglianza = new Sorveglianza(this);
    connect(d->sorveglianza, &Sorveglianza::Riprova, this, [this] { Tentativo(); });
    d->lettori->Lettura = [this](std::string& sCodice) { emit Lettura(Testo(sCodice)); };
    d->lettori->Scartata = [this](std::string& sTrama) { emit Scartata(Testo(sTrama)); };
    d->Canale().Errore = [this](int16_t& numero, std::string& descrizione) {
        d->erroreCanale.emplace(numero, descrizione);
    };
    // The port's receive notification is an event handler: failures stop here.
    if (auto& porta = d->Canale().Seriale) {
        auto originale = porta->OnComm;
        porta->OnComm = [this, originale] {
            if (originale) Protetto(originale);
        };
    }
    d->Canale().setAttivo(false);
}

Lettore::~Lettore() {
    d->riconnessione = false;
    d->sorveglianza->Ferma();
    try {
        d->Canale().setAttivo(false);
    } catch (...) {
    }
    // The channel may outlive us inside a wait that holds it.
    d->lettori->Lettura = nullptr;
    d->lettori->Scartata = nullptr;
    d->Canale().Errore = nullptr;
    if (auto& porta = d->Canale().Seriale) porta->OnComm = nullptr;
}

// ---------------------------------------------------------------- settings

int Lettore::CommPort() const { return d->Canale().CommPort(); }

void Lettore::setCommPort(int numero) {
    if (numero < INT16_MIN || numero > INT16_MAX) throw Fallimento(errOverflow, "Overflow");
    d->Canale().setCommPort(static_cast<int16_t>(numero));
}

int32_t Lettore::TipoBadge() const { return d->lettori->TipoBadgeCorrente; }
void Lettore::setTipoBadge(int32_t v) { d->lettori->TipoBadgeCorrente = v; }
int32_t Lettore::TMantCode() const { return d->lettori->TempoMantCode; }
void Lettore::setTMantCode(int32_t v) { d->lettori->TempoMantCode = v; }
bool Lettore::CodificaQuendel() const { return d->lettori->CodificaQuendelAttiva; }
void Lettore::setCodificaQuendel(bool v) { d->lettori->CodificaQuendelAttiva = v; }
int32_t Lettore::TipoDispositivo() const { return d->Pelvan().ConType(); }
void Lettore::setTipoDispositivo(int32_t v) { d->Pelvan().setConType(v); }
bool Lettore::RiconnessioneAutomatica() const { return d->riconnessione; }

void Lettore::setRiconnessioneAutomatica(bool v) {
    d->riconnessione = v;
    if (!v) FineAttesa();
}

bool Lettore::AttesaBloccante() const { return d->attesaBloccante; }
void Lettore::setAttesaBloccante(bool v) { d->attesaBloccante = v; }

void Lettore::setDomanda(Domanda domanda) { d->domanda = std::move(domanda); }

bool Lettore::VerificaInCorso() const { return d->verificaInCorso; }

QList<int> Lettore::Porte() {
    QList<int> porte;
    for (int n = 1; n <= 256; ++n) {
        // Fresh for every number: a probe failure leaves it untouched.
        int16_t S_Stato = 0;
        std::string S_Setting;
        d->Canale().AnalizzaSeriale(static_cast<int16_t>(n), S_Stato, S_Setting);
        if (S_Stato == 1) porte << n;
    }
    return porte;
}

// ---------------------------------------------------------------- the port

bool Lettore::Attivo() const { return d->Canale().Attivo(); }

void Lettore::setAttivo(bool v) {
    const bool eco = d->statoInCorso == v;
    // Closed on purpose: the lost port is no longer waited for.
    if (!v && !eco) FineAttesa();
    // Opened on purpose: a failure answers the caller, even while waiting.
    Durante<bool> richiesta(d->richiesta, v && !eco && !d->automatico);
    Assegna(v);
    // Opened by the program: it has the reader back, nothing left to wait for.
    if (v && !eco && !d->automatico && Attivo()) FineAttesa();
}

void Lettore::Assegna(bool v) {
    d->erroreCanale.reset();
    try {
        d->Canale().setAttivo(v);
    } catch (const Fallimento& f) {
        if (!v || !d->riconnessione || !Recuperabile(f.Numero())) throw;
        Perdita(f.Numero(), f.Descrizione());
        return;
    }
    emit Commutato();
    const bool attuale = Attivo();
    if (v && attuale && d->riconnessione) d->aperta = {CommPort(), Sorveglianza::Firma(CommPort())};
    {
        Durante<std::optional<bool>> inCorso(d->statoInCorso, attuale);
        emit Stato(attuale);
    }
    // The channel gave up after its recovery without throwing: the same loss.
    if (v && !Attivo() && d->riconnessione && d->erroreCanale && Recuperabile(d->erroreCanale->first)) {
        auto [numero, descrizione] = *d->erroreCanale;
        Perdita(numero, descrizione, false);
    }
}

void Lettore::Chiudi(bool saluto) {
    FineAttesa();
    // Both steps run whatever fails.
    try {
        if (saluto) d->Canale().InviaComando(std::string(2, '\x04'));
    } catch (...) {
    }
    try {
        d->Canale().setAttivo(false);
    } catch (...) {
    }
}

void Lettore::Riconnetti(bool attivazione) {
    attivazione = attivazione || Attivo();
    d->Canale().setAttivo(false);
    // Reassigning and reopening: a failure here only shows in Attivo and Stato.
    try {
        d->Canale().setCommPort(d->Canale().CommPort());
    } catch (...) {
    }
    try {
        d->Canale().setCommSettings(kImpostazioni);
    } catch (...) {
    }
    try {
        Assegna(attivazione);
    } catch (...) {
    }
    try {
        piattaforma().DoEvents();
    } catch (...) {
    }
    if (!Attivo()) return;
    // A reader reached from the program's own reopening ends any waiting; our
    // own attempts end it themselves.
    auto ritrovato = [this] {
        if (!d->automatico && Attivo()) FineAttesa();
    };
    const std::shared_ptr<Driver> famiglia = d->Canale().DriverAttuale();
    if (famiglia && !famiglia->RispondeAllaVersione()) return ritrovato();
    try {
        VerificaConnessione();
        ritrovato();
    } catch (const Fallimento& f) {
        // With automatic reconnection the loss is reported once and waited out.
        if (d->riconnessione && Recuperabile(f.Numero())) {
            Perdita(f.Numero(), f.Descrizione());
            return;
        }
        // The failure goes on to the caller; but a device that is gone must not
        // stay shown as open, with nothing left to notice it.
        if (f.Numero() == errDispositivoNonDisponibile && Attivo()) ChiudiDopoGuasto();
        throw;
    }
}

void Lettore::VerificaConnessione() {
    Durante<bool> inCorso(d->verificaInCorso, true);
    d->Pelvan().Maiuscolo = true;
    int fallimenti = 0;
    int16_t Sintassi = 0;
    for (;;) {
        std::string Risposta;
        int32_t esito = d->Pelvan().GetVersion(Risposta, Sintassi);
        // A short reply is no identification either: counting it keeps a
        // chatty but wrong device from holding the check for ever.
        if (Sintassi != 0 || esito != esRicevuta || Risposta.size() <= 16) {
            ++fallimenti;
            if (fallimenti > 5) {
                // Our own attempts never ask: nobody may be there to answer.
                if (!d->automatico && d->domanda && d->domanda(QString::fromLatin1(kDomanda))) {
                    fallimenti = 0;
                    continue;
                }
                Assegna(false);
                emit FindDevice(false, dPELVAN);
                // A silent reader is tried again when its device changes.
                if (d->riconnessione && !Attivo()) Attendi(0);
                return;
            }
        }
        if (Risposta.size() > 16) break;
    }
    QPointer<Lettore> vivo(this);
    if (!Pausa(250) || !vivo || !Attivo()) return;
    d->Canale().InviaComando(std::string(2, '\x04'));
    if (!Pausa(250) || !vivo || !Attivo()) return;
    d->Pelvan().Reset();
    d->Canale().OnComm_Attivato();
    emit FindDevice(true, TipoDispositivo());
}

bool Lettore::Pausa(uint32_t ms) {
    auto& p = piattaforma();
    if (d->attesaBloccante) {
        p.Sleep(ms);
        return true;
    }
    // Other sessions of the program go on meanwhile, as in a reply wait: at
    // every 100 ms mark their events run. False once this session is gone.
    QPointer<Lettore> vivo(this);
    const uint32_t t0 = p.timeGetTime();
    for (;;) {
        p.DoEvents();
        if (!vivo) return false;
        const uint32_t trascorso = Trascorso(t0, p.timeGetTime());
        if (trascorso >= ms) return true;
        p.Sleep(std::min<uint32_t>(ms - trascorso, 100 - trascorso % 100));
    }
}

// ---------------------------------------------------------------- failures

void Lettore::Protetto(const std::function<void()>& gestore) {
    QPointer<Lettore> vivo(this);
    try {
        gestore();
        return;
    } catch (const Fallimento& f) {
        if (vivo) Guasto(f.Numero(), f.Descrizione());
    } catch (const std::exception& e) {
        if (vivo) Guasto(0, e.what());
    } catch (...) {
        if (vivo) Guasto(0, "Unknown failure");
    }
}

void Lettore::Guasto(int32_t numero, const std::string& descrizione) {
    if (d->riconnessione && Recuperabile(numero)) {
        Perdita(numero, descrizione);
        return;
    }
    ChiudiDopoGuasto();
    Segnala(numero, descrizione);
}

void Lettore::Segnala(int32_t numero, const std::string& descrizione) {
    const QString testo = QStringLiteral("Errore %1 %2").arg(numero).arg(QString::fromLatin1(descrizione.c_str()));
    try {
        emit Anomalia(testo);
    } catch (...) {
    }
}

void Lettore::ChiudiDopoGuasto() {
    // Close the port so that nothing keeps failing (a pulled adapter would
    // notify for ever), and let the program see it (Stato false). A broken
    // port can make the first closing fail in the channel's recovery (the
    // reopening finds no device) after the port was closed; the second then
    // only records the closed state.
    for (int tentativo = 0; tentativo < 2; ++tentativo) {
        try {
            Assegna(false);
            break;
        } catch (...) {
        }
    }
}

// ---------------------------------------------------------------- automatic reconnection

void Lettore::Perdita(int32_t numero, const std::string& descrizione, bool chiudi) {
    // One report per loss: our own attempts that follow fail quietly until
    // the reader is back; the program's own are answered.
    const bool nuova = !d->inAttesa || std::exchange(d->richiesta, false);
    d->inAttesa = true;
    if (chiudi) ChiudiDopoGuasto();
    if (nuova) Segnala(numero, descrizione);
    // The program may have closed the port on purpose from its handlers.
    if (d->inAttesa) Attendi(numero);
}

void Lettore::Attendi(int32_t numero) {
    d->inAttesa = true;
    auto* s = d->sorveglianza;
    if (!s->Attiva() || s->Numero() != CommPort())
        s->Avvia(CommPort(), d->aperta.first == CommPort() ? d->aperta.second : std::string());
    s->Fallito(numero == errPortaOccupata);
    // The device may have changed while the failed attempt ran.
    s->Rivaluta();
}

void Lettore::FineAttesa() {
    d->inAttesa = false;
    d->sorveglianza->Ferma();
}

void Lettore::Tentativo() {
    if (!d->inAttesa || !d->riconnessione) return;
    // Never inside another attempt or a presence check (they wait on the
    // line and let events run): the device is looked at again after them.
    if (d->automatico || d->verificaInCorso) return;
    if (Attivo()) {
        FineAttesa();
        return;
    }
    d->sorveglianza->Tentato();
    QPointer<Lettore> vivo(this);
    d->automatico = true;
    Protetto([this] { Riconnetti(true); });
    if (!vivo) return;
    d->automatico = false;
    if (!d->inAttesa) return;
    if (Attivo())
        FineAttesa();
    else
        d->sorveglianza->Rivaluta();
}

}  // namespace talumbra
