#include "tests/support/PtyCoppia.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace talumbra::test {

CartellaPorteTemporanea::CartellaPorteTemporanea(bool mascheraDispositivi) {
    std::string modello = (std::filesystem::temp_directory_path() / "talumbra-ports-XXXXXX").string();
    if (!::mkdtemp(modello.data())) throw std::runtime_error("mkdtemp failed");
    percorso_ = modello;
    if (const char* v = std::getenv("TALUMBRA_PORTS")) {
        cera_ = true;
        prima_ = v;
    }
    ::setenv("TALUMBRA_PORTS", percorso_.c_str(), 1);
    if (!mascheraDispositivi) return;
    const char* famiglie[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
    for (int f = 0; f < 3; ++f)
        for (int i = 0; i < 32; ++i)
            if (std::filesystem::exists(famiglie[f] + std::to_string(i)))
                Collega(f * 32 + i + 1, "/nonexistent/talumbra-masked");
}

CartellaPorteTemporanea::~CartellaPorteTemporanea() {
    if (cera_)
        ::setenv("TALUMBRA_PORTS", prima_.c_str(), 1);
    else
        ::unsetenv("TALUMBRA_PORTS");
    std::error_code e;
    std::filesystem::remove_all(percorso_, e);
}

bool CartellaPorteTemporanea::Collega(int n, const std::string& dispositivo) const {
    return ::symlink(dispositivo.c_str(), (percorso_ + "/com" + std::to_string(n)).c_str()) == 0;
}

PtyCoppia::PtyCoppia() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        throw std::runtime_error("cannot create a pseudo-terminal");
    slave_ = ::ptsname(master_);
    // Raw on the slave (set through the master) so nothing is echoed or
    // translated before the port opens; the master side is raw already.
    termios t{};
    ::tcgetattr(master_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(master_, TCSANOW, &t);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyCoppia::PtyCoppia(const std::string& cartella, int numero) : PtyCoppia() {
    link_ = cartella + "/com" + std::to_string(numero);
    ::unlink(link_.c_str());
    if (::symlink(slave_.c_str(), link_.c_str()) != 0) throw std::runtime_error("cannot link " + link_);
}

PtyCoppia::~PtyCoppia() {
    ChiudiMaster();
    if (!link_.empty()) ::unlink(link_.c_str());
}

void PtyCoppia::Scrivi(const std::string& byte) {
    size_t fatto = 0;
    while (fatto < byte.size()) {
        ssize_t n = ::write(master_, byte.data() + fatto, byte.size() - fatto);
        if (n > 0) {
            fatto += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            throw std::runtime_error("write to the pty master failed");
        }
    }
}

std::string PtyCoppia::Leggi(size_t n, int ms) {
    const auto fine = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::string letto;
    while (letto.size() < n) {
        char buf[4096];
        ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - letto.size()));
        if (r > 0) {
            letto.append(buf, static_cast<size_t>(r));
            continue;
        }
        auto resta = std::chrono::duration_cast<std::chrono::milliseconds>(fine - std::chrono::steady_clock::now());
        if (resta.count() <= 0) break;
        pollfd p{master_, POLLIN, 0};
        // With no slave open the master reports a hang-up at once: wait in
        // short steps then, for the port to open it again.
        if (::poll(&p, 1, static_cast<int>(resta.count())) > 0 && !(p.revents & POLLIN)) ::poll(nullptr, 0, 20);
    }
    return letto;
}

std::string PtyCoppia::Letto() {
    std::string tutto;
    char buf[4096];
    for (ssize_t n; (n = ::read(master_, buf, sizeof buf)) > 0;) tutto.append(buf, static_cast<size_t>(n));
    return tutto;
}

termios PtyCoppia::Impostazioni() const {
    termios t{};
    ::tcgetattr(master_, &t);  // on a master this is the slave's
    return t;
}

void PtyCoppia::ChiudiMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

}  // namespace talumbra::test
