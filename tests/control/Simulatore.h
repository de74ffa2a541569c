#pragma once
// Runs talumbra-sim on a pseudo-terminal linked as comN in a port folder.
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStringList>
#include <csignal>

namespace talumbra::test {

class Simulatore {
public:
    // Starts the sim with `argomenti` (after --port N) and waits for its ready line.
    Simulatore(const QString& cartellaPorte, int porta, const QStringList& argomenti) : cartella_(cartellaPorte) {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("TALUMBRA_PORTS", cartellaPorte);
        p_.setProcessEnvironment(env);
        p_.setProcessChannelMode(QProcess::SeparateChannels);
        p_.start(TALUMBRA_SIM, QStringList{"--port", QString::number(porta)} + argomenti);
        if (!p_.waitForStarted(10000)) return;
        for (int i = 0; i < 300 && !pronto_; ++i) {
            p_.waitForReadyRead(100);
            uscita_ += QString::fromLatin1(p_.readAllStandardOutput());
            auto m = QRegularExpression(R"(ready port (\d+) (\S+))").match(uscita_);
            if (m.hasMatch()) {
                pronto_ = true;
                dispositivo_ = m.captured(2);
            }
            if (p_.state() == QProcess::NotRunning) break;
        }
    }
    ~Simulatore() {
        if (p_.state() != QProcess::NotRunning) {
            p_.terminate();
            if (!p_.waitForFinished(10000)) {
                p_.kill();
                p_.waitForFinished();
            }
        }
    }
    bool pronto() const { return pronto_; }
    QString dispositivo() const { return dispositivo_; }
    QString errori() { return QString::fromLatin1(p_.readAllStandardError()); }
    // Pulls the reader out (the sim closes its pty and removes the link).
    void Stacca() { ::kill(pid_t(p_.processId()), SIGUSR1); }
    QProcess& processo() { return p_; }

private:
    QString cartella_;
    QProcess p_;
    QString uscita_;
    QString dispositivo_;
    bool pronto_ = false;
};

}  // namespace talumbra::test
