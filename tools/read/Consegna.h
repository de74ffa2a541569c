// One delivery back end: where talumbra-read sends every code besides its own
// output. The spool, the order and the retries live above it (Recapito); a
// back end only connects, sends, and reports acknowledgements. Back ends are
// chosen by the URL's scheme from the table in Consegna.cpp.
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
    std::string radice;  // where this reader's topics start: PREFIX/HOST/comN
    std::string idClient;
    std::string fileCa, fileCert, fileChiave;
};

// The first connection was refused for good: the program ends with `uscita`.
struct Rifiuto : std::runtime_error {
    Rifiuto(int u, const std::string& m) : std::runtime_error(m), uscita(u) {}
    int uscita;
};

// Every call and every callback happens on the main (Qt) thread.
class Consegna {
public:
    virtual ~Consegna() = default;
    // Starts connecting, in the background, before any port is opened: it
    // waits a moment only, so that a refusal that comes at once (login, TLS)
    // throws Rifiuto before the reader is touched. A receiver slow to answer
    // or not there is tried again with a back-off, and never holds the reader
    // up; a refusal of the first connection that comes later is Fallita.
    virtual void Avvia(const std::string& statoOnline, const std::string& statoOffline) = 0;
    virtual bool Pronta() const = 0;
    // Sends one code; Confermato, Rifiutato or Respinto follows. False: not sent (the
    // link just went down); the code stays spooled.
    virtual bool Invia(std::int64_t seq, const std::string& dati) = 0;
    // The reader's status, kept at the receiver (sent again on each connection).
    virtual void Stato(const std::string& testo) = 0;
    // Ending: sends `statoOffline` and says goodbye, waiting a little at most.
    virtual void Chiudi(const std::string& statoOffline) = 0;

    std::function<void()> Collegata;  // (re)connected: resend from the oldest spooled code
    std::function<void()> Scollegata;
    std::function<void(std::int64_t seq)> Confermato;
    std::function<void(std::int64_t seq, const std::string& motivo)> Rifiutato;
    // Refused for good, whatever the retries: this code can never go (too large).
    std::function<void(std::int64_t seq, const std::string& motivo)> Respinto;
    std::function<void(const std::string&)> Avviso;  // one line for standard error
    // The first connection was refused for good after Avvia returned: the
    // program is to end with `uscita`, the reason printed.
    std::function<void(int uscita, const std::string& motivo)> Fallita;
};

// The back end for `d.schema`, or null when no back end handles it.
std::unique_ptr<Consegna> CreaConsegna(const Destinazione& d);
bool SchemaConsegna(const std::string& schema);
// The schemes the table knows, for messages: "mqtt, mqtts".
std::string SchemiConsegna();

}  // namespace talumbra_read
