// One port of several in talumbra-read: its own session and presence check.
// Every line it prints starts with its name ("com2 Lettura ..."), on stderr
// too, so that the lines of many readers can be told apart.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include <talumbra/Lettore.h>

#include "Opzioni.h"
#include "Recapito.h"

namespace talumbra_read {

class Porta {
public:
    struct Ambiente {
        const Opzioni& o;
        std::function<void(const QString&)> riga;  // a line for the output, in order
        std::function<void(int)> termina;
        std::function<bool()> conta;    // false: --count is reached, the code is not printed
        std::function<bool()> finendo;  // the program is ending: questions are answered no
        const std::vector<std::unique_ptr<Porta>>& porte;
    };

    // `recapito`: the port's publishing, or null; it outlives the port.
    Porta(int numero, Ambiente& a, Recapito* recapito);
    // The codes still waiting for their commit are printed before the
    // reader is closed.
    ~Porta();

    // Opens the port and identifies the reader, as the control does when
    // loaded with Attivo set. Throws what cannot be waited out.
    void Apri();
    // SIGUSR1: a closed port is opened again; its failure is said and the
    // program goes on.
    void Riapri();
    // Ending: a check waiting on a silent reader ends at its next read.
    void Chiudi();

    bool InVerifica() const { return l_.VerificaInCorso(); }
    int Numero() const { return numero_; }

private:
    void Arma(int ms) { check_.start(std::min(ms, kMaxIntervalloCheck)); }
    void Riga(const QString& testo);
    void Verifica();

    static constexpr int kMaxIntervalloCheck = 60000;
    static constexpr int kAttesaAltraVerificaMs = 50;
    const int numero_;
    const QString nome_;
    Ambiente& a_;
    Recapito* const recapito_;
    talumbra::Lettore l_;
    QTimer check_;
    QElapsedTimer rinvio_;  // since when the check waits for another port's
};

}  // namespace talumbra_read
