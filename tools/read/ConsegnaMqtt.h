// The MQTT back end, on libmosquitto. Its network loop runs in a thread of its
// own (connecting, keep-alive, reconnecting with a back-off, each attempt
// within a time limit), so that a broker that is slow to answer, or never
// does, holds up neither the reader nor a signal; what it reports is handed
// to the Qt thread through queued calls. The ports of one program share the
// client: each has its own topics, and the acknowledgements go back to the
// port whose code they are for.
#pragma once

#include <QObject>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Consegna.h"

struct mosquitto;
struct mqtt5__property;

namespace talumbra_read {

class ConsegnaMqtt final : public Consegna {
public:
    explicit ConsegnaMqtt(const Destinazione& d);
    ~ConsegnaMqtt() override;

    int Aggiungi(Canale c) override;
    void Avvia(const std::string& statoAddio) override;
    bool Pronta() const override { return pronta_; }
    bool Invia(int canale, std::int64_t seq, const std::string& dati) override;
    void Stato(int canale, const std::string& testo) override;
    void Chiudi(int canale, const std::string& statoOffline) override;
    void Fine() override;

private:
    static void SuConnect(mosquitto*, void* io, int rc, int, const mqtt5__property*);
    static void SuDisconnect(mosquitto*, void* io, int rc, const mqtt5__property*);
    static void SuPublish(mosquitto*, void* io, int mid, int motivo, const mqtt5__property*);
    static void SuLog(mosquitto*, void* io, int livello, const char* testo);
    struct Evento {
        // Fallito: an attempt ended before the broker answered the login.
        enum Tipo { Connesso, Disconnesso, Pubblicato, Fallito } tipo;
        // rc and the broker's maximum packet size; rc; mid and reason code; rc and errno
        int a, b;
    };
    mosquitto* Crea();  // a client set up for d_; throws Rifiuto
    void Rete();        // the network thread
    void Ferma();
    void Accoda(const Evento& e);
    void Smaltisci();
    void Connesso(int rc, int pacchettoMax);
    void Disconnesso(int rc);
    void Pubblicato(int mid, int motivo);
    void Fallito(int rc, int errore);
    // A port's traffic, main thread only.
    struct Traffico {
        Canale c;
        std::string argomentoCodici, argomentoStato;
        bool statoRifiutato = false;
        bool addio = false;   // ending: acknowledgements only, nothing more is sent
        bool chiuso = false;  // ended: it hears nothing more
    };
    // What a message in flight is: its port (kGruppo: the group's status) and seq (-1: a status).
    struct Volo {
        int canale;
        std::int64_t seq;
    };
    static constexpr int kGruppo = -1;
    void Avvisa(const std::string& testo);  // a line about the link, said by every port
    int PubblicaStato(const std::string& argomento, const std::string& testo);  // its mid, or -1
    void Addio(const std::string& argomento, const std::string& testo);
    std::string Dove() const;
    std::string UltimoLog();
    std::string MotivoTls();

    Destinazione d_;
    std::vector<Traffico> canali_;
    // The last will: set by Avvia, before the network thread starts.
    std::string argomentoAddio_, testoAddio_;
    QObject contesto_;  // queued calls from the network thread land here
    std::thread filo_;

    // The client: replaced by the network thread before each new attempt,
    // so that what an old connection still held is freed; used by the Qt
    // thread under mxM_ only.
    std::mutex mxM_;
    mosquitto* m_ = nullptr;

    // Main thread only.
    bool pronta_ = false;
    bool chiusa_ = false;
    bool maiCollegata_ = true;  // no connection made yet: a refusal is for good
    bool statoRifiutato_ = false;
    bool avvisatoPerso_ = false;
    bool avvisatoTls_ = false;
    bool avvisatoSubentro_ = false;
    bool subentro_ = false;  // the session is being taken over, again and again
    int chiusureBrevi_ = 0;  // links closed by the broker soon after the login, in a row
    std::chrono::steady_clock::time_point collegata_;
    std::uint32_t pacchettoMax_ = 0;   // from the broker's CONNACK; 0: no limit given
    int midLocale_ = 0;                // a code refused here, before the wire: its mid, below 0
    std::optional<int> rifiutoLogin_;  // the last login refusal reported
    bool statoGruppoRifiutato_ = false;
    bool addioScaduto_ = false;             // a goodbye went unanswered: the others are not waited for
    std::unordered_map<int, Volo> inVolo_;  // by mid

    // Shared with the network thread.
    std::mutex mx_;
    std::condition_variable cv_;
    bool fermo_ = false;
    bool primoEsito_ = false;     // the first attempt has an outcome
    std::optional<int> connack_;  // the first login's answer, then 0 once one succeeded
    std::optional<int> primoRc_;  // how the first attempt failed, before any answer
    bool risposta_ = false;       // this attempt had its login answered
    bool collegato_ = false;      // ... and accepted
    std::vector<Evento> eventi_;  // for the Qt thread, in order
    bool attendiAddio_ = false;
    std::vector<int> confermatiAddio_;
    std::string ultimoLog_;
};

}  // namespace talumbra_read
