#include "ConsegnaMqtt.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>

namespace talumbra_read {

namespace {

constexpr int kKeepAlive = 30;  // seconds
// The back-off between attempts: 1, 2, 4 ... 30 s.
constexpr int kAttesaMin = 1, kAttesaMax = 30;
// One attempt, from the TCP connection to the broker's answer to the login:
// a broker host that never completes TCP, or accepts and never answers, is
// given up on after this and tried again with the back-off.
constexpr auto kAttesaConnack = std::chrono::seconds(10);
// How long the start waits for the first answer before the port is opened:
// a broker on a working network refuses a login well within it.
constexpr auto kAttesaPrimo = std::chrono::milliseconds(200);
constexpr auto kAttesaAddio = std::chrono::seconds(2);
// A link closed by the broker this soon after the login counts toward a take-over.
constexpr auto kSubentro = std::chrono::seconds(30);
// A pass of the network loop while an attempt waits: how soon a stop is seen.
constexpr int kPassoMs = 200;
constexpr int kScaduto = -1000;  // an attempt's rc: no answer within kAttesaConnack

struct Libreria {
    Libreria() { mosquitto_lib_init(); }
    ~Libreria() { mosquitto_lib_cleanup(); }
};

}  // namespace

ConsegnaMqtt::ConsegnaMqtt(const Destinazione& d) : d_(d) { static Libreria libreria; }

int ConsegnaMqtt::Aggiungi(Canale c) {
    Traffico t;
    t.argomentoCodici = c.radice + "/code";
    t.argomentoStato = c.radice + "/status";
    t.c = std::move(c);
    canali_.push_back(std::move(t));
    return int(canali_.size()) - 1;
}

void ConsegnaMqtt::Avvisa(const std::string& testo) {
    for (const Traffico& t : canali_)
        if (!t.chiuso && t.c.Avviso) t.c.Avviso(testo);
}

ConsegnaMqtt::~ConsegnaMqtt() {
    Ferma();
    if (m_) mosquitto_destroy(m_);
}

std::string ConsegnaMqtt::Dove() const {
    // An IPv6 address is bracketed, as in a URL: [::1]:1883.
    const bool v6 = d_.host.find(':') != std::string::npos;
    return (v6 ? "[" + d_.host + "]" : d_.host) + ":" + std::to_string(d_.porta);
}

std::string ConsegnaMqtt::UltimoLog() {
    std::lock_guard l(mx_);
    return ultimoLog_;
}

std::string ConsegnaMqtt::MotivoTls() {
    const std::string log = UltimoLog();
    // A plain MQTT port takes the TLS greeting for a bad packet and hangs up.
    const char* perche = log.find("eof") != std::string::npos
                             ? " (the broker hung up during the TLS handshake: is it a plain port, for mqtt://?)"
                             : " (an untrusted certificate, or one for another host name)";
    return "TLS failure with the broker at " + Dove() + ": " + log + perche;
}

mosquitto* ConsegnaMqtt::Crea() {
    mosquitto* m = mosquitto_new(d_.idClient.c_str(), true, this);
    if (!m) throw Rifiuto(4, "cannot create an MQTT client");
    auto rifiuta = [m](int uscita, const std::string& perche) {
        mosquitto_destroy(m);
        throw Rifiuto(uscita, perche);
    };
    mosquitto_threaded_set(m, true);  // the Qt thread publishes while the network thread loops
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);  // a refused PUBLISH is reported
    mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
    if (!d_.utente.empty() &&
        mosquitto_username_pw_set(m, d_.utente.c_str(), d_.password.empty() ? nullptr : d_.password.c_str()) !=
            MOSQ_ERR_SUCCESS)
        rifiuta(2, "the user name or password is not valid for MQTT");
    if (d_.schema == "mqtts") {
        const char* ca = d_.fileCa.empty() ? nullptr : d_.fileCa.c_str();
        const int rc = mosquitto_tls_set(m, ca, ca ? nullptr : "/etc/ssl/certs",
                                         d_.fileCert.empty() ? nullptr : d_.fileCert.c_str(),
                                         d_.fileChiave.empty() ? nullptr : d_.fileChiave.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            rifiuta(11, std::string("TLS set-up: ") + mosquitto_strerror(rc) + " (check --ca-file, --cert and --key)");
    }
    mosquitto_will_set(m, argomentoAddio_.c_str(), int(testoAddio_.size()), testoAddio_.data(), 1, true);
    mosquitto_connect_v5_callback_set(m, SuConnect);
    mosquitto_disconnect_v5_callback_set(m, SuDisconnect);
    mosquitto_publish_v5_callback_set(m, SuPublish);
    mosquitto_log_callback_set(m, SuLog);
    return m;
}

void ConsegnaMqtt::Avvia(const std::string& statoAddio) {
    // One connection carries one will: a single port's own status, or the
    // group's, which then stands for every port of it.
    if (d_.gruppo.empty()) {
        argomentoAddio_ = canali_.at(0).argomentoStato;
        testoAddio_ = statoAddio;
    } else {
        argomentoAddio_ = d_.gruppo + "/status";
        testoAddio_ = "offline";
    }
    m_ = Crea();
    filo_ = std::thread([this] { Rete(); });

    // A refusal that comes at once ends the program before the port is
    // opened; an answer that is slow to come is not waited for.
    std::optional<int> connack;
    std::optional<int> primoRc;
    {
        std::unique_lock l(mx_);
        cv_.wait_for(l, kAttesaPrimo, [&] { return primoEsito_; });
        connack = connack_;
        primoRc = primoRc_;
    }
    if (connack && *connack != 0) {
        Ferma();
        throw Rifiuto(10, "the broker at " + Dove() + " refused the login: " + mosquitto_reason_string(*connack));
    }
    if (primoRc == MOSQ_ERR_TLS) {
        Ferma();
        throw Rifiuto(11, MotivoTls());
    }
}

// ---- the network thread

void ConsegnaMqtt::Rete() {
    int attesa = kAttesaMin;
    mosquitto* m = m_;  // only this thread replaces it
    for (bool primo = true;; primo = false) {
        if (!primo) {
            // A fresh client for each attempt: messages that an old one
            // still held for a broker that never acknowledged them are
            // freed, instead of piling up at every reconnection (the spool
            // sends them again).
            mosquitto* nuovo = nullptr;
            try {
                nuovo = Crea();
            } catch (const Rifiuto&) {
            }
            if (nuovo) {
                {
                    std::lock_guard l(mxM_);
                    m_ = nuovo;
                }
                mosquitto_destroy(m);
                m = nuovo;
            }
        }
        {
            std::lock_guard l(mx_);
            risposta_ = collegato_ = false;
        }
        int rc = mosquitto_connect_async(m, d_.host.c_str(), d_.porta, kKeepAlive);
        int errore = errno;
        if (rc == MOSQ_ERR_SUCCESS) {
            const auto inizio = std::chrono::steady_clock::now();
            std::optional<std::chrono::steady_clock::time_point> fineAddio;
            for (;;) {
                bool collegato, fermo;
                {
                    std::lock_guard l(mx_);
                    collegato = collegato_;
                    fermo = fermo_;
                }
                rc = mosquitto_loop(m, collegato && !fermo ? 1000 : kPassoMs, 1);
                errore = errno;
                if (rc != MOSQ_ERR_SUCCESS) break;
                const auto ora = std::chrono::steady_clock::now();
                if (fermo) {
                    // Stopping: a connection gets the time to send the goodbye.
                    if (!collegato) break;
                    if (!fineAddio) fineAddio = ora + kAttesaAddio;
                    if (ora > *fineAddio) break;
                } else if (!collegato && ora - inizio > kAttesaConnack) {
                    rc = kScaduto;
                    break;
                }
            }
        }
        bool collegato, risposta;
        {
            std::lock_guard l(mx_);
            collegato = collegato_;
            risposta = risposta_;
            if (!risposta && !primoEsito_) {
                primoRc_ = rc;
                primoEsito_ = true;
                cv_.notify_all();
            }
            if (fermo_) break;
        }
        if (!risposta) Accoda({Evento::Fallito, rc, errore});
        if (collegato) attesa = kAttesaMin;
        std::unique_lock l(mx_);
        if (cv_.wait_for(l, std::chrono::seconds(attesa), [this] { return fermo_; })) break;
        if (!collegato) attesa = std::min(attesa * 2, kAttesaMax);
    }
}

void ConsegnaMqtt::Ferma() {
    if (!filo_.joinable()) return;
    {
        std::lock_guard l(mx_);
        fermo_ = true;
    }
    cv_.notify_all();
    {
        // A clean goodbye: the broker drops the last will. It also wakes the loop.
        std::lock_guard l(mxM_);
        mosquitto_disconnect(m_);
    }
    filo_.join();
}

// ---- callbacks, on the network thread: hand over only.

void ConsegnaMqtt::SuConnect(mosquitto*, void* io, int rc, int, const mqtt5__property* p) {
    auto* me = static_cast<ConsegnaMqtt*>(io);
    {
        std::lock_guard l(me->mx_);
        if (!me->connack_ || rc == 0) me->connack_ = rc;
        me->risposta_ = true;
        me->collegato_ = rc == 0;
        me->primoEsito_ = true;
        me->cv_.notify_all();
    }
    std::uint32_t massimo = 0;
    mosquitto_property_read_int32(p, MQTT_PROP_MAXIMUM_PACKET_SIZE, &massimo, false);
    me->Accoda({Evento::Connesso, rc, int(std::min<std::uint32_t>(massimo, INT32_MAX))});
}

void ConsegnaMqtt::SuDisconnect(mosquitto*, void* io, int rc, const mqtt5__property*) {
    auto* me = static_cast<ConsegnaMqtt*>(io);
    me->Accoda({Evento::Disconnesso, rc, 0});
}

void ConsegnaMqtt::SuPublish(mosquitto*, void* io, int mid, int motivo, const mqtt5__property*) {
    auto* me = static_cast<ConsegnaMqtt*>(io);
    {
        std::lock_guard l(me->mx_);
        if (me->attendiAddio_) {
            me->confermatiAddio_.push_back(mid);
            me->cv_.notify_all();
        }
    }
    me->Accoda({Evento::Pubblicato, mid, motivo});
}

// One queue, in the order things happened; the Qt thread is woken once for
// all that gathers meanwhile (a replay brings thousands of acknowledgements).
void ConsegnaMqtt::Accoda(const Evento& e) {
    {
        std::lock_guard l(mx_);
        eventi_.push_back(e);
        if (eventi_.size() > 1) return;
    }
    QMetaObject::invokeMethod(
        &contesto_, [this] { Smaltisci(); }, Qt::QueuedConnection);
}

void ConsegnaMqtt::Smaltisci() {
    std::vector<Evento> ora;
    {
        std::lock_guard l(mx_);
        ora.swap(eventi_);
    }
    for (const Evento& e : ora) {
        switch (e.tipo) {
            case Evento::Connesso: Connesso(e.a, e.b); break;
            case Evento::Disconnesso: Disconnesso(e.a); break;
            case Evento::Pubblicato: Pubblicato(e.a, e.b); break;
            case Evento::Fallito: Fallito(e.a, e.b); break;
        }
    }
}

void ConsegnaMqtt::SuLog(mosquitto*, void* io, int livello, const char* testo) {
    if (!(livello & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) || !testo) return;
    auto* me = static_cast<ConsegnaMqtt*>(io);
    std::lock_guard l(me->mx_);
    me->ultimoLog_ = testo;
}

// ---- the main thread

void ConsegnaMqtt::Connesso(int rc, int pacchettoMax) {
    if (chiusa_) return;
    if (rc != 0 && maiCollegata_) {
        // The first login, refused after the start went on: as at the start.
        chiusa_ = true;  // the program ends: said once
        if (Fallita) Fallita(10, "the broker at " + Dove() + " refused the login: " + mosquitto_reason_string(rc));
        return;
    }
    if (rc != 0) {
        // A login refused on a later attempt: said once, then the network
        // thread keeps trying with its back-off.
        if (rifiutoLogin_ != rc)
            Avvisa("the broker at " + Dove() + " refused the login: " + mosquitto_reason_string(rc) +
                   "; codes are spooled until it accepts");
        rifiutoLogin_ = rc;
        return;
    }
    if (avvisatoPerso_) Avvisa("connected to the broker at " + Dove());
    avvisatoPerso_ = avvisatoTls_ = false;
    maiCollegata_ = false;
    rifiutoLogin_.reset();
    pacchettoMax_ = std::uint32_t(pacchettoMax);
    collegata_ = std::chrono::steady_clock::now();
    pronta_ = true;
    // Acknowledgements of earlier sends may still come or never: the spool
    // sends again from its oldest code, and those are matched no more.
    inVolo_.clear();
    if (!d_.gruppo.empty()) {
        const int mid = PubblicaStato(d_.gruppo + "/status", "online");
        if (mid >= 0) inVolo_[mid] = {kGruppo, -1};
    }
    for (size_t i = 0; i < canali_.size(); ++i) {
        if (canali_[i].chiuso || canali_[i].addio) continue;
        Stato(int(i), canali_[i].c.stato);
        // Its status first, then its codes, from the oldest spooled one.
        if (pronta_ && canali_[i].c.Collegata) canali_[i].c.Collegata();
    }
}

void ConsegnaMqtt::Disconnesso(int rc) {
    if (chiusa_) return;
    const bool era = pronta_;
    pronta_ = false;
    inVolo_.clear();
    // Twins with one client id push each other off the broker, again and
    // again. A broker that says so, or one that closes the link soon after
    // each login, three times running, is told once; the churn that follows
    // is not logged line by line.
    if (era) {
        const bool breve = rc == MQTT_RC_SESSION_TAKEN_OVER ||
                           (rc == MOSQ_ERR_CONN_LOST && std::chrono::steady_clock::now() - collegata_ < kSubentro);
        chiusureBrevi_ = breve ? chiusureBrevi_ + 1 : 0;
        if (!breve) subentro_ = false;
    }
    if ((rc == MQTT_RC_SESSION_TAKEN_OVER || chiusureBrevi_ >= 3) && !subentro_) {
        subentro_ = true;
        const std::string chi = d_.gruppo.empty() ? "this reader's" : "these readers'";
        if (!avvisatoSubentro_)
            Avvisa("the broker at " + Dove() +
                   (rc == MQTT_RC_SESSION_TAKEN_OVER ? " gave " + chi + " session to"
                                                     : " keeps closing the link soon after each login: most likely") +
                   " another client with the same client id (" + d_.idClient +
                   ") takes the session over, a copy of this spool running elsewhere (a cloned machine?); delete the "
                   "spool on one of them, so that it makes a new id");
        avvisatoSubentro_ = true;
    }
    if (era && !avvisatoPerso_ && !subentro_) {
        Avvisa("lost the broker at " + Dove() + " (" + (rc ? mosquitto_strerror(rc) : "closed") +
               "); codes are spooled until it is back");
        avvisatoPerso_ = true;
    }
    if (era)
        for (Traffico& t : canali_)
            if (!t.chiuso && !t.addio && t.c.Scollegata) t.c.Scollegata();
}

void ConsegnaMqtt::Fallito(int rc, int errore) {
    if (chiusa_) return;
    if (rc == MOSQ_ERR_TLS) {
        if (maiCollegata_) {
            chiusa_ = true;
            if (Fallita) Fallita(11, MotivoTls());
            return;
        } else if (!avvisatoTls_) {
            Avvisa(MotivoTls() + "; codes are spooled until it succeeds");
        }
        avvisatoTls_ = true;
        return;
    }
    if (avvisatoPerso_) return;
    std::string perche;
    const bool chiusa = rc == MOSQ_ERR_CONN_LOST || (rc == MOSQ_ERR_ERRNO && (errore == ECONNRESET || errore == EPIPE));
    if (rc == kScaduto)
        perche = "no answer to the login within " + std::to_string(kAttesaConnack.count()) + " s";
    else if (chiusa && d_.schema == "mqtt")
        // A TLS port hangs up on a plain greeting without a word.
        perche = "it hung up without answering the login: is it a TLS port, for mqtts://?";
    else if (chiusa)
        perche = "it hung up without answering the login";
    else
        perche = rc == MOSQ_ERR_ERRNO ? std::strerror(errore) : mosquitto_strerror(rc);
    Avvisa("the broker at " + Dove() + " cannot be reached (" + perche + "); codes are spooled until it answers");
    avvisatoPerso_ = true;
}

void ConsegnaMqtt::Pubblicato(int mid, int motivo) {
    const auto it = inVolo_.find(mid);
    if (it == inVolo_.end()) return;
    const Volo v = it->second;
    inVolo_.erase(it);
    if (v.canale == kGruppo) {
        if (motivo >= 0x80 && !statoGruppoRifiutato_)
            Avvisa("the broker refuses the status on " + d_.gruppo + "/status: " + mosquitto_reason_string(motivo));
        statoGruppoRifiutato_ = motivo >= 0x80;
        return;
    }
    Traffico& t = canali_[size_t(v.canale)];
    if (t.chiuso) return;
    if (v.seq < 0) {
        if (motivo >= 0x80 && !t.statoRifiutato && t.c.Avviso)
            t.c.Avviso("the broker refuses the status on " + t.argomentoStato + ": " + mosquitto_reason_string(motivo));
        t.statoRifiutato = motivo >= 0x80;
        return;
    }
    if (motivo == MQTT_RC_PACKET_TOO_LARGE || motivo == MQTT_RC_PAYLOAD_FORMAT_INVALID) {
        if (t.c.Respinto) t.c.Respinto(v.seq, mosquitto_reason_string(motivo));
    } else if (motivo >= 0x80) {
        if (t.c.Rifiutato) t.c.Rifiutato(v.seq, mosquitto_reason_string(motivo));
    } else if (t.c.Confermato) {
        t.c.Confermato(v.seq);
    }
}

bool ConsegnaMqtt::Invia(int canale, std::int64_t seq, const std::string& dati) {
    const Traffico& t = canali_[size_t(canale)];
    if (!pronta_ || t.addio || t.chiuso) return false;
    int mid = 0;
    // The PUBLISH's size: fixed header, topic, packet id, no properties, payload.
    const std::uint64_t resto = 2 + t.argomentoCodici.size() + 2 + 1 + dati.size();
    const std::uint64_t totale = 1 + (resto < 128 ? 1 : resto < 16384 ? 2 : resto < 2097152 ? 3 : 4) + resto;
    int rc = MOSQ_ERR_OVERSIZE_PACKET;
    if ((pacchettoMax_ == 0 || totale <= pacchettoMax_) && dati.size() <= size_t(INT32_MAX)) {
        std::lock_guard lm(mxM_);
        rc =
            mosquitto_publish_v5(m_, &mid, t.argomentoCodici.c_str(), int(dati.size()), dati.data(), 1, false, nullptr);
    }
    if (rc == MOSQ_ERR_OVERSIZE_PACKET) {
        // Larger than the broker takes: refused here, as the broker would,
        // once the caller is back in the loop.
        mid = midLocale_ = midLocale_ <= -1000000 ? -1 : midLocale_ - 1;
        inVolo_[mid] = {canale, seq};
        Accoda({Evento::Pubblicato, mid, MQTT_RC_PACKET_TOO_LARGE});
        return true;
    }
    if (rc != MOSQ_ERR_SUCCESS) return false;
    inVolo_[mid] = {canale, seq};
    return true;
}

int ConsegnaMqtt::PubblicaStato(const std::string& argomento, const std::string& testo) {
    int mid = 0;
    std::lock_guard lm(mxM_);
    const int rc = mosquitto_publish_v5(m_, &mid, argomento.c_str(), int(testo.size()),
                                        testo.empty() ? nullptr : testo.data(), 1, true, nullptr);
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

void ConsegnaMqtt::Stato(int canale, const std::string& testo) {
    Traffico& t = canali_[size_t(canale)];
    t.c.stato = testo;
    if (!pronta_ || t.addio || t.chiuso) return;
    const int mid = PubblicaStato(t.argomentoStato, testo);
    if (mid >= 0) inVolo_[mid] = {canale, -1};
}

// A retained status at the end, waited for a little at most. The broker
// answers in order, so its acknowledgement also says that the codes sent
// before it were taken. Once one went unanswered, the next are not waited for.
void ConsegnaMqtt::Addio(const std::string& argomento, const std::string& testo) {
    {
        // The acknowledgement may come before mid is known here: every one
        // from now on is kept, and looked for afterwards.
        std::lock_guard l(mx_);
        attendiAddio_ = true;
    }
    const int mid = PubblicaStato(argomento, testo);
    if (mid < 0 || addioScaduto_) return;
    std::unique_lock l(mx_);
    addioScaduto_ = !cv_.wait_for(l, kAttesaAddio, [&] {
        return std::find(confermatiAddio_.begin(), confermatiAddio_.end(), mid) != confermatiAddio_.end();
    });
}

void ConsegnaMqtt::Chiudi(int canale, const std::string& statoOffline) {
    Traffico& t = canali_[size_t(canale)];
    if (t.chiuso) return;
    if (filo_.joinable()) {
        // What the network thread has said so far (a connection just made, say).
        QCoreApplication::sendPostedEvents(&contesto_, QEvent::MetaCall);
        t.addio = true;
        if (pronta_) Addio(t.argomentoStato, statoOffline);
        // Acknowledgements that came meanwhile still count: those codes need
        // not be sent again by the next run.
        QCoreApplication::sendPostedEvents(&contesto_, QEvent::MetaCall);
    }
    t.chiuso = true;
    t.c = Canale{};
}

void ConsegnaMqtt::Fine() {
    if (!filo_.joinable()) return;
    QCoreApplication::sendPostedEvents(&contesto_, QEvent::MetaCall);
    // Every port said "offline" itself: the group's status is cleared, so
    // that no stale group is left behind.
    if (pronta_ && !d_.gruppo.empty()) Addio(d_.gruppo + "/status", "");
    Ferma();
    pronta_ = false;
    chiusa_ = true;
    QCoreApplication::sendPostedEvents(&contesto_, QEvent::MetaCall);
}

}  // namespace talumbra_read
