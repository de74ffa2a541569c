// talumbra-read: hosts one ucTalumbra with no window system and prints the
// codes it reads (or, with --events, every event it raises). With several
// ports each gets a talumbra::Lettore of its own: controls in one process
// share one session, and the output of one port stays as it always was.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QHash>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <talumbra/ucTalumbra.h>

#include "Comando.h"
#include "Opzioni.h"
#include "Porta.h"
#include "Pubblicazione.h"

namespace {

using talumbra_read::AttendiComando;
using talumbra_read::AvviaComando;
using talumbra_read::EsitoUscitaPersa;
using talumbra_read::kEsitoAvvio;
using talumbra_read::kEsitoLettoreAssente;
using talumbra_read::kEsitoUscita;
using talumbra_read::Opzioni;
using talumbra_read::Porta;

const char* const kUso =
    "usage: talumbra-read --port N[,N|N-M]... [OPTION]...\n"
    "Reads badges from the reader on port N, with no window, and prints one line\n"
    "per code read (with --events, one per event of the reader control).\n"
    "\n"
    "Options:\n"
    "  --port N          port number, 1 to 256 (required): the entry comN in\n"
    "                    $TALUMBRA_PORTS, else in ~/.config/talumbra/ports, else\n"
    "                    the built-in table (1-32 ttyS0-31, 33-64 ttyUSB0-31,\n"
    "                    65-96 ttyACM0-31). Several ports: --port given again,\n"
    "                    or a list (--port 1,2,5-8); each port is read by itself\n"
    "                    with the same options, and every line then starts with\n"
    "                    its port: \"com2 0123456789\", \"com2 Lettura ...\", on\n"
    "                    standard error too (\"com2 Errore N ...\")\n"
    "  --badge B         badge type: 0 EM4x02 (default), 1 EM4x50, 2 ISO FDX-B,\n"
    "                    3 HITAG 1, 4 HITAG 2\n"
    "  --repeat-ms MS    the same code again within MS ms is dropped (default 500)\n"
    "  --quendel 0|1     bit-order conversion of Pelvan codes (default 1, on)\n"
    "  --type T          device type to start from: 0 Pelvan (default), 1 Kez3,\n"
    "                    2 EmulKez, 3 Mifare MAVO; the presence check may change it\n"
    "                    from the reader's version reply; with 1 there is no check\n"
    "  --check-ms MS     presence check every MS ms, at most every 60000\n"
    "                    (default 0: only after opening)\n"
    "  --events          print every event: \"Lettura CODE\", \"Stato 0|1\",\n"
    "                    \"FindDevice 0|1 TYPE\", \"Anomalia TEXT\"\n"
    "  --count K         end after exactly K codes (default: no limit)\n"
    "  --seconds S       end after S seconds, a fraction allowed (default: no limit)\n"
    "  --retry           a reader that does not answer is asked again at once\n"
    "                    (\"Check connection.\" answered OK; default: Cancel)\n"
    "  --no-reconnect    wait for nothing: a port lost, missing or busy, or a\n"
    "                    reader that does not answer, ends the program (default:\n"
    "                    the reader comes back by itself; each of these is waited\n"
    "                    for, and reported once)\n"
    "  --pipe COMMAND    hand the lines to COMMAND, run by /bin/sh, on its standard\n"
    "                    input instead of printing them; COMMAND ending is an\n"
    "                    output failure (status 5); an empty COMMAND prints them.\n"
    "                    At the end COMMAND gets end of file, and half a second\n"
    "                    later its process group is ended\n"
    "  -h, --help        print this help and exit\n";

// The rest of --help, after the publishing options.
const char* const kUsoFine =
    "\n"
    "Output: in a line, bytes outside 32-126 print as \\xHH and a backslash as \\\\,\n"
    "so every line reads back to the exact bytes. Failures of the control go to\n"
    "standard error as \"Errore N description\" (with --events, as Anomalia lines).\n"
    "\n"
    "Signals: SIGUSR1 assigns Attivo := true again, as a user switching the reader\n"
    "back on: after the reader was pulled and plugged back in, it reopens the port;\n"
    "a failure of it is printed on standard error and the program goes on. With\n"
    "several ports it reopens every port that is closed.\n"
    "SIGTERM, SIGINT, SIGHUP and SIGQUIT end it: it sends the reader its closing\n"
    "sequence (EOT EOT) and exits, also while standard output is full.\n"
    "\n"
    "Exit status:\n"
    "  0   ended by --count, --seconds or a signal\n"
    "  2   bad arguments\n"
    "  3   no reader answered (with --no-reconnect, without --retry)\n"
    "  4   the port could not be set up (with --no-reconnect, also a missing or\n"
    "      busy port), or --pipe could not start its command (not found, not\n"
    "      executable)\n"
    "  5   the output failed (closed, full disk, its reader or the --pipe command\n"
    "      gone): a code that could not be written is lost, and the program ends\n"
    "      at once\n"
    "  10-12  with --publish, as said above\n"
    "With several ports: --count counts the codes of all ports. A port missing,\n"
    "busy, pulled or silent is waited for by itself while the others are read\n"
    "(with --no-reconnect it ends the program, 3 or 4, as for one port). A port\n"
    "that cannot be set up otherwise (not a serial device, say) ends it with 4 at\n"
    "the start. With --publish each port has its own spool, topics, seq and status,\n"
    "and all share one broker connection, whose last will is the group's status\n"
    "(see above); a message about the connection is said by every port. The\n"
    "checks of 2 and 10-12 are made for every port before any port is opened.\n";

// From a close signal to the port closed under a presence check that goes on.
constexpr int kAttesaChiusuraMs = 150;

[[noreturn]] void ErroreUso(const std::string& messaggio) {
    std::fprintf(stderr, "talumbra-read: %s\n%s%s", messaggio.c_str(), kUso, talumbra_read::kUsoConsegna);
    std::exit(2);
}

long long Intero(const std::string& nome, const char* testo, long long minimo, long long massimo) {
    char* fine = nullptr;
    errno = 0;
    long long v = std::strtoll(testo, &fine, 10);
    if (!*testo || *fine || errno == ERANGE || v < minimo || v > massimo)
        ErroreUso(nome + " wants an integer from " + std::to_string(minimo) + " to " + std::to_string(massimo) +
                  ", not '" + testo + "'");
    return v;
}

// One --port value: "5", or a list "1,2,5-8". A port named twice is a typing
// error, not two readers on one device.
void LeggiPorte(const std::string& testo, std::vector<int>& porte) {
    size_t inizio = 0;
    while (true) {
        const size_t fine = std::min(testo.find(',', inizio), testo.size());
        const std::string voce = testo.substr(inizio, fine - inizio);
        const size_t trattino = voce.find('-', 1);
        int da = 0, a = 0;
        if (trattino == std::string::npos) {
            da = a = int(Intero("--port", voce.c_str(), 1, 256));
        } else {
            da = int(Intero("--port", voce.substr(0, trattino).c_str(), 1, 256));
            a = int(Intero("--port", voce.substr(trattino + 1).c_str(), 1, 256));
            if (a < da) ErroreUso("--port: the range '" + voce + "' runs backwards");
        }
        for (int n = da; n <= a; ++n) {
            if (std::find(porte.begin(), porte.end(), n) != porte.end())
                ErroreUso("--port: port " + std::to_string(n) + " is given twice");
            porte.push_back(n);
        }
        if (fine == testo.size()) break;
        inizio = fine + 1;
    }
}

Opzioni Leggi(int argc, char** argv) {
    Opzioni o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto valore = [&]() -> const char* {
            if (i + 1 >= argc) ErroreUso(a + " wants a value");
            return argv[++i];
        };
        if (a == "--port") {
            LeggiPorte(valore(), o.porte);
        } else if (a == "--badge") {
            o.badge = int(Intero(a, valore(), 0, 4));
        } else if (a == "--repeat-ms") {
            o.repeatMs = int(Intero(a, valore(), 0, 2147483647));
        } else if (a == "--quendel") {
            o.quendel = int(Intero(a, valore(), 0, 1));
        } else if (a == "--type") {
            o.tipo = int(Intero(a, valore(), 0, 3));
        } else if (a == "--check-ms") {
            o.checkMs = int(Intero(a, valore(), 0, 2147483647));
        } else if (a == "--events") {
            o.eventi = true;
        } else if (a == "--count") {
            o.conteggio = Intero(a, valore(), 1, 1LL << 62);
        } else if (a == "--seconds") {
            const char* t = valore();
            char* fine = nullptr;
            double s = std::strtod(t, &fine);
            if (!*t || *fine || !(s > 0) || s > 2e6)
                ErroreUso("--seconds wants a positive number, not '" + std::string(t) + "'");
            o.secondi = s;
        } else if (a == "--retry") {
            o.riprova = true;
        } else if (a == "--pipe") {
            o.comando = valore();
        } else if (a == "--no-reconnect") {
            o.riconnetti = false;
        } else if (talumbra_read::LeggiOpzioneConsegna(a, valore, o.consegna, ErroreUso)) {
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUso, stdout);
            std::fputs(talumbra_read::kUsoConsegna, stdout);
            std::fputs(kUsoFine, stdout);
            std::exit(0);
        } else {
            ErroreUso("unknown argument '" + a + "'");
        }
    }
    if (o.porte.empty()) ErroreUso("--port is required");
    return o;
}

// A line as printed: bytes outside 32-126 become \xHH, and the backslash is
// doubled so that the text "\x0D" and the byte 0x0D print differently.
std::string Visibile(const QString& testo) {
    std::string s;
    for (char c : testo.toLatin1().toStdString()) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '\\') {
            s += "\\\\";
        } else if (u >= 32 && u <= 126) {
            s += c;
        } else {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\x%02X", u);
            s += esc;
        }
    }
    s += '\n';
    return s;
}

int pipeSegnali[2] = {-1, -1};
// Set by the handler, read by the loop: a close signal came; SIGUSR1 came.
volatile std::sig_atomic_t chiudere = 0;
volatile std::sig_atomic_t riattivare = 0;

void SuSegnale(int segnale) {
    const int e = errno;
    if (segnale == SIGUSR1)
        riattivare = 1;
    else
        chiudere = 1;
    char c = static_cast<char>(segnale);
    ssize_t r = ::write(pipeSegnali[1], &c, 1);
    (void)r;
    errno = e;
}

// Empties the signal pipe; the flags say what came.
void SvuotaSegnali() {
    char buf[64];
    while (::read(pipeSegnali[0], buf, sizeof buf) > 0) {
    }
}

enum class Scrittura { Fatta, Fallita, Interrotta };

// Writes `s` to standard output, waiting while it is full, but never past a
// close signal: a reader that stops reading must not hold the program, nor
// keep the reader from its closing sequence. Fallita leaves the cause in errno.
Scrittura Scrivi(const std::string& s) {
    size_t fatti = 0;
    while (fatti < s.size()) {
        pollfd p[2] = {{STDOUT_FILENO, POLLOUT, 0}, {pipeSegnali[0], POLLIN, 0}};
        const int r = ::poll(p, 2, chiudere ? 0 : -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return Scrittura::Fallita;
        if (p[0].revents) {
            // At most one pipe buffer: after POLLOUT a pipe takes that much without blocking.
            const ssize_t n = ::write(STDOUT_FILENO, s.data() + fatti, std::min<size_t>(s.size() - fatti, PIPE_BUF));
            if (n > 0) {
                fatti += static_cast<size_t>(n);
                continue;
            }
            if (n == 0) errno = EIO;  // nothing taken, no reason given: do not retry for ever
            if (n == 0 || (errno != EINTR && errno != EAGAIN)) return Scrittura::Fallita;
        }
        if (chiudere) return Scrittura::Interrotta;
        if (p[1].revents & POLLIN) SvuotaSegnali();  // SIGUSR1: its flag waits for the loop
    }
    return Scrittura::Fatta;
}

// The stored properties, built from the flags: case-insensitive keys, defaults.
class Proprieta final : public ucTalumbra::PropertyBag {
public:
    void Imposta(const QString& chiave, const QVariant& v) { valori_.insert(chiave.toLower(), v); }
    QVariant ReadProperty(const QString& chiave, const QVariant& predefinito) override {
        return valori_.value(chiave.toLower(), predefinito);
    }
    void WriteProperty(const QString& chiave, const QVariant& valore, const QVariant&) override {
        Imposta(chiave, valore);
    }

private:
    QHash<QString, QVariant> valori_;
};

class Contenitore final : public ucTalumbra::Container {
public:
    quint32 AmbientBackColor() const override { return 0xFFFFFF; }
    void PropertyChanged(const QString&) override {}
};

// Descriptors 0 and 2 that were closed get /dev/null, so that no port or
// pipe opened later takes their place and receives messages. A closed
// standard output is an output failure from the start.
bool DescrittoriStandard() {
    for (int fd : {STDIN_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) >= 0) continue;
        const int n = ::open("/dev/null", O_RDWR | O_NOCTTY);
        if (n >= 0 && n != fd) {
            ::dup2(n, fd);
            ::close(n);
        }
    }
    if (::fcntl(STDOUT_FILENO, F_GETFD) >= 0) return true;
    std::fprintf(stderr, "talumbra-read: standard output is closed: codes would be lost\n");
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const Opzioni o = Leggi(argc, argv);
    if (!DescrittoriStandard()) return kEsitoUscita;
    if (!o.comando.empty() && !AvviaComando(o.comando)) {
        std::fprintf(stderr, "talumbra-read: cannot start the --pipe command: %s\n", std::strerror(errno));
        return kEsitoAvvio;
    }

    // Signals are caught from the start, so that one coming while the reader
    // is being set up still ends it properly. The close signals interrupt a
    // write to a terminal that blocks (no SA_RESTART); a write end that never
    // blocks keeps a burst of signals from stalling the handler.
    if (::pipe2(pipeSegnali, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("talumbra-read: pipe");
        return kEsitoAvvio;
    }
    struct sigaction sa {};
    sa.sa_handler = SuSegnale;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(s, &sa, nullptr);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &sa, nullptr);
    // A reader of standard output that goes away is a failed write, not a kill.
    std::signal(SIGPIPE, SIG_IGN);

    // No window system: the control lives on the offscreen platform.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // Why the program ends: set once, then the loop (or the control, when it
    // asks its question) winds down.
    std::optional<int> uscita;
    auto Termina = [&](int codice) {
        if (!uscita) uscita = codice;
        app.quit();
    };

    // Output. After a failure nothing more is written; lines cut off by a
    // close signal while the output was full are counted and reported.
    bool uscitaGuasta = false;
    long long nonScritte = 0;
    auto Stampa = [&](const QString& testo) {
        if (uscitaGuasta) return;
        const Scrittura r = Scrivi(Visibile(testo));
        if (r == Scrittura::Fallita) {
            uscitaGuasta = true;
            std::fprintf(stderr, "talumbra-read: cannot write to standard output: %s\n", std::strerror(errno));
            Termina(EsitoUscitaPersa());
        } else if (r == Scrittura::Interrotta) {
            ++nonScritte;
        }
        // A signal whose byte the write's wait took: the loop still hears of it.
        if (riattivare || chiudere) (void)!::write(pipeSegnali[1], "", 1);
    };
    // With --publish a code's line waits for its commit: the codes before
    // any other line are committed and printed first, so the order holds.
    std::unique_ptr<talumbra_read::Pubblicazione> pubblicazione;
    talumbra_read::Recapito* recapito = nullptr;
    auto Riga = [&](const QString& testo) {
        if (recapito) recapito->Salva();
        Stampa(testo);
    };
    // The reader of a pipe on standard output going away (`| head -1`) ends
    // the program at once, before another code is taken from the reader only
    // to be lost.
    struct stat stOut {};
    std::unique_ptr<QSocketNotifier> lettoreUscita;
    if (::fstat(STDOUT_FILENO, &stOut) == 0 && S_ISFIFO(stOut.st_mode)) {
        lettoreUscita = std::make_unique<QSocketNotifier>(STDOUT_FILENO, QSocketNotifier::Read);
        QObject::connect(lettoreUscita.get(), &QSocketNotifier::activated, [&] {
            pollfd p{STDOUT_FILENO, 0, 0};
            lettoreUscita->setEnabled(false);
            if (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLERR | POLLHUP))) return;
            if (uscitaGuasta) return;
            uscitaGuasta = true;
            std::fprintf(stderr, "talumbra-read: cannot write to standard output: %s\n", std::strerror(EPIPE));
            Termina(EsitoUscitaPersa());
        });
    }

    ucTalumbra* controllo = nullptr;
    // With several ports: one session each, no control (controls share one).
    std::vector<std::unique_ptr<Porta>> porte;
    QSocketNotifier segnali(pipeSegnali[0], QSocketNotifier::Read);
    QObject::connect(&segnali, &QSocketNotifier::activated, [&] {
        SvuotaSegnali();
        if (chiudere) {
            Termina(0);
            // A presence check waiting on a silent reader keeps its own loop
            // for seconds: if the program has not ended soon, closing the port
            // ends the check (its next read fails).
            QTimer::singleShot(kAttesaChiusuraMs, &app, [&] {
                try {
                    if (controllo && controllo->Attivo()) controllo->setAttivo(false);
                } catch (...) {
                }
                for (auto& p : porte) p->Chiudi();
            });
        }
        if (!riattivare) return;
        riattivare = 0;
        if (uscita) return;
        // The host's own call: its failure stops here, like a user's click would.
        if (controllo) {
            try {
                controllo->setAttivo(true);
            } catch (const talumbra::Fallimento& f) {
                std::fprintf(stderr, "Errore %d %s\n", f.Numero(), f.Descrizione().c_str());
            } catch (const std::exception& e) {
                std::fprintf(stderr, "Errore 0 %s\n", e.what());
            }
        }
        for (auto& p : porte)
            if (!uscita) p->Riapri();
        std::fflush(stderr);
    });
    if (o.secondi > 0) QTimer::singleShot(static_cast<int>(o.secondi * 1000), &app, [&] { Termina(0); });

    long long letti = 0;
    // A code accepted from any port: --count is exact over all of them, even
    // when a fast stream delivers more before the loop ends.
    auto Conta = [&]() {
        if (o.conteggio > 0 && letti >= o.conteggio) return false;
        if (o.conteggio > 0 && ++letti >= o.conteggio) Termina(0);
        return true;
    };
    if (o.porte.size() > 1) {
        Porta::Ambiente ambiente{o, Stampa, Termina, Conta, [&] { return uscita.has_value() || chiudere; }, porte};
        // Publishing is checked and every spool opened before any port is
        // opened; the broker is reached in the background.
        pubblicazione = talumbra_read::Pubblicazione::Avvia(o.consegna, o.porte, Stampa);
        if (pubblicazione) pubblicazione->Termina = Termina;
        for (size_t i = 0; i < o.porte.size(); ++i)
            porte.push_back(
                std::make_unique<Porta>(o.porte[i], ambiente, pubblicazione ? &pubblicazione->Porta(i) : nullptr));
        for (auto& p : porte) {
            if (uscita || chiudere) break;
            try {
                p->Apri();
            } catch (const talumbra::Fallimento& f) {
                if (!chiudere)
                    std::fprintf(stderr, "com%d Errore %d %s\n", p->Numero(), f.Numero(), f.Descrizione().c_str());
                if (!uscita) uscita = kEsitoAvvio;
            } catch (const std::exception& e) {
                std::fprintf(stderr, "com%d Errore 0 %s\n", p->Numero(), e.what());
                if (!uscita) uscita = kEsitoAvvio;
            }
        }
        if (chiudere) Termina(0);
        if (!uscita) app.exec();
        // Each session sends its reader EOT EOT and closes its port; then
        // each port's status says "offline", and the link ends.
        porte.clear();
        pubblicazione.reset();
        if (nonScritte > 0)
            std::fprintf(stderr, "talumbra-read: ended with standard output full: %lld line(s) not written\n",
                         nonScritte);
        AttendiComando();
        return uscita.value_or(0);
    }
    const int porta = o.porte.front();

    // Publishing is checked and its spool opened before the port is; the
    // broker is reached in the background.
    pubblicazione = talumbra_read::Pubblicazione::Avvia(o.consegna, o.porte, Stampa);
    if (pubblicazione) {
        pubblicazione->Termina = Termina;
        recapito = &pubblicazione->Porta(0);
    }

    Contenitore contenitore;
    controllo = new ucTalumbra(nullptr, &contenitore);

    // Once the program is ending, every further question is answered Cancel.
    controllo->setDomanda([&](const QString&) { return o.riprova && !uscita && !chiudere; });
    QObject::connect(controllo, &ucTalumbra::Lettura, [&](QString& codice) {
        // A fast stream may deliver more codes before the loop ends: --count is exact.
        if (o.conteggio > 0 && letti >= o.conteggio) return;
        const QString riga = o.eventi ? "Lettura " + codice : codice;
        if (recapito)
            recapito->Accetta(codice, controllo->TipoDispositivo(), controllo->TipoBadge(), riga);
        else
            Stampa(riga);
        if (o.conteggio > 0 && ++letti >= o.conteggio) Termina(0);
    });
    QObject::connect(controllo, &ucTalumbra::Stato, [&](bool& attivo) {
        if (o.eventi) Riga(QStringLiteral("Stato %1").arg(attivo ? 1 : 0));
    });
    QObject::connect(controllo, &ucTalumbra::FindDevice, [&](bool& trovato, ucTalumbra::TipoDispositivo_Enum& tipo) {
        if (o.eventi) Riga(QStringLiteral("FindDevice %1 %2").arg(trovato ? 1 : 0).arg(int(tipo)));
        if (!trovato && !o.riprova && !o.riconnetti) Termina(kEsitoLettoreAssente);
    });
    QObject::connect(controllo, &ucTalumbra::Scartata, [&](QString& trama) {
        if (o.eventi) Riga("Scartata " + trama);
    });
    QObject::connect(controllo, &ucTalumbra::Anomalia, [&](QString& testo) {
        if (o.eventi) {
            Riga("Anomalia " + testo);
        } else {
            std::fprintf(stderr, "%s\n", testo.toLocal8Bit().constData());
            std::fflush(stderr);
        }
    });

    Proprieta store;
    store.Imposta("CommPort", QVariant::fromValue<qint16>(static_cast<qint16>(porta)));
    store.Imposta("Attivo", true);
    store.Imposta("TipoBadge", o.badge);
    store.Imposta("TMantCode", o.repeatMs);
    store.Imposta("CodificaQuendel", o.quendel != 0);
    store.Imposta("CheckVersion", 0);
    store.Imposta("RiconnessioneAutomatica", o.riconnetti);

    try {
        if (o.tipo) controllo->setTipoDispositivo(static_cast<ucTalumbra::TipoDispositivo_Enum>(*o.tipo));
        controllo->ReadProperties(store);
        if (o.checkMs && !uscita) controllo->setCheckVersion(*o.checkMs);
    } catch (const talumbra::Fallimento& f) {
        // A check cut short by a close signal (the port closed under it) is no failure.
        if (!chiudere) std::fprintf(stderr, "Errore %d %s\n", f.Numero(), f.Descrizione().c_str());
        if (!uscita) uscita = kEsitoAvvio;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Errore 0 %s\n", e.what());
        if (!uscita) uscita = kEsitoAvvio;
    }

    // A close signal during the set-up: its byte may still wait in the pipe.
    if (chiudere) Termina(0);
    if (!uscita) app.exec();
    if (recapito) recapito->Salva();

    // Destroying the control sends EOT EOT and closes the port.
    delete std::exchange(controllo, nullptr);
    if (nonScritte > 0)
        std::fprintf(stderr, "talumbra-read: ended with standard output full: %lld line(s) not written\n", nonScritte);
    AttendiComando();
    return uscita.value_or(0);
}
