// talumbra-read: hosts one ucTalumbra with no window system and prints the
// codes it reads (or, with --events, every event it raises).
#include <unistd.h>
#include <QApplication>
#include <QHash>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include <talumbra/ucTalumbra.h>

namespace {

const char* const kUso =
    "usage: talumbra-read --port N [--badge 0..4] [--repeat-ms MS] [--quendel 0|1] [--type 0..3]\n"
    "                     [--check-ms MS] [--events] [--count K] [--seconds S] [--retry]\n"
    "SIGUSR1 assigns Attivo := true again, as a user switching the reader back on:\n"
    "after the reader was pulled and plugged back in, it reopens the port. A failure\n"
    "of it is printed as \"Errore N description\" on standard error; the program goes on.\n";

struct Opzioni {
    int porta = 0;
    int badge = 0;
    int repeatMs = 500;
    int quendel = 1;
    std::optional<int> tipo;
    std::optional<int> checkMs;
    bool eventi = false;
    long long conteggio = 0;  // 0: no limit
    double secondi = 0;       // 0: no limit
    bool riprova = false;
};

[[noreturn]] void ErroreUso(const std::string& messaggio) {
    std::fprintf(stderr, "talumbra-read: %s\n%s", messaggio.c_str(), kUso);
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

Opzioni Leggi(int argc, char** argv) {
    Opzioni o;
    bool conPorta = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto valore = [&]() -> const char* {
            if (i + 1 >= argc) ErroreUso(a + " wants a value");
            return argv[++i];
        };
        if (a == "--port") {
            o.porta = int(Intero(a, valore(), 1, 256));
            conPorta = true;
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
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUso, stdout);
            std::exit(0);
        } else {
            ErroreUso("unknown argument '" + a + "'");
        }
    }
    if (!conPorta) ErroreUso("--port is required");
    return o;
}

// One line on standard output, at once. Bytes outside 32-126 become \xHH.
void Riga(const QString& testo) {
    std::string s;
    for (char c : testo.toLatin1().toStdString()) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 32 && u <= 126) {
            s += c;
        } else {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\x%02X", u);
            s += esc;
        }
    }
    s += '\n';
    std::fwrite(s.data(), 1, s.size(), stdout);
    std::fflush(stdout);
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

int pipeSegnali[2] = {-1, -1};

void SuSegnale(int segnale) {
    char c = static_cast<char>(segnale);
    ssize_t r = ::write(pipeSegnali[1], &c, 1);
    (void)r;
}

}  // namespace

int main(int argc, char** argv) {
    const Opzioni o = Leggi(argc, argv);

    // No window system: the control lives on the offscreen platform.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    if (::pipe(pipeSegnali) != 0) {
        std::perror("talumbra-read: pipe");
        return 4;
    }
    struct sigaction sa {};
    sa.sa_handler = SuSegnale;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGUSR1, &sa, nullptr);

    // Why the program ends: set once, then the loop (or the control, when it
    // asks its question) winds down.
    std::optional<int> uscita;
    auto Termina = [&](int codice) {
        if (!uscita) uscita = codice;
        app.quit();
    };

    ucTalumbra* controllo = nullptr;
    QSocketNotifier segnali(pipeSegnali[0], QSocketNotifier::Read);
    QObject::connect(&segnali, &QSocketNotifier::activated, [&] {
        char buf[16];
        const ssize_t r = ::read(pipeSegnali[0], buf, sizeof buf);
        bool riattiva = false;
        for (ssize_t i = 0; i < r; ++i) {
            if (buf[i] == SIGUSR1)
                riattiva = true;
            else
                Termina(0);
        }
        if (!riattiva || uscita || !controllo) return;
        // The host's own call: its failure stops here, like a user's click would.
        try {
            controllo->setAttivo(true);
        } catch (const talumbra::Fallimento& f) {
            std::fprintf(stderr, "Errore %d %s\n", f.Numero(), f.Descrizione().c_str());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "Errore 0 %s\n", e.what());
        }
        std::fflush(stderr);
    });
    if (o.secondi > 0) QTimer::singleShot(static_cast<int>(o.secondi * 1000), &app, [&] { Termina(0); });

    Contenitore contenitore;
    controllo = new ucTalumbra(nullptr, &contenitore);
    long long letti = 0;

    // Once the program is ending, every further question is answered Cancel.
    controllo->setDomanda([&](const QString&) { return o.riprova && !uscita; });
    QObject::connect(controllo, &ucTalumbra::Lettura, [&](QString& codice) {
        Riga(o.eventi ? "Lettura " + codice : codice);
        if (o.conteggio > 0 && ++letti >= o.conteggio) Termina(0);
    });
    QObject::connect(controllo, &ucTalumbra::Stato, [&](bool& attivo) {
        if (o.eventi) Riga(QStringLiteral("Stato %1").arg(attivo ? 1 : 0));
    });
    QObject::connect(controllo, &ucTalumbra::FindDevice, [&](bool& trovato, ucTalumbra::TipoDispositivo_Enum& tipo) {
        if (o.eventi) Riga(QStringLiteral("FindDevice %1 %2").arg(trovato ? 1 : 0).arg(int(tipo)));
        if (!trovato && !o.riprova) Termina(3);
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
    store.Imposta("CommPort", QVariant::fromValue<qint16>(static_cast<qint16>(o.porta)));
    store.Imposta("Attivo", true);
    store.Imposta("TipoBadge", o.badge);
    store.Imposta("TMantCode", o.repeatMs);
    store.Imposta("CodificaQuendel", o.quendel != 0);
    store.Imposta("CheckVersion", 0);

    try {
        if (o.tipo) controllo->setTipoDispositivo(static_cast<ucTalumbra::TipoDispositivo_Enum>(*o.tipo));
        controllo->ReadProperties(store);
        if (o.checkMs && !uscita) controllo->setCheckVersion(*o.checkMs);
    } catch (const talumbra::Fallimento& f) {
        std::fprintf(stderr, "Errore %d %s\n", f.Numero(), f.Descrizione().c_str());
        uscita = 4;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Errore 0 %s\n", e.what());
        uscita = 4;
    }

    if (!uscita) app.exec();

    // Destroying the control sends EOT EOT and closes the port.
    delete std::exchange(controllo, nullptr);
    return uscita.value_or(0);
}
