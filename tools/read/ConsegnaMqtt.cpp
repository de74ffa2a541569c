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
constexpr unsigned kAttesaMin = 1, kAttesaMax = 30;
constexpr auto kAttesaConnack = std::chrono::seconds(10);
constexpr auto kAttesaAddio = std::chrono::seconds(2);
// A link closed by the broker this soon after the login counts toward a take-over.
constexpr auto kSubentro = std::chrono::seconds(30);

struct Libreria {
    Libreria() { mosquitto_lib_init(); }
    ~Libreria() { mosquitto_lib_cleanup(); }
};

}  // namespace

ConsegnaMqtt::ConsegnaMqtt(const Destinazione& d)
    : d_(d), argomentoCodici_(d.radice + "/code"), argomentoStato_(d.radice + "/status") {
    static Libreria libreria;
    m_ = mosquitto_new(d_.idClient.c_str(), true, this);
    if (!m_) throw std::runtime_error("cannot create an MQTT client");
}

ConsegnaMqtt::~ConsegnaMqtt() {
    if (filo_) {
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, true);
    }
    mosquitto_destroy(m_);
}

std::string ConsegnaMqtt::Dove() const { return d_.host + ":" + std::to_string(d_.porta); }

std::string ConsegnaMqtt::UltimoLog() {
    std::lock_guard l(mx_);
    return ultimoLog_;
}

void ConsegnaMqtt::Avvia(const std::string& statoOnline, const std::string& statoOffline) {
    stato_ = statoOnline;
    mosquitto_int_option(m_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);  // a refused PUBLISH is reported
    mosquitto_int_option(m_, MOSQ_OPT_TCP_NODELAY, 1);
    if (!d_.utente.empty() &&
        mosquitto_username_pw_set(m_, d_.utente.c_str(), d_.password.empty() ? nullptr : d_.password.c_str()) !=
            MOSQ_ERR_SUCCESS)
        throw Rifiuto(2, "the user name or password is not valid for MQTT");
    if (d_.schema == "mqtts") {
        const char* ca = d_.fileCa.empty() ? nullptr : d_.fileCa.c_str();
        const int rc = mosquitto_tls_set(m_, ca, ca ? nullptr : "/etc/ssl/certs",
                                         d_.fileCert.empty() ? nullptr : d_.fileCert.c_str(),
                                         d_.fileChiave.empty() ? nullptr : d_.fileChiave.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            throw Rifiuto(
                11, std::string("TLS set-up: ") + mosquitto_strerror(rc) + " (check --ca-file, --cert and --key)");
    }
    mosquitto_will_set(m_, argomentoStato_.c_str(), int(statoOffline.size()), statoOffline.data(), 1, true);
    mosquitto_reconnect_delay_set(m_, kAttesaMin, kAttesaMax, true);
    mosquitto_connect_v5_callback_set(m_, SuConnect);
    mosquitto_disconnect_v5_callback_set(m_, SuDisconnect);
    mosquitto_publish_v5_callback_set(m_, SuPublish);
    mosquitto_log_callback_set(m_, SuLog);

    // The first attempt runs here, blocking, so that a refusal ends the
    // program before the port is opened.
    int rc = mosquitto_connect(m_, d_.host.c_str(), d_.porta, kKeepAlive);
    if (rc == MOSQ_ERR_SUCCESS) {
        const auto fine = std::chrono::steady_clock::now() + kAttesaConnack;
        while (rc == MOSQ_ERR_SUCCESS && std::chrono::steady_clock::now() < fine) {
            {
                std::lock_guard l(mx_);
                if (connack_) break;
            }
            rc = mosquitto_loop(m_, 100, 1);
        }
    }
    std::optional<int> connack;
    {
        std::lock_guard l(mx_);
        connack = connack_;
    }
    if (rc == MOSQ_ERR_TLS)
        throw Rifiuto(11, "TLS failure with the broker at " + Dove() + ": " + UltimoLog() +
                              " (an untrusted certificate, or one for another host name)");
    if (connack && *connack != 0)
        throw Rifiuto(10, "the broker at " + Dove() + " refused the login: " + mosquitto_reason_string(*connack));
    if (!connack) {
        std::string perche = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
        if (rc == MOSQ_ERR_SUCCESS) perche = "no answer to the login";
        if (Avviso)
            Avviso("the broker at " + Dove() + " cannot be reached (" + perche +
                   "); codes are spooled until it answers");
        avvisatoPerso_ = true;
    }
    rc = mosquitto_loop_start(m_);
    if (rc != MOSQ_ERR_SUCCESS) throw Rifiuto(4, std::string("MQTT network thread: ") + mosquitto_strerror(rc));
    filo_ = true;
}

// ---- libmosquitto's thread (or the first attempt in Avvia): hand over only.

void ConsegnaMqtt::SuConnect(mosquitto*, void* io, int rc, int, const mqtt5__property* p) {
    auto* me = static_cast<ConsegnaMqtt*>(io);
    {
        std::lock_guard l(me->mx_);
        if (!me->connack_ || rc == 0) me->connack_ = rc;
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
    if (rc != 0) {
        // A login refused on a later attempt: said once, then libmosquitto
        // keeps trying with its back-off.
        if (rifiutoLogin_ != rc && Avviso)
            Avviso("the broker at " + Dove() + " refused the login: " + mosquitto_reason_string(rc) +
                   "; codes are spooled until it accepts");
        rifiutoLogin_ = rc;
        return;
    }
    if (avvisatoPerso_ && Avviso) Avviso("connected to the broker at " + Dove());
    avvisatoPerso_ = false;
    rifiutoLogin_.reset();
    pacchettoMax_ = std::uint32_t(pacchettoMax);
    collegata_ = std::chrono::steady_clock::now();
    pronta_ = true;
    // Acknowledgements of earlier sends may still come or never: the spool
    // sends again from its oldest code, and those are matched no more.
    inVolo_.clear();
    Stato(stato_);
    if (Collegata) Collegata();
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
        if (!avvisatoSubentro_ && Avviso)
            Avviso("the broker at " + Dove() +
                   (rc == MQTT_RC_SESSION_TAKEN_OVER ? " gave this reader's session to"
                                                     : " keeps closing the link soon after each login: most likely") +
                   " another client with the same client id (" + d_.idClient +
                   ") takes the session over, a copy of this spool running elsewhere (a cloned machine?); delete the "
                   "spool on one of them, so that it makes a new id");
        avvisatoSubentro_ = true;
    }
    if (era && !avvisatoPerso_ && !subentro_ && Avviso) {
        Avviso("lost the broker at " + Dove() + " (" + (rc ? mosquitto_strerror(rc) : "closed") +
               "); codes are spooled until it is back");
        avvisatoPerso_ = true;
    }
    if (era && Scollegata) Scollegata();
}

void ConsegnaMqtt::Pubblicato(int mid, int motivo) {
    const auto it = inVolo_.find(mid);
    if (it == inVolo_.end()) return;
    const std::int64_t seq = it->second;
    inVolo_.erase(it);
    if (seq < 0) {
        if (motivo >= 0x80 && !statoRifiutato_ && Avviso)
            Avviso("the broker refuses the status on " + argomentoStato_ + ": " + mosquitto_reason_string(motivo));
        statoRifiutato_ = motivo >= 0x80;
        return;
    }
    if (motivo == MQTT_RC_PACKET_TOO_LARGE || motivo == MQTT_RC_PAYLOAD_FORMAT_INVALID) {
        if (Respinto) Respinto(seq, mosquitto_reason_string(motivo));
    } else if (motivo >= 0x80) {
        if (Rifiutato) Rifiutato(seq, mosquitto_reason_string(motivo));
    } else if (Confermato) {
        Confermato(seq);
    }
}

bool ConsegnaMqtt::Invia(std::int64_t seq, const std::string& dati) {
    if (!pronta_) return false;
    int mid = 0;
    // The PUBLISH's size: fixed header, topic, packet id, no properties, payload.
    const std::uint64_t resto = 2 + argomentoCodici_.size() + 2 + 1 + dati.size();
    const std::uint64_t totale = 1 + (resto < 128 ? 1 : resto < 16384 ? 2 : resto < 2097152 ? 3 : 4) + resto;
    int rc = MOSQ_ERR_OVERSIZE_PACKET;
    if ((pacchettoMax_ == 0 || totale <= pacchettoMax_) && dati.size() <= size_t(INT32_MAX))
        rc = mosquitto_publish_v5(m_, &mid, argomentoCodici_.c_str(), int(dati.size()), dati.data(), 1, false, nullptr);
    if (rc == MOSQ_ERR_OVERSIZE_PACKET) {
        // Larger than the broker takes: refused here, as the broker would,
        // once the caller is back in the loop.
        mid = midLocale_ = midLocale_ <= -1000000 ? -1 : midLocale_ - 1;
        inVolo_[mid] = seq;
        Accoda({Evento::Pubblicato, mid, MQTT_RC_PACKET_TOO_LARGE});
        return true;
    }
    if (rc != MOSQ_ERR_SUCCESS) return false;
    inVolo_[mid] = seq;
    return true;
}

void ConsegnaMqtt::Stato(const std::string& testo) {
    stato_ = testo;
    if (!pronta_) return;
    int mid = 0;
    if (mosquitto_publish_v5(m_, &mid, argomentoStato_.c_str(), int(testo.size()), testo.data(), 1, true, nullptr) ==
        MOSQ_ERR_SUCCESS)
        inVolo_[mid] = -1;
}

void ConsegnaMqtt::Chiudi(const std::string& statoOffline) {
    if (!filo_) return;
    // What the network thread has said so far (a connection just made, say).
    QCoreApplication::sendPostedEvents(&contesto_, QEvent::MetaCall);
    if (pronta_) {
        // The acknowledgement may come before mid is known here: every one
        // from now on is kept, and looked for afterwards.
        {
            std::lock_guard l(mx_);
            attendiAddio_ = true;
        }
        int mid = 0;
        if (mosquitto_publish_v5(m_, &mid, argomentoStato_.c_str(), int(statoOffline.size()), statoOffline.data(), 1,
                                 true, nullptr) == MOSQ_ERR_SUCCESS) {
            std::unique_lock l(mx_);
            cv_.wait_for(l, kAttesaAddio, [&] {
                return std::find(confermatiAddio_.begin(), confermatiAddio_.end(), mid) != confermatiAddio_.end();
            });
        }
    }
    // A clean goodbye: the broker drops the last will.
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, !pronta_);
    filo_ = false;
    // Acknowledgements that came meanwhile still count: those codes need not
    // be sent again by the next run.
    pronta_ = false;
    chiusa_ = true;
    QCoreApplication::sendPostedEvents(&contesto_, QEvent::MetaCall);
}

}  // namespace talumbra_read
