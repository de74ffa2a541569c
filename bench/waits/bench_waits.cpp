// What the channel's waits cost in CPU while nothing comes: each must sleep on
// the port, not spin. Over a pseudo-terminal with the real port and platform.
//
//   bench-waits [rounds]   (default 5)
//
// Measures, per round:
//   reply wait   a 500 ms CR LF reply wait against a silent reader
//   framed wait  a 500 ms framed reply wait against a silent reader
//   frame tail   the frame receiver after a valid frame and one noise byte:
//                the 250 ms it keeps hunting before it ends
// and prints wall time, CPU time (user + system) and their ratio. Target: under 2%.
#include <time.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "channel/clsComunicazioni.h"
#include "platform/PiattaformaQt.h"
#include "readers/clsLettori.h"
#include "tests/support/PtyCoppia.h"

using namespace talumbra;

namespace {

double CpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double WallMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Misura {
    double wall = 0, cpu = 0;
};

Misura Misura1(const std::function<void()>& prova) {
    const double w0 = WallMs(), c0 = CpuMs();
    prova();
    return {WallMs() - w0, CpuMs() - c0};
}

void Stampa(const char* nome, int giri, const Misura& m) {
    std::printf("%-12s rounds %d  wall %8.1f ms  cpu %7.2f ms  cpu/wall %5.2f%%  %s\n", nome, giri, m.wall, m.cpu,
                m.wall > 0 ? 100.0 * m.cpu / m.wall : 0.0, m.cpu < 0.02 * m.wall ? "(under 2%)" : "(OVER 2%)");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int giri = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    test::CartellaPorteTemporanea cartella;
    test::PtyCoppia pty(cartella, 5);
    PiattaformaQt pf;
    setPiattaforma(&pf);
    {
        auto lettori = std::make_shared<clsLettori>();
        clsComunicazioni& ch = *lettori->Comunicazione;
        ch.setCommPort(5);
        ch.setCommSettings("9600,n,8,1");
        ch.setAttivo(true);

        Misura risposta, trama, coda;
        int fuori = 0;
        for (int i = 0; i < giri; ++i) {
            int16_t esito = -1;
            std::string r;
            const Misura a = Misura1([&] { ch.InviaComando_RiceviRisposta("v", esito, r, true, 500); });
            fuori += esito != 1;
            risposta.wall += a.wall;
            risposta.cpu += a.cpu;

            const Misura b = Misura1([&] { ch.InviaComando_RiceviRisposta_MAVO("x", esito, r); });
            fuori += esito != 1;
            trama.wall += b.wall;
            trama.cpu += b.cpu;
        }
        pty.Leggi(1024, 50);  // what the commands wrote

        // The frame receiver as the port's notification runs it: the frame,
        // the noise byte, then its hunt for more until the limit.
        lettori->PELVAN().setConType(2);
        int codici = 0, notifiche = 0;
        ch.ComRX = [&](std::string&) { ++codici; };
        ch.Seriale->OnComm = [&] {
            const Misura c = Misura1([&] { ch.Seriale_OnComm(); });
            coda.wall += c.wall;
            coda.cpu += c.cpu;
            ++notifiche;
        };
        ch.OnComm_Attivato();
        for (int i = 0; i < giri; ++i) {
            pty.Scrivi(std::string("\x00\x01\x02\x03\x04\x05\xF1", 7) + "x");
            QDeadlineTimer limite(5000);
            while (notifiche <= i && !limite.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        std::printf("bench-waits over a pty (%s)\n", pty.Slave().c_str());
        Stampa("reply wait", giri, risposta);
        Stampa("framed wait", giri, trama);
        Stampa("frame tail", giri, coda);
        if (fuori || codici != giri)
            std::printf("unexpected outcomes: %d replies, %d of %d codes\n", fuori, codici, giri);
        ch.setAttivo(false);
    }
    setPiattaforma(nullptr);
    return 0;
}
