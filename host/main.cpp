// brelvo: the keyboard wedge. Every badge code read goes to the clipboard and,
// with "Scrivi" checked, is typed into the window that has the focus.
#include <sys/socket.h>
#include <unistd.h>
#include <QApplication>
#include <QSocketNotifier>
#include <QWidget>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <utility>

#include "Tastiera.h"
#include "frmMain.h"

namespace {

int pipaSegnali[2] = {-1, -1};
// Set the moment a close signal comes, before the event loop hears of it.
volatile std::sig_atomic_t segnaleChiusura = 0;

void SuSegnale(int) {
    const int e = errno;
    segnaleChiusura = 1;
    const char c = 1;
    [[maybe_unused]] auto n = ::write(pipaSegnali[1], &c, 1);
    errno = e;
}

// Exit status when no display can be reached at start.
constexpr int kEsitoDisplay = 3;

// Qt ends a program that finds no display with an abort; while the
// application is made, that becomes a message and an exit status.
QtMessageHandler gestoreQt = nullptr;

void SuMessaggioQt(QtMsgType tipo, const QMessageLogContext& contesto, const QString& testo) {
    if (gestoreQt) gestoreQt(tipo, contesto, testo);
    if (tipo != QtFatalMsg) return;
    std::fprintf(stderr,
                 "brelvo: nessun display raggiungibile (DISPLAY=%s, WAYLAND_DISPLAY=%s): Brelvo va avviato "
                 "dentro la sessione grafica\n",
                 qgetenv("DISPLAY").constData(), qgetenv("WAYLAND_DISPLAY").constData());
    std::fflush(stderr);
    std::_Exit(kEsitoDisplay);
}

void Uso(FILE* f) {
    std::fputs(
        "Uso: brelvo [--no-reconnect] [--tastiera wayland|x11] [-h|--help]\n"
        "\n"
        "Legge i badge dal lettore sulla porta seriale e mette ogni codice negli\n"
        "appunti; con \"Scrivi\" lo digita anche nella finestra che ha il fuoco,\n"
        "seguito da Invio (\"A capo\") o Freccia giù (\"Freccia giù\").\n"
        "La porta e le opzioni stanno in Seriale.cfg, nella cartella di lavoro.\n"
        "Le porte: la porta N è la voce comN in $TALUMBRA_PORTS (o in\n"
        "~/.config/talumbra/ports), altrimenti /dev/ttyS, ttyUSB, ttyACM.\n"
        "SIGINT, SIGTERM e SIGHUP chiudono la finestra come l'utente, in qualunque momento:\n"
        "Seriale.cfg viene scritto, una domanda aperta si chiude come Annulla.\n"
        "\n"
        "Il lettore staccato e riattaccato, occupato da un altro programma o non ancora\n"
        "collegato all'avvio torna da sé, appena il dispositivo ricompare.\n"
        "\n"
        "I tasti vanno con la tastiera virtuale di Wayland se il compositore la offre,\n"
        "altrimenti con XTest su $DISPLAY.\n"
        "\n"
        "Seriale.cfg: quattro righe di un intero ciascuna: il numero della porta (1),\n"
        "poi \"A capo\", \"Scrivi\" e \"Freccia giù\" (1 sì, 0 no; 0 se mancano).\n"
        "\n"
        "Opzioni:\n"
        "  --no-reconnect   non ricollega da sé il lettore: lo si riattiva con \"Attiva\".\n"
        "  --tastiera NOME  digita con wayland o x11 (anche $BRELVO_TASTIERA; se manca,\n"
        "                   la prima disponibile).\n"
        "  -h, --help       mostra questo testo ed esce.\n"
        "\n"
        "Stato di uscita: 0 la finestra è stata chiusa (dall'utente o da un segnale);\n"
        "1 il collegamento con il display si è interrotto (il server X11 o il compositore\n"
        "  Wayland è terminato): Seriale.cfg non viene scritto;\n"
        "2 un argomento sconosciuto o senza valore, o una tastiera chiesta che non esiste;\n"
        "3 nessun display all'avvio (né DISPLAY né WAYLAND_DISPLAY, o irraggiungibile).\n",
        f);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            Uso(stdout);
            return 0;
        }
    }
    QString forzata = qEnvironmentVariable("BRELVO_TASTIERA");
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--tastiera")) continue;
        if (i + 1 >= argc) {
            std::fprintf(stderr, "brelvo: --tastiera vuole un valore: wayland o x11\n");
            Uso(stderr);
            return 2;
        }
        forzata = QString::fromLocal8Bit(argv[++i]);
    }
    // The window prefers X11 (or XWayland) where there is one, as a Wayland
    // client may not set the clipboard from a window without focus; on a
    // Wayland-only session it is a native Wayland window.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        if (!qEnvironmentVariableIsEmpty("DISPLAY"))
            qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ? "xcb" : "xcb;wayland");
        else if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
            qputenv("QT_QPA_PLATFORM", "wayland");
        else {
            std::fprintf(stderr,
                         "brelvo: nessun display: né DISPLAY né WAYLAND_DISPLAY sono impostati; Brelvo va avviato "
                         "dentro la sessione grafica\n");
            return kEsitoDisplay;
        }
    }

    // SIGINT, SIGTERM and SIGHUP (a logout) close the window as the user would.
    // Caught from the start: one that comes before the window exists waits in
    // the socket and is served as soon as the loop can.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pipaSegnali) == 0) {
        struct sigaction sa {};
        sa.sa_handler = SuSegnale;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
    }

    gestoreQt = qInstallMessageHandler(SuMessaggioQt);
    QApplication app(argc, argv);
    qInstallMessageHandler(std::exchange(gestoreQt, nullptr));
    QApplication::setApplicationName(QStringLiteral("Brelvo"));
    bool riconnetti = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--no-reconnect")) {
            riconnetti = false;
            continue;
        }
        if (!std::strcmp(argv[i], "--tastiera") && i + 1 < argc) {
            ++i;
            continue;
        }
        std::fprintf(stderr, "brelvo: argomento sconosciuto: %s\n", argv[i]);
        Uso(stderr);
        return 2;
    }

    QString perche;
    auto tastiera = brelvo::ScegliTastiera(forzata, &perche);
    if (!tastiera) {
        std::fprintf(stderr, "brelvo: %s\n", qPrintable(perche));
        return 2;
    }
    if (!tastiera->Disponibile())
        std::fprintf(stderr, "Brelvo: %s: i codici vanno solo negli appunti, non vengono digitati.\n",
                     qPrintable(perche));
    else
        std::fprintf(stderr, "Brelvo: tasti inviati con %s.\n", qPrintable(perche));
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        std::fprintf(stderr,
                     "Brelvo: la finestra è nativa Wayland: il compositore può rifiutare gli appunti a una "
                     "finestra che non ha il fuoco, e i codici allora non vi arrivano.\n");

    brelvo::frmMain w(std::move(tastiera));
    if (!riconnetti) w.ucTalumbra1->setRiconnessioneAutomatica(false);

    w.setSegnale(&segnaleChiusura);
    QSocketNotifier notifica(pipaSegnali[0], QSocketNotifier::Read);
    QObject::connect(&notifica, &QSocketNotifier::activated, &w, [&] {
        char buf[16];
        while (::read(pipaSegnali[0], buf, sizeof buf) > 0) {
        }
        w.ChiudiPerSegnale();
        QApplication::quit();
    });

    w.Form_Load();
    if (w.InChiusura()) {  // a signal came during start-up
        w.ChiudiPerSegnale();
        return 0;
    }
    w.show();
    return app.exec();
}
