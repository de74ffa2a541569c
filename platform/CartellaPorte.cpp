#include "platform/CartellaPorte.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace talumbra {

namespace {

std::string Variabile(const char* nome) {
    const char* v = std::getenv(nome);
    return v ? std::string(v) : std::string();
}

bool Assoluto(const std::string& p) { return !p.empty() && p.front() == '/'; }

}  // namespace

std::string CartellaCasa() {
    std::string home = Variabile("HOME");
    if (Assoluto(home)) return home;
    // Services and su -c may run without HOME: the account still has a home.
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && Assoluto(pw->pw_dir)) return pw->pw_dir;
    return {};
}

bool CartellaPorteNominata() { return !Variabile("TALUMBRA_PORTS").empty(); }

std::string CartellaPorte() {
    // An empty value counts as unset, as an empty PATH-like setting would.
    std::string d = Variabile("TALUMBRA_PORTS");
    if (!d.empty()) return d;
    std::string xdg = Variabile("XDG_CONFIG_HOME");
    if (!Assoluto(xdg)) {
        std::string casa = CartellaCasa();
        if (casa.empty()) return {};
        xdg = casa + "/.config";
    }
    return xdg + "/talumbra/ports";
}

}  // namespace talumbra
