#include "tests/support/Simulatore.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <stdexcept>

namespace talumbra::test {

namespace {

using Orologio = std::chrono::steady_clock;

int Resta(Orologio::time_point fine) {
    auto r = std::chrono::duration_cast<std::chrono::milliseconds>(fine - Orologio::now()).count();
    return r < 0 ? 0 : static_cast<int>(r);
}

}  // namespace

Simulatore::Simulatore(const std::string& cartellaPorte, std::vector<std::string> argomenti, bool conStdin) {
    int out[2], in[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || (conStdin && ::pipe2(in, O_CLOEXEC) != 0)) throw std::runtime_error("pipe");
    // Standard error goes to an unnamed file, so that a chatty child never
    // blocks on a pipe nobody reads.
    FILE* err = std::tmpfile();
    if (!err) throw std::runtime_error("tmpfile");
    errori_ = ::dup(::fileno(err));
    std::fclose(err);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(errori_, STDERR_FILENO);
        ::dup2(conStdin ? in[0] : ::open("/dev/null", O_RDONLY), STDIN_FILENO);
        ::setenv("TALUMBRA_PORTS", cartellaPorte.c_str(), 1);
        std::string prog = TALUMBRA_SIM_PATH;
        std::vector<char*> argv{prog.data()};
        for (auto& a : argomenti) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(prog.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    uscita_ = out[0];
    if (conStdin) {
        ::close(in[0]);
        ingresso_ = in[1];
    }
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
}

Simulatore::~Simulatore() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);  // it removes its link on the way out
        if (Fine() < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    for (int fd : {pidfd_, uscita_, ingresso_, errori_})
        if (fd >= 0) ::close(fd);
}

std::optional<std::string> Simulatore::Riga(int ms) {
    const auto fine = Orologio::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (auto nl = buf_.find('\n'); nl != std::string::npos) {
            std::string l = buf_.substr(0, nl);
            buf_.erase(0, nl + 1);
            return l;
        }
        pollfd p{uscita_, POLLIN, 0};
        if (::poll(&p, 1, Resta(fine)) <= 0) return std::nullopt;
        char b[512];
        ssize_t n = ::read(uscita_, b, sizeof b);
        if (n <= 0) return std::nullopt;
        buf_.append(b, static_cast<size_t>(n));
    }
}

std::optional<std::string> Simulatore::RigaCheInizia(const std::string& inizio, int ms) {
    const auto fine = Orologio::now() + std::chrono::milliseconds(ms);
    while (auto l = Riga(Resta(fine)))
        if (l->rfind(inizio, 0) == 0) return l;
    return std::nullopt;
}

bool Simulatore::Pronto(int ms) {
    auto l = Riga(ms);
    static const std::regex re(R"(ready port (\d+) (\S+))");
    std::smatch m;
    if (!l || !std::regex_match(*l, m, re)) return false;
    porta_ = std::stoi(m[1]);
    dispositivo_ = m[2];
    return true;
}

void Simulatore::Scrivi(const std::string& riga) {
    std::string r = riga + "\n";
    if (ingresso_ < 0 || ::write(ingresso_, r.data(), r.size()) != static_cast<ssize_t>(r.size()))
        throw std::runtime_error("cannot write to the simulator's standard input");
}

void Simulatore::Segnale(int s) {
    if (pid_ > 0) ::kill(pid_, s);
}

void Simulatore::Stacca() { Segnale(SIGUSR1); }

int Simulatore::Fine(int ms) {
    if (pid_ <= 0) return -1;
    const auto fine = Orologio::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int st = 0;
        if (::waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        int resta = Resta(fine);
        if (resta == 0) return -1;
        // The process descriptor becomes readable when the child ends.
        pollfd p{pidfd_, POLLIN, 0};
        if (pidfd_ < 0 || ::poll(&p, 1, resta) < 0) ::poll(nullptr, 0, std::min(resta, 10));
    }
}

std::string Simulatore::Errori() const {
    std::string testo;
    char b[4096];
    off_t at = 0;
    for (ssize_t n; (n = ::pread(errori_, b, sizeof b, at)) > 0; at += n) testo.append(b, static_cast<size_t>(n));
    return testo;
}

bool Simulatore::AttendiErrori(const std::string& testo, int ms) const {
    const auto fine = Orologio::now() + std::chrono::milliseconds(ms);
    // A file gives no readiness to wait on: look again every 10 ms.
    while (Errori().find(testo) == std::string::npos) {
        if (Resta(fine) == 0) return false;
        ::poll(nullptr, 0, 10);
    }
    return true;
}

}  // namespace talumbra::test
