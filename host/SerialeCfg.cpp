#include "SerialeCfg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QRandomGenerator>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

namespace brelvo {
namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

// One field as a 16-bit integer: an optional sign, digits, optionally a
// decimal part with "." (rounded to the nearest, halves to even), nothing else.
std::optional<int16_t> Numero(QByteArray campo) {
    int a = 0, b = static_cast<int>(campo.size());
    while (a < b && Blank(campo[a])) ++a;
    while (b > a && Blank(campo[b - 1])) --b;
    campo = campo.mid(a, b - a);
    if (campo.isEmpty()) return std::nullopt;
    int i = 0;
    if (campo[0] == '+' || campo[0] == '-') ++i;
    int cifre = 0, punti = 0;
    for (int k = i; k < campo.size(); ++k) {
        if (campo[k] >= '0' && campo[k] <= '9')
            ++cifre;
        else if (campo[k] == '.' && punti == 0)
            ++punti;
        else
            return std::nullopt;
    }
    if (cifre == 0) return std::nullopt;
    bool ok = false;
    const double v = campo.toDouble(&ok);
    if (!ok || !std::isfinite(v)) return std::nullopt;
    const double r = std::nearbyint(v);
    if (r < std::numeric_limits<int16_t>::min() || r > std::numeric_limits<int16_t>::max()) return std::nullopt;
    return static_cast<int16_t>(r);
}

const char* Perche() { return std::strerror(errno); }

// A field as the message shows it: bytes outside 32-126 as \xHH.
QString Visibile(const QByteArray& campo) {
    QString s;
    for (const char c : campo.left(40)) {
        const auto u = static_cast<unsigned char>(c);
        s += u >= 32 && u <= 126 ? QString(QLatin1Char(c)) : QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return campo.size() > 40 ? s + QStringLiteral("...") : s;
}

// Closes a descriptor when it goes.
struct Descrittore {
    int fd;
    ~Descrittore() {
        if (fd >= 0) ::close(fd);
    }
};

bool ScriviTutto(int fd, const QByteArray& testo) {
    qsizetype fatti = 0;
    while (fatti < testo.size()) {
        const ssize_t n = ::write(fd, testo.constData() + fatti, static_cast<size_t>(testo.size() - fatti));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;  // nothing taken, no reason given
        if (n <= 0) return false;
        fatti += n;
    }
    return true;
}

// Writes over the file that `atteso` describes, keeping its inode, mode and
// owners; `segui` says whether a symlink at `p` may lead to it. Nothing is
// written unless what opens is that very regular file.
std::optional<QString> SulPosto(const QByteArray& p, const QByteArray& testo, const struct stat& atteso, bool segui) {
    Descrittore fd{::open(p.constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (segui ? 0 : O_NOFOLLOW))};
    if (fd.fd < 0) return QString::fromLocal8Bit(Perche());
    struct stat st {};
    if (::fstat(fd.fd, &st) != 0) return QString::fromLocal8Bit(Perche());
    if (!S_ISREG(st.st_mode) || st.st_dev != atteso.st_dev || st.st_ino != atteso.st_ino)
        return QStringLiteral("è cambiato mentre veniva scritto: non viene scritto");
    if (::ftruncate(fd.fd, 0) != 0 || !ScriviTutto(fd.fd, testo) || ::fsync(fd.fd) != 0)
        return QString::fromLocal8Bit(Perche());
    const int f = std::exchange(fd.fd, -1);
    if (::close(f) != 0) return QString::fromLocal8Bit(Perche());
    return std::nullopt;
}

// Writes a new file beside `p` and renames it over `p`: a failure leaves the
// old one whole. The new file takes the old one's mode, owner and group; with
// no old one, the usual mode for a new file.
std::optional<QString> Sostituisci(const QByteArray& p, const QByteArray& testo, const struct stat* vecchio) {
    const int barra = p.lastIndexOf('/');
    const QByteArray cartella = barra < 0 ? QByteArray() : p.left(barra + 1);
    const QByteArray nome = p.mid(barra + 1);
    QByteArray provvisorio;
    Descrittore fd{-1};
    for (int i = 0; i < 100 && fd.fd < 0; ++i) {
        provvisorio = cartella + '.' + nome + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 16);
        // O_EXCL: never an existing file, nor a link someone placed there.
        fd.fd = ::open(provvisorio.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd.fd < 0 && errno != EEXIST) break;
    }
    if (fd.fd < 0) {
        const int e = errno;
        // A writable file in a folder where no new file can be made.
        if (vecchio && (e == EACCES || e == EPERM || e == EROFS)) return SulPosto(p, testo, *vecchio, false);
        errno = e;
        return QString::fromLocal8Bit(Perche());
    }
    auto fallito = [&]() -> std::optional<QString> {
        const QString perche = QString::fromLocal8Bit(Perche());
        ::unlink(provvisorio.constData());
        return perche;
    };
    if (!ScriviTutto(fd.fd, testo)) return fallito();
    if (vecchio) {
        // Owner and group first: a change of owner clears the set-id bits.
        const uid_t proprietario = vecchio->st_uid == ::geteuid() ? uid_t(-1) : vecchio->st_uid;
        if (::fchown(fd.fd, proprietario, vecchio->st_gid) != 0) {
            // Not allowed to give the copy the old group or owner: keep them
            // by writing the old file in place, if it lets us.
            ::unlink(provvisorio.constData());
            return SulPosto(p, testo, *vecchio, false);
        }
        if (::fchmod(fd.fd, vecchio->st_mode & 07777) != 0) return fallito();
    }
    if (::fsync(fd.fd) != 0) return fallito();
    const int f = std::exchange(fd.fd, -1);
    if (::close(f) != 0) return fallito();
    if (::rename(provvisorio.constData(), p.constData()) != 0) return fallito();
    return std::nullopt;
}

}  // namespace

void LeggiSerialeCfg(const QByteArray& contenuto, SerialeCfg& cfg, QString* rifiuto) {
    // Fields end at a comma or a line end; empty lines between values are skipped.
    int16_t* campi[] = {&cfg.NSeriale, &cfg.mACapo, &cfg.mScrivi, &cfg.mFrecciaGiu};
    const char* nomi[] = {"il numero della porta", "\"A capo\"", "\"Scrivi\"", "\"Freccia giù\""};
    auto rifiuta = [&](const QString& perche) {
        if (rifiuto && rifiuto->isEmpty()) *rifiuto = perche;
    };
    qsizetype pos = 0;
    const qsizetype n = contenuto.size();
    for (int k = 0; k < 4; ++k) {
        int16_t* campo = campi[k];
        while (pos < n) {
            qsizetype k = pos;
            while (k < n && Blank(contenuto[k])) ++k;
            if (k < n && (contenuto[k] == '\r' || contenuto[k] == '\n'))
                pos = k + 1;
            else
                break;
        }
        if (pos >= n) return;  // end of file: this and later fields keep their values
        qsizetype fine = pos;
        while (fine < n && contenuto[fine] != ',' && contenuto[fine] != '\r' && contenuto[fine] != '\n') ++fine;
        const QByteArray testo = contenuto.mid(pos, fine - pos);
        if (auto v = Numero(testo)) {
            *campo = *v;
            if (k == 0 && (*v < kPrimaPorta || *v > kUltimaPorta))
                rifiuta(QStringLiteral("la porta %1 non esiste (le porte vanno da %2 a %3)")
                            .arg(*v)
                            .arg(kPrimaPorta)
                            .arg(kUltimaPorta));
        } else if (!testo.trimmed().isEmpty()) {
            rifiuta(QStringLiteral("«%1» non è un intero da -32768 a 32767 (%2)")
                        .arg(Visibile(testo.trimmed()), QString::fromUtf8(nomi[k])));
        }
        pos = fine;
        if (pos < n && contenuto[pos] == ',')
            ++pos;
        else if (pos < n && contenuto[pos] == '\r')
            pos += (pos + 1 < n && contenuto[pos + 1] == '\n') ? 2 : 1;
        else if (pos < n)
            ++pos;
    }
}

bool LeggiSerialeCfg(const QString& percorso, SerialeCfg& cfg, QString* avviso) {
    const QByteArray p = QFile::encodeName(percorso);
    auto ignora = [&](const QString& perche) {
        if (avviso)
            *avviso =
                percorso + ": " + perche + ": ignorato, valgono i valori predefiniti; il file non viene sovrascritto";
        return false;
    };
    // Looked at before opening: opening a device may act on it (a serial
    // line raises DTR), and a FIFO would wait for a writer.
    struct stat st {};
    if (::stat(p.constData(), &st) != 0) return errno == ENOENT ? false : ignora(QString::fromLocal8Bit(Perche()));
    if (!S_ISREG(st.st_mode)) return ignora(QStringLiteral("non è un file normale"));
    if (st.st_size > kMassimoSerialeCfg) return ignora(QStringLiteral("più di %1 byte").arg(kMassimoSerialeCfg));
    Descrittore fd{::open(p.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (fd.fd < 0) return ignora(QString::fromLocal8Bit(Perche()));
    // Swapped between the look and the opening: looked at again.
    if (::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) return ignora(QStringLiteral("non è un file normale"));
    QByteArray dati(kMassimoSerialeCfg + 1, Qt::Uninitialized);
    qsizetype letti = 0;
    while (letti < dati.size()) {
        const ssize_t n = ::read(fd.fd, dati.data() + letti, static_cast<size_t>(dati.size() - letti));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ignora(QString::fromLocal8Bit(Perche()));
        if (n == 0) break;
        letti += n;
    }
    if (letti > kMassimoSerialeCfg) return ignora(QStringLiteral("più di %1 byte").arg(kMassimoSerialeCfg));
    dati.truncate(letti);
    QString rifiuto;
    LeggiSerialeCfg(dati, cfg, &rifiuto);
    if (avviso && !rifiuto.isEmpty()) *avviso = percorso + ": " + rifiuto + ": il file non viene sovrascritto";
    return true;
}

QByteArray TestoSerialeCfg(const SerialeCfg& cfg) {
    QByteArray t;
    for (int v : {cfg.NSeriale, cfg.mACapo, cfg.mScrivi, cfg.mFrecciaGiu}) {
        t += v < 0 ? "-" : " ";
        t += QByteArray::number(v < 0 ? -v : v);
        t += " \r\n";
    }
    return t;
}

bool ScriviSerialeCfg(const QString& percorso, const SerialeCfg& cfg, QString* errore) {
    const QByteArray p = QFile::encodeName(percorso);
    const QByteArray testo = TestoSerialeCfg(cfg);
    auto rifiuta = [&](const QString& perche) {
        if (errore) *errore = percorso + ": " + perche;
        return false;
    };
    const QString nonScritto = QStringLiteral("non viene scritto");
    struct stat voce {};
    if (::lstat(p.constData(), &voce) != 0) {
        if (errno != ENOENT) return rifiuta(QString::fromLocal8Bit(Perche()));
        if (auto e = Sostituisci(p, testo, nullptr)) return rifiuta(*e);
        return true;
    }
    if (S_ISLNK(voce.st_mode)) {
        // Dotfile managers link the file to where they keep it: written there,
        // in place, when it is the user's own. Anything else may be a trap
        // (a link to another user's file, to a device, to a path not there).
        struct stat meta {};
        if (::stat(p.constData(), &meta) != 0)
            return rifiuta("è un collegamento a un percorso che non esiste (" + QString::fromLocal8Bit(Perche()) +
                           "): " + nonScritto);
        if (!S_ISREG(meta.st_mode))
            return rifiuta("è un collegamento a qualcosa che non è un file normale: " + nonScritto);
        if (voce.st_uid != ::geteuid() || meta.st_uid != ::geteuid())
            return rifiuta("è un collegamento a un file di un altro utente: " + nonScritto);
        if (auto e = SulPosto(p, testo, meta, true)) return rifiuta(*e);
        return true;
    }
    if (!S_ISREG(voce.st_mode)) return rifiuta("non è un file normale: " + nonScritto);
    if (auto e = Sostituisci(p, testo, &voce)) return rifiuta(*e);
    return true;
}

}  // namespace brelvo
