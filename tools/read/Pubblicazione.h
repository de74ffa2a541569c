// Publishing from talumbra-read (--publish): the options, and what the ports
// of one program share. Every port has its own spool, queue and status
// (Recapito); all of them go over one link to the receiver, which carries
// one last will: with several ports, that of the group they form.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Consegna.h"
#include "Recapito.h"

namespace talumbra_read {

struct OpzioniConsegna {
    std::string url;
    std::string fileCa, fileCert, fileChiave, filePassword;
    std::int64_t spoolMax = 1000000;
};

// The options' text for --help.
extern const char* const kUsoConsegna;

// True when `a` is one of the publishing options (its value taken with
// `valore`); a bad value goes to `errore`, which does not return.
bool LeggiOpzioneConsegna(const std::string& a, const std::function<const char*()>& valore, OpzioniConsegna& o,
                          void (*errore)(const std::string&));

class Pubblicazione {
public:
    // Checks the options, opens every port's spool and makes the first
    // connection, all before any port is opened; null without --publish. On
    // a refusal it says why, with the name of each port it concerns, and
    // ends the program with its exit status. `stampa` prints a code's line,
    // once the code is committed.
    static std::unique_ptr<Pubblicazione> Avvia(const OpzioniConsegna& o, const std::vector<int>& porte,
                                                std::function<void(const QString&)> stampa);
    // Every port says "offline", then the link ends.
    ~Pubblicazione();

    // The delivery of the i-th port given to Avvia.
    Recapito& Porta(size_t i) { return *recapiti_[i]; }

    // Ends the program with a status, once it runs: the first connection,
    // made in the background, was refused for good (the reason is printed).
    std::function<void(int uscita)> Termina;

private:
    Pubblicazione() = default;
    std::unique_ptr<Consegna> link_;  // outlives the ports' deliveries
    std::vector<std::unique_ptr<Recapito>> recapiti_;
};

}  // namespace talumbra_read
