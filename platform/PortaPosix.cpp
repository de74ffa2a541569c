#include "platform/PortaPosix.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include "platform/MappaPorte.h"
#include "platform/Sveglia.h"
#include "talumbra/Fallimento.h"

namespace talumbra {

namespace {

// Received bytes kept unread before the port stops taking more from the device
// (the kernel then holds the rest): a peer that floods a port nobody reads
// cannot exhaust memory, and nothing is dropped. 64 KiB is over a minute of a
// 9600-baud line, and keeps the memory of a flooded reader flat.
constexpr size_t kLimiteBuffer = size_t{1} << 16;
// How long Output waits for a device that accepts no more bytes.
constexpr int kAttesaScrittura = 2000;
// Wake-ups with nothing to read in a row before the device counts as broken.
constexpr int kRisvegliVuoti = 1000;

const char* Impostazioni_Esempio = "expected baud,parity,data bits,stop bits as in \"9600,n,8,1\"";

std::string Errore(int e) { return std::strerror(e); }

std::string Pulito(std::string s) {
    auto spazio = [](unsigned char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && spazio(static_cast<unsigned char>(s.front()))) s.erase(s.begin());
    while (!s.empty() && spazio(static_cast<unsigned char>(s.back()))) s.pop_back();
    return s;
}

struct Velocita {
    int baud;
    speed_t codice;
};
constexpr Velocita kVelocita[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

int64_t AdessoMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// poll() on one descriptor, restarted after signals with the time left.
int Attendi(int fd, short eventi, int64_t ms, short& revents) {
    int64_t fine = AdessoMs() + ms;
    for (;;) {
        pollfd p{fd, eventi, 0};
        int64_t resto = std::max<int64_t>(0, fine - AdessoMs());
        int r = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(resto, 1 << 30)));
        if (r < 0 && errno == EINTR) continue;
        revents = p.revents;
        return r;
    }
}

// What to tell a user refused by the device at `percorso`. Joining its group
// helps only when the group is an access group that may read and write it
// (dialout, uucp...): not root, and not the owner's own private group.
std::string ConsiglioPermessi(const std::string& percorso) {
    const std::string regola =
        "its group gives users no access. A udev rule can give it to an access group such as dialout "
        "(GROUP=\"dialout\", MODE=\"0660\"); then add your user to that group and log out and back in";
    struct stat st {};
    if (::stat(percorso.c_str(), &st) != 0) return regola;
    std::vector<char> buf(16384);
    group g{};
    group* r = nullptr;
    if (st.st_gid == 0 || (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) return regola;
    if (::getgrgid_r(st.st_gid, &g, buf.data(), buf.size(), &r) != 0 || !r) return regola;
    const std::string nome = r->gr_name;
    std::vector<char> buf2(16384);
    passwd pw{};
    passwd* p = nullptr;
    if (::getpwuid_r(st.st_uid, &pw, buf2.data(), buf2.size(), &p) == 0 && p && nome == p->pw_name) return regola;
    return "the device belongs to the group \"" + nome + "\": add your user to it (sudo usermod -aG " + nome +
           " $USER), then log out and back in";
}

// Closes a descriptor unless released.
struct Descrittore {
    int fd;
    ~Descrittore() {
        if (fd >= 0) ::close(fd);
    }
    int Rilascia() { return std::exchange(fd, -1); }
};

// Counts nested notification deliveries, so closing inside one defers the
// deletion of the notifier that is delivering.
struct Profondita {
    std::shared_ptr<int> n;
    explicit Profondita(std::shared_ptr<int> c) : n(std::move(c)) { ++*n; }
    ~Profondita() { --*n; }
};

}  // namespace

ImpostazioniLinea LeggiImpostazioni(const std::string& testo) {
    auto male = [&](const std::string& perche) -> Fallimento {
        return Fallimento(errValoreNonValido,
                          "Invalid port settings \"" + testo + "\": " + perche + "; " + Impostazioni_Esempio);
    };
    std::vector<std::string> campi;
    size_t da = 0;
    for (;;) {
        size_t virgola = testo.find(',', da);
        campi.push_back(Pulito(testo.substr(da, virgola == std::string::npos ? std::string::npos : virgola - da)));
        if (virgola == std::string::npos) break;
        da = virgola + 1;
    }
    if (campi.size() != 4) throw male("4 fields needed, found " + std::to_string(campi.size()));

    ImpostazioniLinea imp;
    const std::string& b = campi[0];
    if (b.empty() || b.size() > 8 || !std::all_of(b.begin(), b.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw male("the baud rate \"" + b + "\" is not a number");
    imp.baud = std::stoi(b);
    auto v =
        std::find_if(std::begin(kVelocita), std::end(kVelocita), [&](const Velocita& x) { return x.baud == imp.baud; });
    if (v == std::end(kVelocita)) throw male("unsupported baud rate " + b);
    imp.velocita = v->codice;

    const std::string& p = campi[1];
    char c = p.size() == 1 ? static_cast<char>(std::tolower(static_cast<unsigned char>(p[0]))) : '\0';
    if (std::string("neoms").find(c) == std::string::npos || c == '\0')
        throw male("the parity \"" + p + "\" is not one of n, e, o, m, s");
    imp.parita = c;

    const std::string& d = campi[2];
    if (d.size() != 1 || d[0] < '5' || d[0] > '8') throw male("the data bits \"" + d + "\" are not 5, 6, 7 or 8");
    imp.bitDati = d[0] - '0';

    const std::string& s = campi[3];
    if (s == "1")
        imp.bitStop = 1;
    else if (s == "2")
        imp.bitStop = 2;
    else if (s == "1.5")
        imp.bitStop = 15;
    else
        throw male("the stop bits \"" + s + "\" are not 1, 1.5 or 2");
    return imp;
}

void ApplicaImpostazioni(const ImpostazioniLinea& imp, termios& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                        IXANY | INPCK | IUCLC | IMAXBEL);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CREAD | CLOCAL | HUPCL;
    switch (imp.bitDati) {
        case 5: t.c_cflag |= CS5; break;
        case 6: t.c_cflag |= CS6; break;
        case 7: t.c_cflag |= CS7; break;
        default: t.c_cflag |= CS8; break;
    }
    switch (imp.parita) {
        case 'e': t.c_cflag |= PARENB; break;
        case 'o': t.c_cflag |= PARENB | PARODD; break;
        case 'm': t.c_cflag |= PARENB | CMSPAR | PARODD; break;
        case 's': t.c_cflag |= PARENB | CMSPAR; break;
        default: break;
    }
    // termios has no 1.5 stop bits: two is the nearest that still frames.
    if (imp.bitStop != 1) t.c_cflag |= CSTOPB;
    // The descriptor never blocks, so VMIN only decides what an empty read
    // says: with 1 it fails with EAGAIN, and a read of nothing means hung up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, imp.velocita);
    cfsetospeed(&t, imp.velocita);
}

PortaPosix::PortaPosix() { linea_ = LeggiImpostazioni(impostazioni_); }

PortaPosix::~PortaPosix() { Chiudi(); }

std::string PortaPosix::Nome() const {
    std::string n = "Port " + std::to_string(numero_);
    if (!percorso_.empty()) n += " (" + percorso_ + ")";
    return n;
}

void PortaPosix::Controlla(const char* operazione) const {
    if (guasto_)
        throw Fallimento(errDispositivoNonDisponibile,
                         Nome() + ": device not available (" + perche_ + "); close the port");
    if (fd_ < 0) throw Fallimento(errPortaChiusa, Nome() + ": " + operazione + " needs the port open");
}

void PortaPosix::SegnaGuasto(const std::string& perche) noexcept {
    if (guasto_) return;
    guasto_ = true;
    perche_ = perche;
    Ascolta(false);
    // One last notification, so an owner waiting for data reads and meets the failure.
    ultimaNotifica_ = true;
    if (soglia_ == 1) Accoda();
}

void PortaPosix::Guasto(const std::string& perche) {
    SegnaGuasto(perche);
    Controlla("");
    throw Fallimento(errDispositivoNonDisponibile, Nome() + ": device not available");
}

bool PortaPosix::Drena() noexcept {
    if (fd_ < 0 || guasto_) return !guasto_;
    char buf[4096];
    for (;;) {
        if (InAttesa() >= kLimiteBuffer) {
            // Leave the rest in the kernel until the owner reads.
            Ascolta(false);
            return true;
        }
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
            if (inizio_ > 0 && inizio_ >= rx_.size() / 2) {
                rx_.erase(0, inizio_);
                inizio_ = 0;
            }
            rx_.append(buf, static_cast<size_t>(n));
            nuovi_ = true;
            // A short read has emptied the device: what comes after wakes the
            // notifier again, so asking once more would only cost a call.
            if (static_cast<size_t>(n) < sizeof buf) return true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n < 0) {
            SegnaGuasto(Errore(errno));
            return false;
        }
        // With VMIN 1 on a descriptor that never blocks, an empty line reads
        // EAGAIN and a hung-up one reads nothing. Only this rare case asks
        // poll(), in case someone else has set the line to VMIN 0.
        short rev = 0;
        if (Attendi(fd_, POLLIN, 0, rev) > 0 && (rev & (POLLHUP | POLLERR | POLLNVAL))) {
            SegnaGuasto("the device hung up");
            return false;
        }
        return true;
    }
}

void PortaPosix::Ascolta(bool si) noexcept {
    if (sveglia_) sveglia_->Attiva(chiave_, si);
}

void PortaPosix::Risveglio() noexcept {
    Profondita p(consegne_);
    ++risvegli_;
    size_t prima = InAttesa();
    Drena();
    // The handler's first read is served by this drain.
    drenato_ = !guasto_ && InAttesa() > prima;
    if (!guasto_ && InAttesa() == prima) {
        // The descriptor said "readable" and gave nothing: a device that keeps
        // doing that would spin the event loop.
        if (++vuoti_ >= kRisvegliVuoti) SegnaGuasto("the device signals data but gives none");
    } else {
        vuoti_ = 0;
    }
    Consegna();
}

void PortaPosix::Accoda() noexcept {
    if (accodata_ || !contesto_) return;
    accodata_ = true;
    // Queued on the port's own object: if the port closes first, the call goes with it.
    QMetaObject::invokeMethod(
        contesto_.get(),
        [this] {
            Profondita p(consegne_);
            accodata_ = false;
            Consegna();
        },
        Qt::QueuedConnection);
}

void PortaPosix::Consegna() noexcept {
    if (fd_ < 0 || soglia_ != 1 || !OnComm) return;
    if (guasto_) {
        if (!ultimaNotifica_) return;
        ultimaNotifica_ = false;
    } else {
        if (!nuovi_ || InAttesa() == 0) return;
        nuovi_ = false;
    }
    evento_ = comEvReceive;
    // A copy: the handler may clear or replace OnComm (its owner destroyed
    // from inside it) while it runs.
    const auto gestore = OnComm;
    // Nothing may leave a Qt event handler; the owner sees its failures itself.
    try {
        gestore();
    } catch (...) {
    }
}

void PortaPosix::RinnovaNotifica() {
    if (fd_ < 0 || InAttesa() == 0) return;
    if (guasto_) {
        // What the device sent before it hung up is still to be read.
        ultimaNotifica_ = true;
        if (soglia_ == 1) Accoda();
        return;
    }
    // Counted as unreported: the next threshold of 1 queues the notification.
    nuovi_ = true;
    if (soglia_ == 1) Accoda();
}

void PortaPosix::setCommPort(int16_t numero) {
    if (guasto_) Controlla("");
    if (fd_ >= 0)
        throw Fallimento(errPortaGiaAperta,
                         Nome() + " is open: close it before changing the port number to " + std::to_string(numero));
    numero_ = numero;
}

void PortaPosix::setSettings(const std::string& impostazioni) {
    if (guasto_) Controlla("");
    ImpostazioniLinea imp = LeggiImpostazioni(impostazioni);
    if (fd_ >= 0) {
        termios t{};
        if (::tcgetattr(fd_, &t) != 0) {
            if (errno == EIO || errno == ENXIO || errno == ENODEV) Guasto(Errore(errno));
            throw Fallimento(errDispositivoNonDisponibile,
                             Nome() + ": cannot read the line settings: " + Errore(errno));
        }
        ApplicaImpostazioni(imp, t);
        if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
            if (errno == EIO || errno == ENXIO || errno == ENODEV) Guasto(Errore(errno));
            throw Fallimento(errDispositivoNonDisponibile,
                             Nome() + ": cannot apply the settings \"" + impostazioni + "\": " + Errore(errno));
        }
    }
    linea_ = imp;
    impostazioni_ = impostazioni;
}

void PortaPosix::setPortOpen(bool aperta) {
    if (!aperta) {
        Chiudi();
        return;
    }
    if (guasto_) Controlla("");
    if (fd_ >= 0) throw Fallimento(errPortaGiaAperta, Nome() + " is already open");
    Apri();
}

void PortaPosix::Apri() {
    std::string percorso = PercorsoPorta(numero_);
    const std::string nome = "Port " + std::to_string(numero_) + " (" + percorso + ")";

    Descrittore d{::open(percorso.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
    if (d.fd < 0) {
        int e = errno;
        switch (e) {
            case ENOENT: throw Fallimento(errPortaInesistente, nome + " does not exist: " + Errore(e));
            case EACCES:
            case EPERM: {
                throw Fallimento(errPortaOccupata, nome + ": permission denied: " + ConsiglioPermessi(percorso));
            }
            case EBUSY: throw Fallimento(errPortaOccupata, nome + " is in use by another program");
            default: throw Fallimento(errDispositivoNonDisponibile, nome + " cannot be opened: " + Errore(e));
        }
    }
    // The lock holds against every process, root included; TIOCEXCL keeps out
    // programs that do not lock, except root's.
    if (::flock(d.fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        throw Fallimento(errPortaOccupata, nome + " is in use by another program");

    serial_struct ss{};
    if (::ioctl(d.fd, TIOCGSERIAL, &ss) == 0 && ss.type == PORT_UNKNOWN)
        throw Fallimento(errPortaInesistente, nome + " does not exist: no serial hardware behind the device");

    termios t{};
    if (::tcgetattr(d.fd, &t) != 0) {
        int e = errno;
        throw Fallimento(errDispositivoNonDisponibile, nome + (e == ENOTTY ? std::string(" is not a serial device")
                                                                           : " cannot be configured: " + Errore(e)));
    }
    (void)::ioctl(d.fd, TIOCEXCL);
    ApplicaImpostazioni(linea_, t);
    if (::tcsetattr(d.fd, TCSANOW, &t) != 0)
        throw Fallimento(errDispositivoNonDisponibile,
                         nome + ": cannot apply the settings \"" + impostazioni_ + "\": " + Errore(errno));
    // Start clean: nothing from before this opening is taken for new data.
    (void)::tcflush(d.fd, TCIOFLUSH);

    fd_ = d.Rilascia();
    percorso_ = percorso;
    try {
        Linee();
    } catch (...) {
        Chiudi();
        throw;
    }
    if (QCoreApplication::instance()) {
        sveglia_ = Sveglia::DelThread();
        chiave_ = sveglia_ ? sveglia_->Aggiungi(fd_, [this] { Risveglio(); }) : 0;
        if (chiave_ == 0) {
            const int e = errno;
            Chiudi();
            throw Fallimento(errDispositivoNonDisponibile, nome + " cannot be watched for data: " + Errore(e));
        }
        contesto_ = std::make_unique<QObject>();
    }
}

void PortaPosix::Chiudi() noexcept {
    if (fd_ < 0) return;
    if (sveglia_) {
        sveglia_->Togli(chiave_);
        sveglia_.reset();
        chiave_ = 0;
    }
    if (contesto_) {
        QCoreApplication::removePostedEvents(contesto_.get());
        if (*consegne_ > 0) {
            // Closed from inside its own notification, which may be a call
            // queued on this object: it goes once control is back in the loop.
            contesto_.release()->deleteLater();
        } else {
            contesto_.reset();
        }
    }
    accodata_ = false;
    (void)::ioctl(fd_, TIOCNXCL);
    ::close(fd_);  // also drops the lock
    fd_ = -1;
    percorso_.clear();
    rx_.clear();
    inizio_ = 0;
    nuovi_ = guasto_ = ultimaNotifica_ = drenato_ = false;
    perche_.clear();
    vuoti_ = 0;
}

void PortaPosix::Linea(int bit, bool alta) {
    if (::ioctl(fd_, alta ? TIOCMBIS : TIOCMBIC, &bit) == 0) return;
    int e = errno;
    // Pseudo-terminals and some adapters have no modem lines.
    if (e == ENOTTY || e == EINVAL) return;
    if (e == EIO || e == ENXIO || e == ENODEV) Guasto(Errore(e));
    throw Fallimento(errDispositivoNonDisponibile,
                     Nome() + ": cannot set the " + (bit == TIOCM_DTR ? "DTR" : "RTS") + " line: " + Errore(e));
}

void PortaPosix::Linee() {
    Linea(TIOCM_DTR, dtr_);
    Linea(TIOCM_RTS, rts_);
}

void PortaPosix::setDTREnable(bool v) {
    if (guasto_) Controlla("");
    if (fd_ >= 0) Linea(TIOCM_DTR, v);
    dtr_ = v;
}

void PortaPosix::setRTSEnable(bool v) {
    if (guasto_) Controlla("");
    if (fd_ >= 0) Linea(TIOCM_RTS, v);
    rts_ = v;
}

void PortaPosix::setRThreshold(int soglia) {
    if (guasto_ && InAttesa() == 0) Controlla("");
    if (soglia != 0 && soglia != 1)
        throw Fallimento(errValoreNonValido,
                         Nome() + ": receive threshold " + std::to_string(soglia) + " is not 0 or 1");
    bool riacceso = soglia == 1 && soglia_ != 1;
    soglia_ = soglia;
    // Bytes that came while notifications were off are reported now, from the
    // event loop: never from inside the caller.
    if (riacceso && fd_ >= 0 && InAttesa() > 0 && (guasto_ ? ultimaNotifica_ : nuovi_)) Accoda();
}

void PortaPosix::setInputLen(int lunghezza) {
    if (guasto_ && InAttesa() == 0) Controlla("");
    if (lunghezza < 0)
        throw Fallimento(errValoreNonValido, Nome() + ": input length " + std::to_string(lunghezza) + " is negative");
    lunghezza_ = lunghezza;
}

void PortaPosix::setInputMode(int modo) {
    if (guasto_) Controlla("");
    if (modo != comInputModeText)
        throw Fallimento(errValoreNonValido,
                         Nome() + ": input mode " + std::to_string(modo) + " is not supported (text only)");
    modo_ = modo;
}

void PortaPosix::ControllaLettura(const char* operazione) {
    if (std::exchange(drenato_, false) && InAttesa() > 0) return;
    if (fd_ >= 0 && guasto_ && InAttesa() > 0) return;
    Controlla(operazione);
    if (!Drena() && InAttesa() == 0) Controlla("");
}

std::string PortaPosix::Input() {
    ControllaLettura("reading");
    size_t n = InAttesa();
    if (lunghezza_ > 0) n = std::min(n, static_cast<size_t>(lunghezza_));
    std::string letto = rx_.substr(inizio_, n);
    inizio_ += n;
    if (InAttesa() == 0) {
        rx_.clear();
        inizio_ = 0;
        nuovi_ = false;
    }
    if (sveglia_ && !sveglia_->Attiva(chiave_) && !guasto_ && InAttesa() < kLimiteBuffer) Ascolta(true);
    // Bytes taken from the device here were reported by no notification.
    if (nuovi_ && soglia_ == 1) Accoda();
    return letto;
}

int PortaPosix::InBufferCount() {
    ControllaLettura("counting the received bytes");
    if (nuovi_ && soglia_ == 1) Accoda();
    return static_cast<int>(std::min<size_t>(InAttesa(), 1 << 30));
}

void PortaPosix::Output(const std::string& testo) {
    Controlla("writing");
    size_t fatto = 0;
    int64_t fine = AdessoMs() + kAttesaScrittura;
    while (fatto < testo.size()) {
        ssize_t n = ::write(fd_, testo.data() + fatto, testo.size() - fatto);
        if (n > 0) {
            fatto += static_cast<size_t>(n);
            continue;
        }
        int e = n < 0 ? errno : EAGAIN;
        if (e == EINTR) continue;
        if (e == EAGAIN || e == EWOULDBLOCK) {
            short rev = 0;
            int64_t resto = fine - AdessoMs();
            if (resto <= 0 || Attendi(fd_, POLLOUT, resto, rev) == 0)
                throw Fallimento(errDispositivoNonDisponibile, Nome() + ": the device took no data for " +
                                                                   std::to_string(kAttesaScrittura / 1000) + " s (" +
                                                                   std::to_string(fatto) + " of " +
                                                                   std::to_string(testo.size()) + " bytes sent)");
            if (rev & (POLLHUP | POLLERR | POLLNVAL)) Guasto("the device hung up");
            continue;
        }
        if (e == EIO || e == ENXIO || e == ENODEV || e == EPIPE) Guasto(Errore(e));
        throw Fallimento(errDispositivoNonDisponibile, Nome() + ": write failed: " + Errore(e));
    }
}

void PortaPosix::AttendiDati(uint32_t ms) {
    Controlla("waiting for data");
    if (InAttesa() > 0) return;
    if (!Drena()) Controlla("");
    if (InAttesa() > 0 || ms == 0) return;
    short rev = 0;
    if (Attendi(fd_, POLLIN, ms, rev) > 0 && (rev & (POLLHUP | POLLERR | POLLNVAL))) {
        // Find out now, so a caller that waits in a loop meets the failure
        // instead of coming straight back here.
        if (!Drena()) Controlla("");
    }
}

}  // namespace talumbra
