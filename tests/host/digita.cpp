// brelvo_digita: types lines from standard input with Brelvo's keystroke
// layer, for tests and the typing benchmark. Each input line is one text, in
// UTF-8, where \xHH stands for the byte HH (a Latin-1 character); after each
// text it sends Return (--invio) or Down (--giu) and prints "fatto", or
// "errore <description>".
#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "talumbra/Fallimento.h"
#include "host/Tastiera.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    bool invio = false, giu = false;
    for (int i = 1; i < argc; ++i) {
        invio = invio || !std::strcmp(argv[i], "--invio");
        giu = giu || !std::strcmp(argv[i], "--giu");
    }
    auto t = brelvo::CreaTastieraX11();
    if (!t->Disponibile()) {
        std::printf("assente %s\n", qPrintable(t->Motivo()));
        return 3;
    }
    std::string riga;
    while (std::getline(std::cin, riga)) {
        QString testo;
        const QString r = QString::fromUtf8(riga);
        for (qsizetype i = 0; i < r.size(); ++i) {
            if (r[i] == '\\' && i + 3 < r.size() && r[i + 1] == 'x') {
                bool ok = false;
                const int v = r.mid(i + 2, 2).toInt(&ok, 16);
                if (ok) {
                    testo += QChar(v);
                    i += 3;
                    continue;
                }
            }
            testo += r[i];
        }
        try {
            t->Scrivi(testo);
            if (invio) t->Premi(brelvo::Tastiera::Tasto::Invio);
            if (giu) t->Premi(brelvo::Tastiera::Tasto::FrecciaGiu);
            std::printf("fatto\n");
        } catch (const talumbra::Fallimento& f) {
            std::printf("errore %s\n", f.Descrizione().c_str());
        }
        std::fflush(stdout);
    }
    return 0;
}
