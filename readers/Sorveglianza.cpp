#include "readers/Sorveglianza.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>
#include <algorithm>

#include "platform/MappaPorte.h"

namespace talumbra {

namespace {

// A device event comes as a burst (node, permissions, by-id links): one look
// a little after the first event sees the burst whole.
constexpr int kRaccoltaMs = 100;
// Links are followed this far, as the kernel does (a loop ends here too).
constexpr int kMaxLink = 40;
// The built-in table (ttyS, ttyUSB, ttyACM) lives in /dev.
constexpr int kUltimaPortaDiTabella = 96;

// The nearest folder that exists at or above `percorso`: watching it shows
// the missing part being created.
QString CartellaEsistente(QString percorso) {
    percorso = QDir::cleanPath(percorso);
    while (!percorso.isEmpty()) {
        struct stat st {};
        if (::stat(QFile::encodeName(percorso).constData(), &st) == 0 && S_ISDIR(st.st_mode)) return percorso;
        if (percorso == QLatin1String("/")) break;
        const QString su = QFileInfo(percorso).path();
        if (su == percorso) break;
        percorso = su;
    }
    return QStringLiteral("/");
}

QString Cartella(const std::string& percorso) {
    return CartellaEsistente(QFileInfo(QString::fromStdString(percorso)).path());
}

std::string Tempo(const timespec& t) { return std::to_string(t.tv_sec) + "." + std::to_string(t.tv_nsec); }

}  // namespace

Sorveglianza::Sorveglianza(QObject* parent) : QObject(parent) {
    raccolta_ = new QTimer(this);
    raccolta_->setSingleShot(true);
    raccolta_->setInterval(kRaccoltaMs);
    ritardo_ = new QTimer(this);
    ritardo_->setSingleShot(true);
    connect(raccolta_, &QTimer::timeout, this, [this] { Valuta(); });
    connect(ritardo_, &QTimer::timeout, this, [this] {
        if (Attiva()) emit Riprova();
    });
}

Sorveglianza::~Sorveglianza() = default;

void Sorveglianza::Avvia(int numero, const std::string& firma) {
    Ferma();
    attiva_ = true;
    numero_ = numero;
    Impronta imp = Osserva(numero_);
    Guarda(imp.cartelle);
    // A device replugged before the watching started is already a new one.
    ultima_ = !firma.empty() ? firma : imp.presente ? imp.firma : std::string();
    if (!firma.empty()) Rivaluta();
}

std::string Sorveglianza::Firma(int numero) {
    Impronta imp = Osserva(numero);
    return imp.presente ? imp.firma : std::string();
}

void Sorveglianza::Ferma() {
    attiva_ = false;
    numero_ = 0;
    if (osservatore_) {
        // Its inotify descriptor would stay in every wake-up's poll: it goes,
        // later, since this may run inside one of its own signals.
        osservatore_->disconnect(this);
        osservatore_->deleteLater();
        osservatore_ = nullptr;
    }
    raccolta_->stop();
    ritardo_->stop();
    ritardoMs_ = kPrimoRitardoMs;
    ultima_.clear();
}

void Sorveglianza::Tentato() {
    if (!Attiva()) return;
    ultima_ = Firma(numero_);
}

void Sorveglianza::Fallito(bool occupata) {
    if (!Attiva()) return;
    if (!occupata) {
        ritardo_->stop();
        ritardoMs_ = kPrimoRitardoMs;
        return;
    }
    if (ritardo_->isActive()) return;
    ritardo_->start(ritardoMs_);
    ritardoMs_ = std::min(ritardoMs_ * 2, kUltimoRitardoMs);
}

void Sorveglianza::Rivaluta() {
    if (Attiva() && !raccolta_->isActive()) raccolta_->start();
}

QStringList Sorveglianza::Cartelle() const { return osservatore_ ? osservatore_->directories() : QStringList(); }

Sorveglianza::Impronta Sorveglianza::Osserva(int numero) {
    Impronta imp;
    // Present means the port map can name a device for the number now,
    // exactly as an opening would find it.
    try {
        (void)PercorsoPorta(numero);
        imp.presente = true;
    } catch (...) {
    }

    std::string percorso;
    const std::string cartella = CartellaPorte();
    struct stat st {};
    if (!cartella.empty()) {
        imp.cartelle << CartellaEsistente(QString::fromStdString(cartella));
        const std::string voce = cartella + "/com" + std::to_string(numero);
        if (::lstat(voce.c_str(), &st) == 0) percorso = voce;
    }
    if (percorso.empty() && numero <= kUltimaPortaDiTabella) {
        // No entry: the built-in device, which appears in /dev.
        imp.cartelle << QStringLiteral("/dev");
        try {
            percorso = PercorsoPorta(numero);
        } catch (...) {
        }
    }

    // The entry, each link it leads through, and the node: a replugged device
    // changes at least one of them (a new node, a new link), so the signature
    // tells a new device from the one already tried.
    for (int passo = 0; !percorso.empty() && passo < kMaxLink; ++passo) {
        if (::lstat(percorso.c_str(), &st) != 0) {
            imp.firma += "-" + percorso + ";";
            break;
        }
        imp.firma += percorso + ":" + std::to_string(st.st_ino) + ":" + Tempo(st.st_ctim);
        if (!S_ISLNK(st.st_mode)) {
            imp.firma += ":" + std::to_string(st.st_mode) + ":" + std::to_string(st.st_rdev) + ":" +
                         std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + ";";
            break;
        }
        imp.firma += ";";
        std::string destinazione(size_t(st.st_size > 0 ? st.st_size : 0) + 256, '\0');
        const ssize_t n = ::readlink(percorso.c_str(), destinazione.data(), destinazione.size());
        if (n <= 0) break;
        destinazione.resize(size_t(n));
        if (destinazione.front() != '/') {
            const auto barra = percorso.rfind('/');
            destinazione =
                (barra == std::string::npos ? std::string(".") : percorso.substr(0, barra)) + "/" + destinazione;
        }
        percorso = QDir::cleanPath(QString::fromStdString(destinazione)).toStdString();
        imp.cartelle << Cartella(percorso);
    }
    imp.cartelle.removeDuplicates();
    return imp;
}

void Sorveglianza::Guarda(const QStringList& cartelle) {
    if (!osservatore_) {
        // Made only while watching: sessions whose port is open keep none.
        osservatore_ = new QFileSystemWatcher(this);
        connect(osservatore_, &QFileSystemWatcher::directoryChanged, this, [this] { Rivaluta(); });
        connect(osservatore_, &QFileSystemWatcher::fileChanged, this, [this] { Rivaluta(); });
    }
    const QStringList ora = osservatore_->directories();
    QStringList via, nuove;
    for (const QString& c : ora)
        if (!cartelle.contains(c)) via << c;
    for (const QString& c : cartelle)
        if (!ora.contains(c)) nuove << c;
    if (!via.isEmpty()) osservatore_->removePaths(via);
    // A folder that cannot be watched (no permission) is left out; the others
    // still bring the device back.
    if (!nuove.isEmpty()) (void)osservatore_->addPaths(nuove);
}

void Sorveglianza::Valuta() {
    if (!Attiva()) return;
    Impronta imp = Osserva(numero_);
    const QStringList prima = Cartelle();
    Guarda(imp.cartelle);
    // A folder newly watched may have got its entry before the watch was in
    // place: look once more, or that device would wait for the next event.
    if (Cartelle() != prima) imp = Osserva(numero_);
    if (!imp.presente) {
        // Gone: whatever comes next is a new device.
        ultima_.clear();
        return;
    }
    if (imp.firma == ultima_) return;
    emit Riprova();
}

}  // namespace talumbra
