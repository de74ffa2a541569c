// lettore-badge [PORT]: a window with the badge reader; every code read is
// listed and printed on standard output.
#include <QApplication>
#include <cstdio>

#include "FinestraLettore.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    bool ok = true;
    const int porta = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt(&ok) : 1;
    if (!ok || porta < 1 || porta > 256) {
        std::fprintf(stderr, "usage: lettore-badge [PORT]   (PORT from 1 to 256, default 1)\n");
        return 2;
    }
    FinestraLettore finestra;
    finestra.show();
    finestra.Apri(porta);
    return app.exec();
}
