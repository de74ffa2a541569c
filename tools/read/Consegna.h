// One delivery back end: where talumbra-read sends every code besides its own
// output. The spool, the order and the retries live above it, one Recapito
// per port; a back end only connects, sends, and reports acknowledgements,
// for all the ports over one link. Back ends are chosen by the URL's scheme
// from the table in Consegna.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace talumbra_read {

// What --publish and the files next to it name.
struct Destinazione {
    std::string schema;  // "mqtt" or "mqtts"
    std::string host;
    int porta = 0;
    std::string utente, password;
    // With several ports, where the group's status starts: PREFIX/HOST/ports-LIST.
    // Empty with one port, whose own status then carries the last will.
    std::string gruppo;
    std::string idClient;
    std::string fileCa, fileCert, fileChiave;
};

// The first connection was refused for good: the program ends with `uscita`.
struct Rifiuto : std::runtime_error {
    Rifiuto(int u, const std::string& m) : std::runtime_error(m), uscita(u) {}
    int uscita;
};

// One port's traffic on the link: where its topics start, and what the link
// tells it. Every callback runs on the main (Qt) thread.
struct Canale {
    std::string radice;               // PREFIX/HOST/comN
    std::string stato;                // its status, kept at the receiver (sent again on each connection)
    std::function<void()> Collegata;  // (re)connected: resend from the oldest spooled code
    std::function<void()> Scollegata;
    std::function<void(std::int64_t seq)> Confermato;
    std::function<void(std::int64_t seq, const std::string& motivo)> Rifiutato;
    // Refused for good, whatever the retries: this code can never go (too large).
    std::function<void(std::int64_t seq, const std::string& motivo)> Respinto;
    // One line for standard error: about this port, or about the link, which
    // every port says with its own name.
    std::function<void(const std::string&)> Avviso;
};

// One link to the receiver for the whole program, shared by its ports. Every
// call and every callback happens on the main (Qt) thread.
class Consegna {
public:
    virtual ~Consegna() = default;
    // A port's traffic, added before Avvia; returns its number for the calls below.
    virtual int Aggiungi(Canale c) = 0;
    // Starts connecting, in the background, before any port is opened: it
    // waits a moment only, so that a refusal that comes at once (login, TLS)
    // throws Rifiuto before the reader is touched. A receiver slow to answer
    // or not there is tried again with a back-off, and never holds the reader
    // up; a refusal of the first connection that comes later is Fallita.
    // `statoAddio` is the last will of a single port; a group's is "offline".
    virtual void Avvia(const std::string& statoAddio) = 0;
    virtual bool Pronta() const = 0;
    // Sends one code of port `canale`; Confermato, Rifiutato or Respinto
    // follows. False: not sent (the link just went down); the code stays spooled.
    virtual bool Invia(int canale, std::int64_t seq, const std::string& dati) = 0;
    // The port's status, kept at the receiver (sent again on each connection).
    virtual void Stato(int canale, const std::string& testo) = 0;
    // A port's end: sends `statoOffline` and waits a little at most for it,
    // and for the acknowledgements before it; the port hears nothing more.
    virtual void Chiudi(int canale, const std::string& statoOffline) = 0;
    // The link's end, after every port's: a group's status is cleared, and
    // the receiver is told goodbye.
    virtual void Fine() = 0;

    // The first connection was refused for good after Avvia returned: the
    // program is to end with `uscita`, the reason said by every port.
    std::function<void(int uscita, const std::string& motivo)> Fallita;
};

// The back end for `d.schema`, or null when no back end handles it.
std::unique_ptr<Consegna> CreaConsegna(const Destinazione& d);
bool SchemaConsegna(const std::string& schema);
// The schemes the table knows, for messages: "mqtt, mqtts".
std::string SchemiConsegna();

}  // namespace talumbra_read
