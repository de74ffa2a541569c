#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/MappaPorte.h"
#include "talumbra/Fallimento.h"
#include "tests/support/PtyCoppia.h"

namespace talumbra::test {
namespace {

int32_t NumeroDi(int porta) {
    try {
        PercorsoPorta(porta);
    } catch (const Fallimento& f) {
        return f.Numero();
    }
    return 0;
}

// Saves and restores an environment variable.
struct Ambiente {
    std::string nome;
    bool cera;
    std::string valore;
    explicit Ambiente(std::string n) : nome(std::move(n)) {
        const char* v = std::getenv(nome.c_str());
        cera = v != nullptr;
        if (v) valore = v;
    }
    ~Ambiente() {
        if (cera)
            ::setenv(nome.c_str(), valore.c_str(), 1);
        else
            ::unsetenv(nome.c_str());
    }
};

TEST(MappaPorte, EntryInTheFolderWinsAndIsReturnedAsLinked) {
    CartellaPorteTemporanea dir;
    PtyCoppia pty(dir, 7);
    EXPECT_EQ(PercorsoPorta(7), pty.Link());
    // A number with no entry and no built-in device.
    EXPECT_EQ(NumeroDi(200), errPortaInesistente);
}

TEST(MappaPorte, MappedNumberWithMissingTargetDoesNotFallBackToTheTable) {
    CartellaPorteTemporanea dir;
    // com1 would otherwise be /dev/ttyS0, which often exists.
    ASSERT_EQ(::symlink("/dev/talumbra-no-such-device", (dir.Percorso() + "/com1").c_str()), 0);
    EXPECT_EQ(NumeroDi(1), errPortaInesistente);
    // An entry that is not a device at all.
    {
        FILE* f = std::fopen((dir.Percorso() + "/com2").c_str(), "w");
        std::fclose(f);
    }
    EXPECT_EQ(NumeroDi(2), errPortaInesistente);
}

// The failure of PercorsoPorta(porta), "number description"; as root, looked up
// by a child that runs as nobody, so that permissions apply.
std::string FallimentoDi(int porta) {
    auto prova = [porta]() -> std::string {
        try {
            return "0 " + PercorsoPorta(porta);
        } catch (const Fallimento& f) {
            return std::to_string(f.Numero()) + " " + f.Descrizione();
        }
    };
    if (::geteuid() != 0) return prova();
    int tubo[2];
    if (::pipe(tubo) != 0) return "pipe";
    const pid_t figlio = ::fork();
    if (figlio == 0) {
        ::close(tubo[0]);
        std::string r = (::setgid(65534) == 0 && ::setuid(65534) == 0) ? prova() : "setuid";
        (void)!::write(tubo[1], r.data(), r.size());
        ::_exit(0);
    }
    ::close(tubo[1]);
    std::string r;
    char buf[512];
    for (ssize_t n; (n = ::read(tubo[0], buf, sizeof buf)) > 0;) r.append(buf, size_t(n));
    ::close(tubo[0]);
    ::waitpid(figlio, nullptr, 0);
    return r;
}

TEST(MappaPorte, OnlyAMissingEntryFallsBackToTheTable) {
    CartellaPorteTemporanea dir;
    const std::string chiusa = dir.Percorso() + "/chiusa", file = dir.Percorso() + "/file";
    ASSERT_EQ(::mkdir(chiusa.c_str(), 0700), 0);
    std::fclose(std::fopen(file.c_str(), "w"));
    struct Caso {
        std::string cartella;
        std::string atteso;  // number, then what the description names
    } casi[] = {
        {chiusa, "8010 Port 1: cannot look up " + chiusa + "/com1: Permission denied"},
        {file, "8002 Port 1 does not exist: cannot look up " + file + "/com1: Not a directory"},
        // Named by hand and not there: never the table's /dev/ttyS0.
        {dir.Percorso() + "/missing",
         "8002 Port 1 does not exist: the ports folder " + dir.Percorso() + "/missing (TALUMBRA_PORTS) does not exist"},
    };
    // Reachable by nobody, except for the folder under test.
    ASSERT_EQ(::chmod(dir.Percorso().c_str(), 0755), 0);
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(chiusa.c_str(), 0), 0);
    }
    Ambiente porte("TALUMBRA_PORTS");
    for (const Caso& c : casi) {
        ::setenv("TALUMBRA_PORTS", c.cartella.c_str(), 1);
        EXPECT_EQ(FallimentoDi(1), c.atteso);
    }
    ::chmod(chiusa.c_str(), 0700);
}

TEST(MappaPorte, FallsBackToXdgConfigHomeThenHome) {
    Ambiente porte("TALUMBRA_PORTS"), xdg("XDG_CONFIG_HOME"), home("HOME");
    CartellaPorteTemporanea base;  // just a temp folder here
    std::string cartella = base.Percorso() + "/talumbra/ports";
    std::filesystem::create_directories(cartella);
    PtyCoppia pty(cartella, 9);

    ::unsetenv("TALUMBRA_PORTS");
    ::setenv("XDG_CONFIG_HOME", base.Percorso().c_str(), 1);
    EXPECT_EQ(CartellaPorte(), cartella);
    EXPECT_EQ(PercorsoPorta(9), pty.Link());
    ::setenv("TALUMBRA_PORTS", "", 1);  // empty counts as unset
    EXPECT_EQ(PercorsoPorta(9), pty.Link());

    // The one rule the simulator shares: it must link where this looks.
    const passwd* pw = ::getpwuid(::getuid());
    ASSERT_TRUE(pw && pw->pw_dir && pw->pw_dir[0] == '/');
    const std::string account = std::string(pw->pw_dir) + "/.config/talumbra/ports";
    const char* unset = nullptr;
    struct Caso {
        const char *porte, *xdg, *home;
        std::string atteso;
    } casi[] = {
        {"/p", "/x", "/h", "/p"},
        {"rel/p", "/x", "/h", "rel/p"},  // named by hand: taken as given
        {unset, "/x", "/h", "/x/talumbra/ports"},
        {unset, "relative/path", "/h", "/h/.config/talumbra/ports"},  // invalid, ignored
        {unset, "", "/h", "/h/.config/talumbra/ports"},
        {unset, unset, "/home/someone", "/home/someone/.config/talumbra/ports"},
        {unset, unset, unset, account},  // no HOME: the account's home
        {unset, "rel", "", account},
        {unset, unset, "relative-home", account},
    };
    for (const auto& c : casi) {
        SCOPED_TRACE(std::string(c.porte ? c.porte : "-") + " " + (c.xdg ? c.xdg : "-") + " " +
                     (c.home ? c.home : "-"));
        for (auto [nome, valore] :
             {std::pair{"TALUMBRA_PORTS", c.porte}, std::pair{"XDG_CONFIG_HOME", c.xdg}, std::pair{"HOME", c.home}}) {
            if (valore)
                ::setenv(nome, valore, 1);
            else
                ::unsetenv(nome);
        }
        EXPECT_EQ(CartellaPorte(), c.atteso);
    }
}

TEST(MappaPorte, BuiltInTableAndRange) {
    CartellaPorteTemporanea dir;  // empty: only the table answers
    for (int n : {0, -1, 257, 32767, 97, 256}) EXPECT_EQ(NumeroDi(n), errPortaInesistente) << n;
    // A table number whose device is missing here.
    for (int n = 33; n <= 96; ++n) {
        std::string dev = n <= 64 ? "/dev/ttyUSB" + std::to_string(n - 33) : "/dev/ttyACM" + std::to_string(n - 65);
        struct stat st {};
        if (::stat(dev.c_str(), &st) == 0) {
            EXPECT_EQ(PercorsoPorta(n), dev);
            continue;
        }
        try {
            PercorsoPorta(n);
            ADD_FAILURE() << n;
        } catch (const Fallimento& f) {
            EXPECT_EQ(f.Numero(), errPortaInesistente);
            EXPECT_NE(f.Descrizione().find(dev), std::string::npos) << f.Descrizione();
            EXPECT_NE(f.Descrizione().find(std::to_string(n)), std::string::npos) << f.Descrizione();
        }
        break;
    }
}

}  // namespace
}  // namespace talumbra::test
