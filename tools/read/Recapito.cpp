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
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <talumbra/ucTalumbra.h>

namespace talumbra_read {

const char* const kUsoConsegna =
    "Publishing (next to the output above):\n"
    "  --publish URL       mqtt://[user[:password]@]host[:port]/prefix, or mqtts://... (ports 1883\n"
    "                      and 8883 by default). Each code goes to PREFIX/HOST/comN/code (QoS 1) as\n"
    "                      JSON: code, port, device, badge, time, host, seq (goes on across restarts).\n"
    "                      PREFIX/HOST/comN/status holds \"online\" or \"offline\" (retained; \"offline\"\n"
    "                      is also the last will), followed by \" dropped=N\" once codes were dropped.\n"
    "  --ca-file FILE      mqtts: the CA certificates to trust (default: the system's)\n"
    "  --cert FILE --key FILE   mqtts: a client certificate and its key\n"
    "  --password-file FILE     the password, from the first line of FILE, out of the process list\n"
    "  --spool-max N       codes kept while the broker is away (default 1000000); when full, the\n"
    "                      oldest are dropped with a warning\n"
    "  Every code is committed to $XDG_STATE_HOME/talumbra/comN.spool (default ~/.local/state/...)\n"
    "  before it is sent, and removed once the broker acknowledges it.\n"
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
constexpr size_t kMassimoPassword = 4096;

[[noreturn]] void Fine(int uscita, const std::string& testo) {
    std::fprintf(stderr, "talumbra-read: %s\n", testo.c_str());
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

Destinazione Destinatario(const OpzioniConsegna& o, const std::string& host, int porta) {
    const QUrl u(QString::fromStdString(o.url), QUrl::StrictMode);
    auto male = [&](const std::string& perche) { Fine(2, "--publish: malformed URL '" + o.url + "': " + perche); };
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
    std::string prefisso = u.path(QUrl::FullyDecoded).toStdString();
    while (!prefisso.empty() && prefisso.front() == '/') prefisso.erase(0, 1);
    while (!prefisso.empty() && prefisso.back() == '/') prefisso.pop_back();
    if (prefisso.find_first_of(std::string("+#\0", 3)) != std::string::npos)
        male("the topic prefix may not hold '+', '#' or NUL");
    d.radice = (prefisso.empty() ? "" : prefisso + "/") + host + "/com" + std::to_string(porta);
    d.idClient = "talumbra-" + host + "-com" + std::to_string(porta);

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

// Topic levels may not hold these; a host name never should.
std::string NomeHost() {
    std::string h = QSysInfo::machineHostName().toStdString();
    for (char& c : h)
        if (c == '/' || c == '+' || c == '#') c = '_';
    return h.empty() ? "localhost" : h;
}

std::string CartellaSpool() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) base = QDir::homePath() + "/.local/state";
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

std::unique_ptr<Recapito> Recapito::Avvia(const OpzioniConsegna& o, int porta) {
    if (o.url.empty()) {
        if (!(o.fileCa.empty() && o.fileCert.empty() && o.fileChiave.empty() && o.filePassword.empty()))
            Fine(2, "--ca-file, --cert, --key and --password-file go with --publish");
        return nullptr;
    }
    const std::string host = NomeHost();
    const Destinazione d = Destinatario(o, host, porta);

    const std::string percorso = CartellaSpool() + "/com" + std::to_string(porta) + ".spool";
    std::unique_ptr<Spool> spool;
    try {
        spool = std::make_unique<Spool>(percorso, o.spoolMax);
    } catch (const std::exception& e) {
        Fine(12, std::string("cannot open the spool: ") + e.what());
    }
    std::unique_ptr<Consegna> c = CreaConsegna(d);
    if (!c) Fine(2, "--publish: no back end for '" + d.schema + "'");
    std::unique_ptr<Recapito> r(new Recapito(o, porta, std::move(spool), std::move(c)));
    r->host_ = host;
    try {
        r->consegna_->Avvia(r->TestoStato("online"), r->TestoStato("offline"));
    } catch (const Rifiuto& e) {
        Fine(e.uscita, e.what());
    }
    if (r->spool_->Conta() > 0)
        r->Avvisa("codes waiting in the spool " + percorso + ": " + std::to_string(r->spool_->Conta()));
    return r;
}

Recapito::Recapito(const OpzioniConsegna&, int porta, std::unique_ptr<Spool> spool, std::unique_ptr<Consegna> c)
    : porta_(porta), spool_(std::move(spool)), consegna_(std::move(c)) {
    scrivi_.setSingleShot(true);
    togli_.setSingleShot(true);
    riprova_.setSingleShot(true);
    stato_.setSingleShot(true);
    stato_.setInterval(1000);  // a flood of dropped codes updates the status once a second
    QObject::connect(&scrivi_, &QTimer::timeout, [this] { Scrivi(); });
    QObject::connect(&togli_, &QTimer::timeout, [this] { Ripulisci(); });
    QObject::connect(&riprova_, &QTimer::timeout, [this] {
        ultimoInviato_ = 0;
        Pompa();
    });
    QObject::connect(&stato_, &QTimer::timeout, [this] { consegna_->Stato(TestoStato("online")); });

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
        daTogliere_.push_back(seq);
        if (sonda_ || avvisatoRifiuto_) {
            if (avvisatoRifiuto_) Avvisa("the broker accepts codes again");
            sonda_ = avvisatoRifiuto_ = false;
            attesaRifiutoMs_ = 0;
        }
        if (daTogliere_.size() >= size_t(kRimuoviSubito))
            Ripulisci();
        else if (!togli_.isActive())
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
}

Recapito::~Recapito() {
    // The last codes go out before the goodbye, whose acknowledgement then
    // covers them too: the broker answers in order.
    Scrivi();
    Pompa();
    consegna_->Chiudi(TestoStato("offline"));
    Ripulisci();
}

std::string Recapito::TestoStato(const char* stato) const {
    const std::int64_t n = spool_->Scartati();
    return n > 0 ? std::string(stato) + " dropped=" + std::to_string(n) : std::string(stato);
}

void Recapito::Avvisa(const std::string& testo) const {
    std::fprintf(stderr, "talumbra-read: %s\n", testo.c_str());
    std::fflush(stderr);
}

void Recapito::Accetta(const QString& codice, int dispositivo, int badge) {
    const std::int64_t seq = spool_->ProssimoSeq() + std::int64_t(daScrivere_.size());
    const QJsonObject j{
        {"code", codice},
        {"port", porta_},
        {"device", Nome<ucTalumbra::TipoDispositivo_Enum>(dispositivo)},
        {"badge", Nome<ucTalumbra::TipoBadge_Enum>(badge)},
        {"time", Iso8601(QDateTime::currentDateTime())},
        {"host", QString::fromStdString(host_)},
        {"seq", qint64(seq)},
    };
    daScrivere_.push_back(QJsonDocument(j).toJson(QJsonDocument::Compact).toStdString());
    // Codes that come together are committed together: one sync for a burst,
    // and a flood is committed by thousands, so that memory stays bounded.
    if (daScrivere_.size() >= size_t(kScriviSubito) && !avvisatoDisco_)
        Scrivi();
    else if (!scrivi_.isActive())
        scrivi_.start(0);
}

void Recapito::Scrivi() {
    if (daScrivere_.empty()) return;
    std::int64_t scartati = 0;
    try {
        // A code that goes out at once is acknowledged within milliseconds:
        // waiting for the disk first would only slow it down. Codes that are
        // to wait (no broker, a backlog, a refusal) are synced to the disk.
        spool_->Sincronia(!consegna_->Pronta() || riprova_.isActive() || spool_->Conta() >= kFinestra);
        scartati = spool_->Aggiungi(daScrivere_);
    } catch (const std::exception& e) {
        // Kept in memory and tried again: a full disk may be freed.
        if (!avvisatoDisco_) Avvisa(std::string("cannot write to the spool, trying again: ") + e.what());
        avvisatoDisco_ = true;
        scrivi_.start(1000);
        return;
    }
    if (avvisatoDisco_) Avvisa("the spool takes codes again");
    avvisatoDisco_ = false;
    daScrivere_.clear();
    if (scartati > 0) {
        if (!avvisatoPieno_)
            Avvisa("the spool is full (" + std::to_string(spool_->Massimo()) +
                   " codes): the oldest codes are dropped to make room; the status message counts them");
        avvisatoPieno_ = true;
        if (!stato_.isActive()) stato_.start();
    } else if (spool_->Conta() < spool_->Massimo()) {
        avvisatoPieno_ = false;
    }
    Pompa();
}

void Recapito::Pompa() {
    if (!consegna_->Pronta() || riprova_.isActive()) return;
    const int finestra = sonda_ ? 1 : kFinestra;
    // Refilled by halves: one read of the spool for many codes, not one each.
    if (inVolo_ > finestra / 2) return;
    while (inVolo_ < finestra) {
        std::vector<Spool::Voce> voci;
        try {
            voci = spool_->Dopo(ultimoInviato_, int(finestra - inVolo_));
        } catch (const std::exception& e) {
            Avvisa(std::string("cannot read the spool: ") + e.what());
            return;
        }
        if (voci.empty()) return;
        for (const Spool::Voce& v : voci) {
            if (!consegna_->Invia(v.seq, v.dati)) return;
            ultimoInviato_ = v.seq;
            ++inVolo_;
        }
    }
}

void Recapito::Ripulisci() {
    togli_.stop();
    try {
        spool_->Rimuovi(daTogliere_);
    } catch (const std::exception& e) {
        // They are sent again later: a repeat, never a loss.
        Avvisa(std::string("cannot remove acknowledged codes from the spool: ") + e.what());
    }
    daTogliere_.clear();
}

}  // namespace talumbra_read
