// Publishing from talumbra-read: every accepted code is committed to the
// port's spool, then handed to the delivery back end, in order, and removed
// from the spool once the receiver has acknowledged it.
#pragma once

#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Consegna.h"
#include "Spool.h"

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

class Recapito {
public:
    // Checks the options, opens the spool and makes the first connection, all
    // before the port is opened. On a refusal it prints the reason and ends
    // the program with its exit status.
    static std::unique_ptr<Recapito> Avvia(const OpzioniConsegna& o, int porta);
    ~Recapito();

    // One code accepted by the control (device and badge: the control's types).
    void Accetta(const QString& codice, int dispositivo, int badge);

    // Ends the program with a status, once it runs: the first connection,
    // made in the background, was refused for good (the reason is printed).
    std::function<void(int uscita)> Termina;

private:
    Recapito(const OpzioniConsegna& o, int porta, std::unique_ptr<Spool> spool, std::unique_ptr<Consegna> c);
    void Scrivi();
    void Pompa();
    void Ripulisci();
    std::string TestoStato(const char* stato) const;
    void Avvisa(const std::string& testo) const;

    int porta_;
    std::string host_;
    std::unique_ptr<Spool> spool_;
    std::unique_ptr<Consegna> consegna_;
    std::vector<std::string> daScrivere_;   // accepted, not yet committed
    std::vector<std::int64_t> daTogliere_;  // acknowledged, not yet removed
    std::int64_t inVolo_ = 0;
    std::int64_t ultimoInviato_ = 0;  // the spool is sent from the code after this
    bool sonda_ = false;              // refused: one code at a time until one is accepted
    bool avvisatoPieno_ = false;
    bool avvisatoRifiuto_ = false;
    bool avvisatoDisco_ = false;
    int attesaRifiutoMs_ = 0;
    QTimer scrivi_, togli_, riprova_, stato_;
};

}  // namespace talumbra_read
