#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "talumbra/Fallimento.h"
#include "platform/MappaPorte.h"
#include "tests/platform/PtyCoppia.h"

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

    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(CartellaPorte(), "/home/someone/.config/talumbra/ports");
    ::setenv("XDG_CONFIG_HOME", "relative/path", 1);  // invalid, ignored
    EXPECT_EQ(CartellaPorte(), "/home/someone/.config/talumbra/ports");
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
