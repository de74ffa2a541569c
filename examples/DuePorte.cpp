// lettore-due-porte PORT PORT: two badge readers read side by side by a
// program with no window. Each port has its own talumbra::Lettore; every code
// is printed with the port it came from ("com7 0123456789").
#include <QCoreApplication>
#include <cstdio>
#include <memory>
#include <vector>

#include <talumbra/Lettore.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    auto uso = [] {
        std::fprintf(stderr, "usage: lettore-due-porte PORT PORT   (PORT from 1 to 256)\n");
        return 2;
    };
    if (argc != 3) return uso();
    std::vector<std::unique_ptr<talumbra::Lettore>> lettori;
    for (int i = 1; i < argc; ++i) {
        bool ok = false;
        const int porta = QString::fromLocal8Bit(argv[i]).toInt(&ok);
        if (!ok || porta < 1 || porta > 256) return uso();

        auto lettore = std::make_unique<talumbra::Lettore>();
        QObject::connect(lettore.get(), &talumbra::Lettore::Lettura, [porta](const QString& codice) {
            std::printf("com%d %s\n", porta, codice.toLatin1().constData());
            std::fflush(stdout);
        });
        QObject::connect(lettore.get(), &talumbra::Lettore::Anomalia, [porta](const QString& testo) {
            std::fprintf(stderr, "com%d %s\n", porta, testo.toLatin1().constData());
        });
        QObject::connect(lettore.get(), &talumbra::Lettore::FindDevice, [porta](bool trovato, int) {
            if (!trovato) std::fprintf(stderr, "com%d: no reader answers\n", porta);
        });
        lettore->setTMantCode(500);
        // A reader unplugged, or not plugged in yet, is waited for.
        lettore->setRiconnessioneAutomatica(true);
        try {
            lettore->setCommPort(porta);
            // Opens the port and asks the reader who it is.
            lettore->Riconnetti(true);
        } catch (const talumbra::Fallimento& f) {
            std::fprintf(stderr, "com%d: Errore %d %s\n", porta, f.Numero(), f.Descrizione().c_str());
            return 1;
        }
        lettori.push_back(std::move(lettore));
    }
    return app.exec();
}
