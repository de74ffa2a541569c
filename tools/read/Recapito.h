// Publishing from talumbra-read: every accepted code is committed to the
// port's spool, then handed to the delivery back end, in order, and removed
// from the spool once the receiver has acknowledged it.
#pragma once

#include <QString>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
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
    // the program with its exit status. `stampa` prints a code's line, once
    // the code is committed.
    static std::unique_ptr<Recapito> Avvia(const OpzioniConsegna& o, int porta,
                                           std::function<void(const QString&)> stampa);
    ~Recapito();

    // One code accepted by the control (device and badge: the control's
    // types), and its line: printed once the code is committed.
    void Accetta(const QString& codice, int dispositivo, int badge, const QString& riga);
    // Commits the codes accepted so far, then prints their lines and sends
    // them. Before any other line is printed, so that lines keep their order.
    void Salva();

    // Run before a refusal at the start ends the program: with several
    // ports, the deliveries already started end cleanly, not cut by exit().
    static inline std::function<void()> PrimaDiUscire;

    // Ends the program with a status, once it runs: the first connection,
    // made in the background, was refused for good (the reason is printed).
    std::function<void(int uscita)> Termina;

private:
    // A code that the full disk keeps out of the spool: sent from memory.
    struct InMemoria {
        std::int64_t seq;
        std::string dati;
        bool confermato;
    };
    Recapito(int porta, std::string percorso, std::unique_ptr<Spool> spool, std::unique_ptr<Consegna> c);
    bool Committa(const std::vector<Spool::Voce>& voci);
    void ControllaSpool();
    void RiprovaDisco();
    void InMemoria_(std::vector<Spool::Voce>& voci);
    void Pompa();
    bool Invia(std::int64_t seq, const std::string& dati);
    void Ripulisci();
    void Respinto(std::int64_t seq, const std::string& motivo);
    std::string TestoStato(const char* stato) const;
    void Avvisa(const std::string& testo) const;
    bool Tolto(std::int64_t seq) const;

    int porta_;
    std::string host_, percorso_;
    std::unique_ptr<Spool> spool_;
    std::unique_ptr<Consegna> consegna_;
    std::function<void(const QString&)> stampa_;
    std::int64_t seq_;                            // the next code's
    std::vector<Spool::Voce> nuovi_;              // accepted, not yet committed
    std::vector<QString> righe_;                  // their lines
    std::deque<InMemoria> memoria_;               // in seq order
    std::map<std::int64_t, std::int64_t> tolti_;  // acknowledged seq ranges the spool could not remove
    std::vector<std::int64_t> daTogliere_;        // acknowledged, not yet removed
    std::int64_t inVolo_ = 0;
    std::int64_t ultimoInviato_ = 0;  // the spool is sent from the code after this
    std::int64_t persiMemoria_ = 0;   // codes lost this run: the disk full and the memory too
    std::int64_t respintiMemoria_ = 0;
    bool sonda_ = false;  // refused: one code at a time until one is accepted
    bool avvisatoPieno_ = false;
    bool avvisatoRifiuto_ = false;
    bool avvisatoRespinto_ = false;
    bool discoPieno_ = false;
    bool avvisatoTolti_ = false;
    int attesaRifiutoMs_ = 0;
    QTimer scrivi_, togli_, riprova_, stato_, disco_;
};

}  // namespace talumbra_read
