#include "Pubblicazione.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QSysInfo>
#include <QUrl>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/CartellaPorte.h"

namespace talumbra_read {

const char* const kUsoConsegna =
    "Publishing (next to the output above):\n"
    "  --publish URL       mqtt://[user[:password]@]host[:port]/prefix, or mqtts://... (ports 1883\n"
    "                      and 8883 by default). Each code goes to PREFIX/HOST/comN/code (QoS 1) as\n"
    "                      JSON: code, port, device, badge, time, host, seq (goes on across restarts),\n"
    "                      source (the spool's random id: a (source, seq) pair names one code).\n"
    "                      The prefix is UTF-8 with no control character, '+' or '#'.\n"
    "                      PREFIX/HOST/comN/status holds \"online\" or \"offline\" (retained; \"offline\"\n"
    "                      is also the last will), followed by \" dropped=N\" once codes were lost, and\n"
    "                      \" refused=N\" once the broker refused codes for good (too large).\n"
    "                      With several ports, one connection carries them all, and its last\n"
    "                      will is \"offline\" on PREFIX/HOST/ports-LIST/status (LIST as --port\n"
    "                      writes it, sorted: 1,2,5-8), which says \"online\" while connected\n"
    "                      and is cleared after each port's \"offline\" at a clean end: a reader\n"
    "                      is offline when its own status says so, or when a group status\n"
    "                      listing it says \"offline\" and none listing it says \"online\".\n"
    "  --ca-file FILE      mqtts: the CA certificates to trust (default: the system's)\n"
    "  --cert FILE --key FILE   mqtts: a client certificate and its key\n"
    "  --password-file FILE     the password, from the first line of FILE, out of the process list\n"
    "  --spool-max N       codes kept while the broker is away (default 1000000); when full, the\n"
    "                      oldest are dropped with a warning\n"
    "  Every code is committed to $XDG_STATE_HOME/talumbra/comN.spool (default ~/.local/state/...)\n"
    "  before it is printed and sent, and removed once the broker acknowledges it. On a full disk\n"
    "  codes are printed and sent from memory (4096 at most wait there) until the spool takes them.\n"
    "With --publish, exit status 2 also stands for a malformed URL or an unreadable file, and:\n"
    "10 the broker refused the login; 11 TLS failure (an untrusted certificate, a wrong host\n"
    "name); 12 the spool cannot be opened (or another talumbra-read on the port holds it).\n";

namespace {

constexpr size_t kMassimoPassword = 4096;

// A refusal at the start: said for each port it concerns (none: the command
// line's own, said once), and the program ends before any port is opened.
[[noreturn]] void Fine(int uscita, const std::string& testo, const std::vector<std::string>& nomi = {""}) {
    for (const std::string& n : nomi) std::fprintf(stderr, "%stalumbra-read: %s\n", n.c_str(), testo.c_str());
    std::exit(uscita);
}

// The content of a regular file of at most `massimo` bytes. Looked at before
// it is opened, and opened without blocking: a FIFO or a device named by
// mistake would wait for ever, or be acted on.
std::string ContenutoFile(const std::string& opzione, const std::string& file, off_t massimo) {
    auto male = [&](const std::string& perche) { Fine(2, opzione + ": cannot read '" + file + "': " + perche); };
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) male(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) male("not a regular file");
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) male(std::strerror(errno));
    std::string dati;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        male("not a regular file");
    }
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            male(std::strerror(e));
        }
        if (n == 0) break;
        dati.append(buf, size_t(n));
        if (off_t(dati.size()) > massimo) {
            ::close(fd);
            male("larger than " + std::to_string(massimo) + " bytes");
        }
    }
    ::close(fd);
    return dati;
}

// Certificates and keys are read by the TLS library itself: checked here, so
// that it only gets a regular file of a sane size.
std::string Leggibile(const std::string& opzione, const std::string& file) {
    (void)ContenutoFile(opzione, file, 16 << 20);
    return file;
}

// The URL as it may be shown: a password in it becomes "***", and a very
// long one is cut.
std::string SenzaPassword(std::string url) {
    const size_t inizio = url.find("://");
    if (inizio != std::string::npos) {
        const size_t fine = std::min(url.find('/', inizio + 3), url.size());
        const size_t chiocciola = url.rfind('@', fine - 1);
        const size_t duepunti = url.find(':', inizio + 3);
        if (chiocciola != std::string::npos && chiocciola > inizio + 3 && duepunti < chiocciola)
            url = url.substr(0, duepunti + 1) + "***" + url.substr(chiocciola);
    }
    return url.size() > 200 ? url.substr(0, 200) + "..." : url;
}

// Valid UTF-8 with no control character nor noncharacter: what a broker
// takes in a topic. Anything else is refused by it, and every code with it.
bool TestoMqtt(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        int n = 0;
        char32_t u = 0;
        if (c < 0x80) {
            u = c;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1, u = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2, u = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3, u = c & 0x07;
        } else {
            return false;
        }
        if (i + size_t(n) >= s.size() + (n ? 0 : 1)) return false;
        for (int k = 1; k <= n; ++k) {
            const unsigned char d = static_cast<unsigned char>(s[i + size_t(k)]);
            if ((d & 0xC0) != 0x80) return false;
            u = (u << 6) | (d & 0x3F);
        }
        static constexpr char32_t kMinimo[] = {0, 0x80, 0x800, 0x10000};
        if (u < kMinimo[n] || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return false;  // overlong, surrogate
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) return false;
        if ((u >= 0xFDD0 && u <= 0xFDEF) || (u & 0xFFFE) == 0xFFFE) return false;
        i += size_t(n) + 1;
    }
    return true;
}

// A topic's length is a 16-bit number on the wire.
constexpr size_t kArgomentoMax = 65535;

// The link's destination; `base` gets where the topics start: PREFIX/HOST.
// `argomenti`: the longest topic level after it ("com12/status").
Destinazione Destinatario(const OpzioniConsegna& o, const std::string& host, size_t argomenti, std::string& base) {
    const QUrl u(QString::fromStdString(o.url), QUrl::StrictMode);
    auto male = [&](const std::string& perche) {
        Fine(2, "--publish: malformed URL '" + SenzaPassword(o.url) + "': " + perche);
    };
    if (!u.isValid()) male(u.errorString().section(';', 0, 0).toStdString());
    Destinazione d;
    d.schema = u.scheme().toLower().toStdString();
    if (!SchemaConsegna(d.schema)) male("the scheme must be one of " + SchemiConsegna());
    d.host = u.host(QUrl::FullyDecoded).toStdString();
    if (d.host.empty()) male("no host");
    d.porta = u.port(d.schema == "mqtts" ? 8883 : 1883);
    if (d.porta <= 0) male("port 0");
    if (u.hasQuery() || u.hasFragment()) male("a query or fragment has no meaning here");
    d.utente = u.userName(QUrl::FullyDecoded).toStdString();
    d.password = u.password(QUrl::FullyDecoded).toStdString();
    // The bytes as written: decoding to text would turn invalid UTF-8 into
    // replacement characters instead of refusing it.
    std::string prefisso = QByteArray::fromPercentEncoding(u.path(QUrl::FullyEncoded).toLatin1()).toStdString();
    while (!prefisso.empty() && prefisso.front() == '/') prefisso.erase(0, 1);
    while (!prefisso.empty() && prefisso.back() == '/') prefisso.pop_back();
    if (prefisso.find_first_of(std::string("+#\0", 3)) != std::string::npos)
        male("the topic prefix may not hold '+', '#' or NUL");
    if (!TestoMqtt(prefisso)) male("the topic prefix must be UTF-8 text with no control character, as MQTT topics are");
    base = (prefisso.empty() ? "" : prefisso + "/") + host;
    if (base.size() + 1 + argomenti > kArgomentoMax)
        male("the topic prefix is too long: a topic holds at most " + std::to_string(kArgomentoMax) + " bytes");

    if (!o.filePassword.empty()) {
        if (!d.password.empty()) Fine(2, "--password-file: the URL holds a password already");
        if (d.utente.empty()) Fine(2, "--password-file: the URL names no user");
        const std::string testo = ContenutoFile("--password-file", o.filePassword, 64 << 10);
        std::string riga = testo.substr(0, testo.find('\n'));
        while (!riga.empty() && riga.back() == '\r') riga.pop_back();
        // Cut short, or cut at a NUL, it would be another password.
        if (riga.size() > kMassimoPassword)
            Fine(2, "--password-file: the first line of '" + o.filePassword + "' is longer than " +
                        std::to_string(kMassimoPassword) + " bytes");
        if (riga.find('\0') != std::string::npos)
            Fine(2, "--password-file: the first line of '" + o.filePassword + "' holds a NUL byte");
        if (riga.empty()) Fine(2, "--password-file: '" + o.filePassword + "' starts with an empty line");
        d.password = riga;
    }
    if (d.schema != "mqtts" && !(o.fileCa.empty() && o.fileCert.empty() && o.fileChiave.empty()))
        Fine(2, "--ca-file, --cert and --key want an mqtts:// URL");
    if (o.fileCert.empty() != o.fileChiave.empty()) Fine(2, "--cert and --key go together");
    if (!o.fileCa.empty()) d.fileCa = Leggibile("--ca-file", o.fileCa);
    if (!o.fileCert.empty()) d.fileCert = Leggibile("--cert", o.fileCert);
    if (!o.fileChiave.empty()) d.fileChiave = Leggibile("--key", o.fileChiave);
    return d;
}

// The host name as a topic level: what a level may not hold ('/', '+',
// '#'), and what no topic may (control characters), become '_'.
std::string NomeHost() {
    QString h = QSysInfo::machineHostName();
    for (QChar& c : h)
        if (c == u'/' || c == u'+' || c == u'#' || c.category() == QChar::Other_Control || c.isNonCharacter()) c = u'_';
    const std::string s = h.toStdString();
    return s.empty() ? "localhost" : s;
}

// The host name in a client id: letters, digits, '.', '-' and '_' only.
std::string IdHost(const std::string& host) {
    std::string s = host;
    for (char& c : s)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_')) c = '_';
    return s;
}

std::string CartellaSpool(const std::vector<std::string>& nomi) {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // The same home as the ports folder's: HOME, else the account's.
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) {
        const std::string casa = talumbra::CartellaCasa();
        if (casa.empty()) Fine(12, "no folder for the spool: HOME is not set and the account has no home", nomi);
        base = QString::fromStdString(casa) + "/.local/state";
    }
    const QString cartella = base + "/talumbra";
    if (!QDir().mkpath(cartella)) Fine(12, "cannot create the spool folder " + cartella.toStdString(), nomi);
    return cartella.toStdString();
}

// The ports as --port writes them, sorted: "1,2,5-8" (a run of three or more
// is a range).
std::string ListaPorte(std::vector<int> porte) {
    std::sort(porte.begin(), porte.end());
    std::string s;
    for (size_t i = 0; i < porte.size();) {
        size_t j = i;
        while (j + 1 < porte.size() && porte[j + 1] == porte[j] + 1) ++j;
        auto voce = [&](size_t k) { s += (s.empty() ? "" : ",") + std::to_string(porte[k]); };
        if (j - i >= 2) {
            voce(i);
            s += "-" + std::to_string(porte[j]);
        } else {
            for (size_t k = i; k <= j; ++k) voce(k);
        }
        i = j + 1;
    }
    return s;
}

}  // namespace

bool LeggiOpzioneConsegna(const std::string& a, const std::function<const char*()>& valore, OpzioniConsegna& o,
                          void (*errore)(const std::string&)) {
    if (a == "--publish") {
        o.url = valore();
        // An empty URL (an unset variable in a unit file) must not quietly turn publishing off.
        if (o.url.empty()) errore("--publish wants a URL, not ''");
    } else if (a == "--ca-file") {
        o.fileCa = valore();
    } else if (a == "--cert") {
        o.fileCert = valore();
    } else if (a == "--key") {
        o.fileChiave = valore();
    } else if (a == "--password-file") {
        o.filePassword = valore();
    } else if (a == "--spool-max") {
        const std::string t = valore();
        char* fine = nullptr;
        errno = 0;
        const long long v = std::strtoll(t.c_str(), &fine, 10);
        if (t.empty() || *fine || errno == ERANGE || v < 1 || v > (1LL << 40))
            errore("--spool-max wants a number of codes from 1 to " + std::to_string(1LL << 40) + ", not '" + t + "'");
        o.spoolMax = v;
    } else {
        return false;
    }
    return true;
}

std::unique_ptr<Pubblicazione> Pubblicazione::Avvia(const OpzioniConsegna& o, const std::vector<int>& porte,
                                                    std::function<void(const QString&)> stampa) {
    if (o.url.empty()) {
        if (!(o.fileCa.empty() && o.fileCert.empty() && o.fileChiave.empty() && o.filePassword.empty()))
            Fine(2, "--ca-file, --cert, --key and --password-file go with --publish");
        return nullptr;
    }
    const bool gruppo = porte.size() > 1;
    std::vector<std::string> nomi;
    for (int n : porte) nomi.push_back(gruppo ? "com" + std::to_string(n) + " " : "");
    const std::string host = NomeHost();
    // The longest topic: a port's status, or with several the group's.
    const std::string lista = ListaPorte(porte);
    size_t argomenti = (gruppo ? "ports-" + lista : "com" + std::to_string(porte[0])).size() + 7;
    for (int n : porte) argomenti = std::max(argomenti, ("com" + std::to_string(n) + "/status").size());
    std::string base;
    Destinazione d = Destinatario(o, host, argomenti, base);

    // Every port's spool is opened before the link is made: one that cannot
    // be opened ends the program before anything is published.
    const std::string cartella = CartellaSpool(nomi);
    std::vector<std::unique_ptr<Spool>> spool;
    std::vector<std::pair<int, std::string>> sorgenti;
    for (size_t i = 0; i < porte.size(); ++i) {
        try {
            spool.push_back(
                std::make_unique<Spool>(cartella + "/com" + std::to_string(porte[i]) + ".spool", o.spoolMax));
        } catch (const std::exception& e) {
            Fine(12, std::string("cannot open the spool: ") + e.what(), {nomi[i]});
        }
        sorgenti.emplace_back(porte[i], spool.back()->Sorgente());
    }
    // One client id for each spool, or set of spools: twin readers (a cloned
    // machine, two accounts on one host) would otherwise push each other off
    // the broker. A group's is made from its ports' spools, so it is never
    // that of any port read alone.
    if (!gruppo) {
        d.idClient = "talumbra-" + IdHost(host) + "-com" + std::to_string(porte[0]) + "-" + sorgenti[0].second;
    } else {
        std::sort(sorgenti.begin(), sorgenti.end());
        QCryptographicHash h(QCryptographicHash::Sha256);
        for (const auto& [n, s] : sorgenti) h.addData(QByteArray::fromStdString(std::to_string(n) + ":" + s + ";"));
        d.idClient = "talumbra-" + IdHost(host) + "-ports-" + h.result().toHex().left(16).toStdString();
        d.gruppo = base + "/ports-" + lista;
    }
    std::unique_ptr<Pubblicazione> p(new Pubblicazione);
    try {
        p->link_ = CreaConsegna(d);
    } catch (const std::exception& e) {
        Fine(2, std::string("--publish: ") + e.what());
    }
    if (!p->link_) Fine(2, "--publish: no back end for '" + d.schema + "'");
    for (size_t i = 0; i < porte.size(); ++i) {
        const std::string percorso = cartella + "/com" + std::to_string(porte[i]) + ".spool";
        p->recapiti_.push_back(std::make_unique<Recapito>(*p->link_, porte[i], nomi[i], host,
                                                          base + "/com" + std::to_string(porte[i]), percorso,
                                                          std::move(spool[i]), stampa));
    }
    Pubblicazione* io = p.get();
    p->link_->Fallita = [io](int uscita, const std::string& motivo) {
        for (const auto& r : io->recapiti_) r->Avvisa(motivo);
        if (io->Termina) io->Termina(uscita);
    };
    try {
        p->link_->Avvia(p->recapiti_[0]->TestoStato("offline"));
    } catch (const Rifiuto& e) {
        Fine(e.uscita, e.what(), nomi);
    }
    for (const auto& r : p->recapiti_)
        if (r->InAttesa() > 0)
            r->Avvisa("codes waiting in the spool " + r->Percorso() + ": " + std::to_string(r->InAttesa()));
    return p;
}

Pubblicazione::~Pubblicazione() {
    // Each port says "offline" in turn, in the order given, then the link ends.
    for (auto& r : recapiti_) r.reset();
    if (link_) link_->Fine();
}

}  // namespace talumbra_read
