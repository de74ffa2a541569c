#include "Recapito.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <QSysInfo>
#include <QUrl>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <talumbra/ucTalumbra.h>

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

constexpr int kFinestra =
    1024;  // codes sent and not yet acknowledged, at most: a stall of this thread does not stop a replay
constexpr int kRimuoviOgniMs = 20;
constexpr int kRimuoviSubito = 1000;
constexpr int kScriviSubito = 1000;
constexpr int kRiprovaMaxMs = 60000;
// Codes kept in memory while the disk is full: about 1 MB.
constexpr int kMemoriaMax = 4096;
constexpr size_t kMassimoPassword = 4096;

[[noreturn]] void Fine(int uscita, const std::string& testo) {
    std::fprintf(stderr, "talumbra-read: %s\n", testo.c_str());
    if (auto prima = std::exchange(Recapito::PrimaDiUscire, nullptr)) prima();
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

Destinazione Destinatario(const OpzioniConsegna& o, const std::string& host, int porta) {
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
    d.radice = (prefisso.empty() ? "" : prefisso + "/") + host + "/com" + std::to_string(porta);
    if (d.radice.size() + std::string("/status").size() > kArgomentoMax)
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

std::string CartellaSpool() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // The same home as the ports folder's: HOME, else the account's.
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) {
        const std::string casa = talumbra::CartellaCasa();
        if (casa.empty()) Fine(12, "no folder for the spool: HOME is not set and the account has no home");
        base = QString::fromStdString(casa) + "/.local/state";
    }
    const QString cartella = base + "/talumbra";
    if (!QDir().mkpath(cartella)) Fine(12, "cannot create the spool folder " + cartella.toStdString());
    return cartella.toStdString();
}

// Local time with milliseconds and the offset always written out ("+00:00", not "Z").
QString Iso8601(const QDateTime& t) {
    const int s = t.offsetFromUtc(), a = std::abs(s) / 60;
    return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
           QString::asprintf("%c%02d:%02d", s < 0 ? '-' : '+', a / 60, a % 60);
}

template <typename E>
QString Nome(int v) {
    const char* k = QMetaEnum::fromType<E>().valueToKey(v);
    return k ? QString::fromLatin1(k) : QString::number(v);
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

std::unique_ptr<Recapito> Recapito::Avvia(const OpzioniConsegna& o, int porta,
                                          std::function<void(const QString&)> stampa) {
    if (o.url.empty()) {
        if (!(o.fileCa.empty() && o.fileCert.empty() && o.fileChiave.empty() && o.filePassword.empty()))
            Fine(2, "--ca-file, --cert, --key and --password-file go with --publish");
        return nullptr;
    }
    const std::string host = NomeHost();
    Destinazione d = Destinatario(o, host, porta);

    const std::string percorso = CartellaSpool() + "/com" + std::to_string(porta) + ".spool";
    std::unique_ptr<Spool> spool;
    try {
        spool = std::make_unique<Spool>(percorso, o.spoolMax);
    } catch (const std::exception& e) {
        Fine(12, std::string("cannot open the spool: ") + e.what());
    }
    // One client id for each spool: twin readers (a cloned machine, two
    // accounts on one host) would otherwise push each other off the broker.
    d.idClient = "talumbra-" + IdHost(host) + "-com" + std::to_string(porta) + "-" + spool->Sorgente();
    std::unique_ptr<Consegna> c;
    try {
        c = CreaConsegna(d);
    } catch (const std::exception& e) {
        Fine(2, std::string("--publish: ") + e.what());
    }
    if (!c) Fine(2, "--publish: no back end for '" + d.schema + "'");
    std::unique_ptr<Recapito> r(new Recapito(porta, percorso, std::move(spool), std::move(c)));
    r->host_ = host;
    r->stampa_ = std::move(stampa);
    try {
        r->consegna_->Avvia(r->TestoStato("online"), r->TestoStato("offline"));
    } catch (const Rifiuto& e) {
        Fine(e.uscita, e.what());
    }
    if (r->spool_->Conta() > 0)
        r->Avvisa("codes waiting in the spool " + percorso + ": " + std::to_string(r->spool_->Conta()));
    return r;
}

Recapito::Recapito(int porta, std::string percorso, std::unique_ptr<Spool> spool, std::unique_ptr<Consegna> c)
    : porta_(porta),
      percorso_(std::move(percorso)),
      spool_(std::move(spool)),
      consegna_(std::move(c)),
      seq_(spool_->ProssimoSeq()) {
    scrivi_.setSingleShot(true);
    togli_.setSingleShot(true);
    riprova_.setSingleShot(true);
    stato_.setSingleShot(true);
    disco_.setSingleShot(true);
    stato_.setInterval(1000);  // a flood of dropped codes updates the status once a second
    QObject::connect(&scrivi_, &QTimer::timeout, [this] { Salva(); });
    QObject::connect(&togli_, &QTimer::timeout, [this] { Ripulisci(); });
    QObject::connect(&disco_, &QTimer::timeout, [this] { RiprovaDisco(); });
    QObject::connect(&riprova_, &QTimer::timeout, [this] {
        ultimoInviato_ = 0;
        Pompa();
    });
    QObject::connect(&stato_, &QTimer::timeout, [this] { consegna_->Stato(TestoStato("online")); });
    // Acknowledged before a restart, on a disk still full: not sent again,
    // and removed once there is room.
    tolti_ = spool_->Tolti();
    if (!tolti_.empty()) disco_.start(0);

    consegna_->Avviso = [this](const std::string& t) { Avvisa(t); };
    consegna_->Fallita = [this](int uscita, const std::string& motivo) {
        Avvisa(motivo);
        if (Termina) Termina(uscita);
    };
    consegna_->Collegata = [this] {
        // Everything not acknowledged goes again, oldest first.
        Ripulisci();
        inVolo_ = 0;
        ultimoInviato_ = 0;
        Pompa();
    };
    consegna_->Scollegata = [this] { inVolo_ = 0; };
    consegna_->Confermato = [this](std::int64_t seq) {
        inVolo_ = std::max<std::int64_t>(0, inVolo_ - 1);
        if (!memoria_.empty() && seq >= memoria_.front().seq) {
            const auto it = std::lower_bound(memoria_.begin(), memoria_.end(), seq,
                                             [](const InMemoria& m, std::int64_t s) { return m.seq < s; });
            if (it != memoria_.end() && it->seq == seq) it->confermato = true;
            while (!memoria_.empty() && memoria_.front().confermato) memoria_.pop_front();
        } else {
            daTogliere_.push_back(seq);
        }
        if (sonda_ || avvisatoRifiuto_) {
            if (avvisatoRifiuto_) Avvisa("the broker accepts codes again");
            sonda_ = avvisatoRifiuto_ = false;
            attesaRifiutoMs_ = 0;
        }
        if (daTogliere_.size() >= size_t(kRimuoviSubito))
            Ripulisci();
        else if (!togli_.isActive() && !daTogliere_.empty())
            togli_.start(kRimuoviOgniMs);
        Pompa();
    };
    consegna_->Rifiutato = [this](std::int64_t, const std::string& motivo) {
        inVolo_ = std::max<std::int64_t>(0, inVolo_ - 1);
        if (!avvisatoRifiuto_)
            Avvisa("the broker refuses the codes (" + motivo + "); they stay in the spool and are offered again");
        avvisatoRifiuto_ = true;
        sonda_ = true;
        if (!riprova_.isActive()) {
            attesaRifiutoMs_ = std::clamp(attesaRifiutoMs_ * 2, 1000, kRiprovaMaxMs);
            riprova_.start(attesaRifiutoMs_);
        }
    };
    consegna_->Respinto = [this](std::int64_t seq, const std::string& motivo) { Respinto(seq, motivo); };
}

Recapito::~Recapito() {
    // The last codes go out before the goodbye, whose acknowledgement then
    // covers them too: the broker answers in order.
    Salva();
    Pompa();
    consegna_->Chiudi(TestoStato("offline"));
    Ripulisci();
    if (discoPieno_ || !tolti_.empty()) RiprovaDisco();
    std::int64_t persi = 0;
    for (const InMemoria& m : memoria_) persi += m.confermato ? 0 : 1;
    if (persi + persiMemoria_ > 0)
        Avvisa("the disk was full: " + std::to_string(persi + persiMemoria_) +
               " code(s) read in this run could be neither saved in the spool nor delivered, and are lost");
}

std::string Recapito::TestoStato(const char* stato) const {
    std::string t = stato;
    const std::int64_t n = spool_->Scartati() + persiMemoria_;
    if (n > 0) t += " dropped=" + std::to_string(n);
    const std::int64_t r = spool_->Respinti() + respintiMemoria_;
    if (r > 0) t += " refused=" + std::to_string(r);
    return t;
}

void Recapito::Avvisa(const std::string& testo) const {
    std::fprintf(stderr, "talumbra-read: %s\n", testo.c_str());
    std::fflush(stderr);
}

void Recapito::Accetta(const QString& codice, int dispositivo, int badge, const QString& riga) {
    const QJsonObject j{
        {"code", codice},
        {"port", porta_},
        {"device", Nome<ucTalumbra::TipoDispositivo_Enum>(dispositivo)},
        {"badge", Nome<ucTalumbra::TipoBadge_Enum>(badge)},
        {"time", Iso8601(QDateTime::currentDateTime())},
        {"host", QString::fromStdString(host_)},
        {"seq", qint64(seq_)},
        {"source", QString::fromStdString(spool_->Sorgente())},
    };
    nuovi_.push_back({seq_++, QJsonDocument(j).toJson(QJsonDocument::Compact).toStdString()});
    righe_.push_back(riga);
    // Codes that come together are committed together: one sync for a burst,
    // and a flood is committed by thousands, so that memory stays bounded.
    if (nuovi_.size() >= size_t(kScriviSubito))
        Salva();
    else if (!scrivi_.isActive())
        scrivi_.start(0);
}

// A code is printed and sent only once it is committed: a code on the
// screen is never one that a kill takes away. On a full disk it is printed
// and sent all the same, from memory.
void Recapito::Salva() {
    scrivi_.stop();
    if (nuovi_.empty()) return;
    if (discoPieno_ || !Committa(nuovi_)) InMemoria_(nuovi_);
    nuovi_.clear();
    std::vector<QString> righe;
    righe.swap(righe_);
    if (stampa_)
        for (const QString& r : righe) stampa_(r);
    Pompa();
}

void Recapito::ControllaSpool() {
    switch (spool_->Controlla()) {
        case Spool::Percorso::Suo: break;
        case Spool::Percorso::Rifatto:
            Avvisa("the spool " + percorso_ + " was deleted while running: made again, with the " +
                   std::to_string(spool_->Conta()) + " code(s) waiting in it");
            break;
        case Spool::Percorso::Sostituito:
            Avvisa("the spool " + percorso_ +
                   " was replaced by another file while running: it is left alone, and this program keeps the "
                   "spool it opened until it ends");
            break;
    }
}

// False when the spool cannot take them (a full disk): retried every second.
bool Recapito::Committa(const std::vector<Spool::Voce>& voci) {
    std::int64_t scartati = 0;
    try {
        ControllaSpool();
        // A code that goes out at once is acknowledged within milliseconds:
        // waiting for the disk first would only slow it down. Codes that are
        // to wait (no broker, a backlog, a refusal) are synced to the disk.
        const bool assente = !consegna_->Pronta() || riprova_.isActive();
        spool_->Sincronia(assente || spool_->Conta() >= kFinestra);
        // The limit is for codes that wait for an absent broker: those on
        // their way to one that is there are not dropped.
        scartati = spool_->Aggiungi(voci, assente);
    } catch (const std::exception& e) {
        if (!discoPieno_)
            Avvisa(std::string("cannot write to the spool (") + e.what() + "): codes are sent from memory, at most " +
                   std::to_string(kMemoriaMax) + " waiting; trying the spool again every second");
        discoPieno_ = true;
        if (!disco_.isActive()) disco_.start(1000);
        return false;
    }
    if (scartati > 0) {
        if (!avvisatoPieno_)
            Avvisa("the spool is full (" + std::to_string(spool_->Massimo()) +
                   " codes): the oldest codes are dropped to make room; the status message counts them");
        avvisatoPieno_ = true;
        if (!stato_.isActive()) stato_.start();
    } else if (spool_->Conta() < spool_->Massimo()) {
        avvisatoPieno_ = false;
    }
    return true;
}

void Recapito::InMemoria_(std::vector<Spool::Voce>& voci) {
    if (!voci.empty()) spool_->Consumato(voci.back().seq);
    std::int64_t persi = 0;
    for (Spool::Voce& v : voci) {
        memoria_.push_back({v.seq, std::move(v.dati), false});
        // Bounded: the oldest that the broker has not acknowledged are lost.
        while (memoria_.size() > size_t(kMemoriaMax)) {
            if (!memoria_.front().confermato) ++persi;
            memoria_.pop_front();
        }
    }
    if (persi == 0) return;
    if (persiMemoria_ == 0)
        Avvisa(
            "the disk is full and the broker does not take the codes: the oldest codes are lost; "
            "the status message counts them");
    persiMemoria_ += persi;
    if (!stato_.isActive()) stato_.start();
}

void Recapito::RiprovaDisco() {
    try {
        ControllaSpool();
        // What was acknowledged meanwhile goes first: it gives room back.
        for (const auto& [da, a] : tolti_) spool_->RimuoviDa(da, a);
        tolti_.clear();
        spool_->SegnaTolti(tolti_);
        // The codes lost meanwhile are counted in the spool from now on.
        spool_->ContaPersi(std::exchange(persiMemoria_, 0));
        // Oldest first, a batch at a time: a disk with room for some only
        // takes those, and the rest wait here.
        while (!memoria_.empty()) {
            std::vector<Spool::Voce> voci;
            size_t n = 0;
            for (; n < memoria_.size() && voci.size() < size_t(kScriviSubito); ++n)
                if (!memoria_[n].confermato) voci.push_back({memoria_[n].seq, memoria_[n].dati});
            spool_->Aggiungi(voci, !consegna_->Pronta());
            memoria_.erase(memoria_.begin(), memoria_.begin() + std::ptrdiff_t(n));
        }
    } catch (const std::exception&) {
        disco_.start(1000);
        return;
    }
    const bool detto = std::exchange(avvisatoTolti_, false);
    if (std::exchange(discoPieno_, false) || detto) Avvisa("the spool takes codes again");
    Ripulisci();
}

bool Recapito::Tolto(std::int64_t seq) const {
    auto it = tolti_.upper_bound(seq);
    if (it == tolti_.begin()) return false;
    --it;
    return seq <= it->second;
}

bool Recapito::Invia(std::int64_t seq, const std::string& dati) {
    if (!consegna_->Invia(seq, dati)) return false;
    ultimoInviato_ = seq;
    ++inVolo_;
    return true;
}

void Recapito::Pompa() {
    if (!consegna_->Pronta() || riprova_.isActive()) return;
    const int finestra = sonda_ ? 1 : kFinestra;
    // Refilled by halves: one read of the spool for many codes, not one each.
    if (inVolo_ > finestra / 2) return;
    while (inVolo_ < finestra) {
        // Acknowledged codes that the spool could not remove are not sent again.
        if (auto it = tolti_.upper_bound(ultimoInviato_ + 1); it != tolti_.begin() && (--it)->second > ultimoInviato_)
            ultimoInviato_ = it->second;
        std::vector<Spool::Voce> voci;
        try {
            voci = spool_->Dopo(ultimoInviato_, int(finestra - inVolo_));
        } catch (const std::exception& e) {
            Avvisa(std::string("cannot read the spool: ") + e.what());
            return;
        }
        if (voci.empty()) break;
        for (const Spool::Voce& v : voci) {
            if (Tolto(v.seq)) {
                ultimoInviato_ = v.seq;
                continue;
            }
            if (!Invia(v.seq, v.dati)) return;
        }
    }
    // Then what the full disk keeps in memory, all newer than the spool's.
    auto it = std::upper_bound(memoria_.begin(), memoria_.end(), ultimoInviato_,
                               [](std::int64_t s, const InMemoria& m) { return s < m.seq; });
    for (; it != memoria_.end() && inVolo_ < finestra; ++it)
        if (!it->confermato && !Invia(it->seq, it->dati)) return;
}

void Recapito::Ripulisci() {
    togli_.stop();
    if (daTogliere_.empty()) return;
    try {
        spool_->Rimuovi(daTogliere_);
    } catch (const std::exception& e) {
        // Kept here instead, so that they are not sent again; removed once
        // the disk takes writes again.
        if (!avvisatoTolti_)
            Avvisa(std::string("cannot remove acknowledged codes from the spool (") + e.what() +
                   "): they are kept from being sent again, and removed once it takes writes again");
        avvisatoTolti_ = true;
        std::sort(daTogliere_.begin(), daTogliere_.end());
        for (std::int64_t s : daTogliere_) {
            if (Tolto(s)) continue;
            auto dopo = tolti_.find(s + 1);
            auto prima = tolti_.upper_bound(s);
            const bool unisciPrima = prima != tolti_.begin() && std::prev(prima)->second == s - 1;
            if (unisciPrima) {
                auto p = std::prev(prima);
                p->second = dopo != tolti_.end() ? dopo->second : s;
                if (dopo != tolti_.end()) tolti_.erase(dopo);
            } else if (dopo != tolti_.end()) {
                const std::int64_t fine = dopo->second;
                tolti_.erase(dopo);
                tolti_[s] = fine;
            } else {
                tolti_[s] = s;
            }
        }
        spool_->SegnaTolti(tolti_);
        if (!disco_.isActive()) disco_.start(1000);
    }
    daTogliere_.clear();
}

// Refused for good (too large for the broker, say): set aside in the spool
// where it can be looked at, said once, counted in the status; the codes
// after it go on.
void Recapito::Respinto(std::int64_t seq, const std::string& motivo) {
    inVolo_ = std::max<std::int64_t>(0, inVolo_ - 1);
    bool messo = false;
    try {
        messo = spool_->Respingi(seq, motivo);
    } catch (const std::exception&) {
    }
    if (!messo) {
        const auto it = std::lower_bound(memoria_.begin(), memoria_.end(), seq,
                                         [](const InMemoria& m, std::int64_t s) { return m.seq < s; });
        if (it != memoria_.end() && it->seq == seq && !it->confermato) {
            it->confermato = true;
            ++respintiMemoria_;
        }
        while (!memoria_.empty() && memoria_.front().confermato) memoria_.pop_front();
    }
    if (!avvisatoRespinto_)
        Avvisa("the broker refuses the code of seq " + std::to_string(seq) + " for good (" + motivo +
               "): " + (messo ? "it is set aside in the spool's table respinti" : "it cannot be kept") +
               ", the codes after it go on; the status message counts such codes");
    avvisatoRespinto_ = true;
    if (!stato_.isActive()) stato_.start();
    Pompa();
}

}  // namespace talumbra_read
