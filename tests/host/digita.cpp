// brelvo_digita: types lines from standard input with Brelvo's keystroke
// layer, for tests and the typing benchmark. Each input line is one text, in
// UTF-8, where \xHH stands for the byte HH (a Latin-1 character); after each
// text it sends Return (--invio) or Down (--giu) and prints "fatto", or
// "errore <description>". --tastiera NAME picks the back end (by default as
// Brelvo does); the choice and its reason go to standard error.
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
    QString forzata;
    for (int i = 1; i < argc; ++i) {
        invio = invio || !std::strcmp(argv[i], "--invio");
        giu = giu || !std::strcmp(argv[i], "--giu");
        if (!std::strcmp(argv[i], "--tastiera") && i + 1 < argc) forzata = QString::fromLocal8Bit(argv[++i]);
    }
    QString perche;
    auto t = brelvo::ScegliTastiera(forzata, &perche);
    std::fprintf(stderr, "digita: %s\n", qPrintable(perche));
    if (!t || !t->Disponibile()) {
        std::printf("assente %s\n", qPrintable(perche));
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
