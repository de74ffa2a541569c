#pragma once
// talumbra-sim as a child process on a port folder: its standard output is
// read line by line, its standard error kept for failure messages.
//
//   Simulatore sim(cartella.Percorso(), {"--port", "5", "0102030405"});
//   ASSERT_TRUE(sim.Pronto()) << sim.Errori();   // "ready port 5 /dev/pts/N"
//   sim.Scrivi("unplug");                          // with conStdin
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace talumbra::test {

inline constexpr int AttesaLunga = 10'000;  // ms: "something happens"

class Simulatore {
public:
    // Without `conStdin` its standard input is /dev/null.
    Simulatore(const std::string& cartellaPorte, std::vector<std::string> argomenti, bool conStdin = false);
    ~Simulatore();
    Simulatore(const Simulatore&) = delete;
    Simulatore& operator=(const Simulatore&) = delete;

    // The next line of standard output, or nullopt at its end or at `ms`.
    std::optional<std::string> Riga(int ms = AttesaLunga);
    // The first line at or after the next one that starts with `inizio`.
    std::optional<std::string> RigaCheInizia(const std::string& inizio, int ms = AttesaLunga);
    // Waits for the next "ready port N DEVICE" line: true, with Porta() and
    // Dispositivo() set, when it is the next line.
    bool Pronto(int ms = AttesaLunga);
    int Porta() const { return porta_; }
    const std::string& Dispositivo() const { return dispositivo_; }

    // A line on its standard input.
    void Scrivi(const std::string& riga);
    void Segnale(int s);
    // Pulls the reader out, or plugs it back (SIGUSR1).
    void Stacca();
    // Its exit status (128 + signal when killed) once it ends; -1 at `ms`.
    int Fine(int ms = AttesaLunga);
    // What it wrote on standard error so far.
    std::string Errori() const;
    // Waits until its standard error holds `testo` (with -v: the requests it
    // understood, say).
    bool AttendiErrori(const std::string& testo, int ms = AttesaLunga) const;
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int pidfd_ = -1, uscita_ = -1, ingresso_ = -1, errori_ = -1;
    std::string buf_;
    int porta_ = 0;
    std::string dispositivo_;
};

}  // namespace talumbra::test
