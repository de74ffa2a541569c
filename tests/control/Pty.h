#pragma once
// Pseudo-terminals for the integration tests: a port folder (TALUMBRA_PORTS)
// and a silent "reader" made of a pty whose master nobody answers.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <string>

namespace talumbra::test {

class PtyMuto {
public:
    PtyMuto() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && (grantpt(master_) != 0 || unlockpt(master_) != 0)) {
            ::close(master_);
            master_ = -1;
        }
        if (master_ >= 0) percorso_ = ptsname(master_);
    }
    ~PtyMuto() {
        if (master_ >= 0) ::close(master_);
    }
    PtyMuto(const PtyMuto&) = delete;
    PtyMuto& operator=(const PtyMuto&) = delete;
    bool ok() const { return master_ >= 0; }
    const std::string& percorso() const { return percorso_; }
    // Everything the other side wrote so far.
    std::string Letto() {
        std::string tutto;
        char buf[256];
        int fl = fcntl(master_, F_GETFL);
        fcntl(master_, F_SETFL, fl | O_NONBLOCK);
        for (ssize_t n; (n = ::read(master_, buf, sizeof buf)) > 0;) tutto.append(buf, size_t(n));
        fcntl(master_, F_SETFL, fl);
        return tutto;
    }

private:
    int master_ = -1;
    std::string percorso_;
};

// A port folder; Collega links comN to a device path. The machine's own
// serial devices (the built-in numbers) are masked by dangling links, so that
// only the tests' ports are usable.
class CartellaPorte {
public:
    CartellaPorte() {
        const char* famiglie[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
        for (int f = 0; f < 3; ++f)
            for (int i = 0; i < 32; ++i)
                if (QFile::exists(QStringLiteral("%1%2").arg(famiglie[f]).arg(i)))
                    Collega(f * 32 + i + 1, "/nonexistent/talumbra-masked");
    }
    QString percorso() const { return dir_.path(); }
    bool Collega(int n, const std::string& dispositivo) {
        return QFile::link(QString::fromStdString(dispositivo), dir_.filePath(QStringLiteral("com%1").arg(n)));
    }

private:
    QTemporaryDir dir_;
};

}  // namespace talumbra::test
