// talumbra-read's options, as its command line gives them, and its exit
// statuses: read by the program and by each port it reads.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Pubblicazione.h"

namespace talumbra_read {

// Exit statuses.
constexpr int kEsitoLettoreAssente = 3;
constexpr int kEsitoAvvio = 4;
constexpr int kEsitoUscita = 5;

struct Opzioni {
    std::vector<int> porte;  // in the order given; one entry: the output of a single reader
    int badge = 0;
    int repeatMs = 500;
    int quendel = 1;
    std::optional<int> tipo;
    std::optional<int> checkMs;
    bool eventi = false;
    long long conteggio = 0;  // 0: no limit
    double secondi = 0;       // 0: no limit
    bool riprova = false;
    std::string comando;  // --pipe; empty: standard output
    bool riconnetti = true;
    OpzioniConsegna consegna;
};

}  // namespace talumbra_read
