// One port's publishing: every accepted code is committed to the port's
// spool, then handed to the link that the ports share, in order, and removed
// from the spool once the receiver has acknowledged it. The options and the
// shared link are in Pubblicazione.h.
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

class Recapito {
public:
    // Port `porta`'s traffic on `link`, before the link starts: its topics
    // start at `radice`, and its messages with `nome` ("com2 " with several
    // ports, else nothing). `stampa` prints a code's line, once the code is
    // committed.
    Recapito(Consegna& link, int porta, std::string nome, std::string host, const std::string& radice,
             std::string percorso, std::unique_ptr<Spool> spool, std::function<void(const QString&)> stampa);
    // Says "offline" on the port's status; the link outlives it.
    ~Recapito();

    // One code accepted by the control (device and badge: the control's
    // types), and its line: printed once the code is committed.
    void Accetta(const QString& codice, int dispositivo, int badge, const QString& riga);
    // Commits the codes accepted so far, then prints their lines and sends
    // them. Before any other line is printed, so that lines keep their order.
    void Salva();

    std::string TestoStato(const char* stato) const;
    // One line on standard error, with the port's name.
    void Avvisa(const std::string& testo) const;
    const std::string& Percorso() const { return percorso_; }
    std::int64_t InAttesa() const { return spool_->Conta(); }

private:
    // A code that the full disk keeps out of the spool: sent from memory.
    struct InMemoria {
        std::int64_t seq;
        std::string dati;
        bool confermato;
    };
    bool Committa(const std::vector<Spool::Voce>& voci);
    void ControllaSpool();
    void RiprovaDisco();
    void InMemoria_(std::vector<Spool::Voce>& voci);
    void Pompa();
    bool Invia(std::int64_t seq, const std::string& dati);
    void Ripulisci();
    void Respinto(std::int64_t seq, const std::string& motivo);
    bool Tolto(std::int64_t seq) const;

    int porta_;
    std::string nome_, host_, percorso_;
    std::unique_ptr<Spool> spool_;
    Consegna& consegna_;
    int canale_ = 0;
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
