// What the control's port list costs: probing the numbers 1 to 256 the way the
// channel's probe does (number, settings, open, close) with the port layer.
//
//   bench-ports [rounds]          devices of the built-in table that exist here
//                                 are skipped, so no real device is touched
//   bench-ports --all [rounds]    opens them too (briefly, at 9600,n,8,1)
#include <sys/stat.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "talumbra/Fallimento.h"
#include "platform/MappaPorte.h"
#include "platform/PortaPosix.h"
#include "tests/support/PtyCoppia.h"

using namespace talumbra;
using Orologio = std::chrono::steady_clock;

namespace {

bool DispositivoReale(int n) {
    // The table's own device (when no comN entry shadows it) exists here.
    std::string p;
    try {
        p = PercorsoPorta(n);
    } catch (const Fallimento&) {
        return false;
    }
    return p.rfind("/dev/", 0) == 0;
}

struct Esito {
    double ms;
    int usabili, occupate, assenti, saltate;
};

Esito Sonda(bool tutte) {
    Esito e{};
    PortaPosix porta;
    auto t0 = Orologio::now();
    for (int n = PrimaPorta; n <= UltimaPorta; ++n) {
        if (!tutte && DispositivoReale(n)) {
            ++e.saltate;
            continue;
        }
        try {
            porta.setCommPort(static_cast<int16_t>(n));
            (void)porta.Settings();
            porta.setPortOpen(true);
            porta.setPortOpen(false);
            ++e.usabili;
        } catch (const Fallimento& f) {
            (f.Numero() == errPortaOccupata || f.Numero() == errDispositivoNonDisponibile ? e.occupate : e.assenti)++;
        }
    }
    e.ms = std::chrono::duration<double, std::milli>(Orologio::now() - t0).count();
    return e;
}

double SoloRicerca() {
    auto t0 = Orologio::now();
    for (int n = PrimaPorta; n <= UltimaPorta; ++n) {
        try {
            (void)PercorsoPorta(n);
        } catch (const Fallimento&) {
        }
    }
    return std::chrono::duration<double, std::milli>(Orologio::now() - t0).count();
}

void Stampa(const char* cosa, std::vector<Esito> v) {
    std::sort(v.begin(), v.end(), [](const Esito& a, const Esito& b) { return a.ms < b.ms; });
    const Esito& m = v[v.size() / 2];
    std::printf(
        "%-44s median %8.3f ms  min %8.3f ms  max %8.3f ms  (usable %d, busy/unusable %d, absent %d, skipped %d)\n",
        cosa, m.ms, v.front().ms, v.back().ms, m.usabili, m.occupate, m.assenti, m.saltate);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    bool tutte = false;
    int giri = 20;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--all") == 0)
            tutte = true;
        else
            giri = std::max(1, std::atoi(argv[i]));
    }

    test::CartellaPorteTemporanea vuota;
    {
        std::vector<Esito> v;
        for (int i = 0; i < giri; ++i) v.push_back(Esito{SoloRicerca(), 0, 0, 0, 0});
        Stampa("lookup only, 256 numbers", v);
    }
    {
        std::vector<Esito> v;
        for (int i = 0; i < giri; ++i) v.push_back(Sonda(tutte));
        Stampa("probe 256 numbers, empty ports folder", v);
    }
    {
        // 32 pseudo-terminals as com1 to com32 (they also hide /dev/ttyS*).
        std::vector<std::unique_ptr<test::PtyCoppia>> pty;
        for (int n = 1; n <= 32; ++n) pty.push_back(std::make_unique<test::PtyCoppia>(vuota, n));
        std::vector<Esito> v;
        for (int i = 0; i < giri; ++i) v.push_back(Sonda(tutte));
        Stampa("probe 256 numbers, 32 of them ptys", v);
    }
    return 0;
}
