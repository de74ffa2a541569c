// bench-core-read PORT COUNT: the channel and the front end, without the
// control, on a Pelvan reader already in continuous mode. Prints each code as
// one line on standard output, flushed at once, and ends after COUNT codes.
// The latency bench runs it next to talumbra-read, so the control's own share
// (showing the code in its box) can be told from the channel's.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "channel/clsComunicazioni.h"
#include "platform/PiattaformaQt.h"
#include "readers/clsLettori.h"
#include "talumbra/Fallimento.h"

using namespace talumbra;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench-core-read PORT COUNT\n");
        return 2;
    }
    QCoreApplication app(argc, argv);
    const int porta = std::atoi(argv[1]);
    const long conteggio = std::atol(argv[2]);
    PiattaformaQt pf;
    setPiattaforma(&pf);
    int esito = 0;
    {
        auto lettori = std::make_shared<clsLettori>();
        lettori->TempoMantCode = 0;
        lettori->CodificaQuendelAttiva = false;
        long letti = 0;
        lettori->Lettura = [&](std::string& codice) {
            std::fwrite(codice.data(), 1, codice.size(), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
            if (++letti >= conteggio) app.quit();
        };
        clsComunicazioni& ch = *lettori->Comunicazione;
        try {
            ch.setCommPort(static_cast<int16_t>(porta));
            ch.setCommSettings("9600,n,8,1");
            ch.setAttivo(true);
            ch.OnComm_Attivato();
            app.exec();
            ch.setAttivo(false);
        } catch (const Fallimento& f) {
            std::fprintf(stderr, "Errore %d %s\n", f.Numero(), f.Descrizione().c_str());
            esito = 4;
        }
    }
    setPiattaforma(nullptr);
    return esito;
}
