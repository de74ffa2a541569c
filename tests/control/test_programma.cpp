// talumbra-read as a program: usage, failures, exit statuses, and (with the
// reader simulator) the codes it prints.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <cstring>

#include "tests/support/PtyCoppia.h"
#include "tests/support/Simulatore.h"

using namespace talumbra::test;

namespace {

struct Esito {
    int codice = -1;
    QString out, err;
};

// Qt may print its own notes on standard error; the program's line is one of them.
bool RigaInizia(const QString& testo, const QString& inizio) {
    for (const QString& r : testo.split('\n'))
        if (r.startsWith(inizio)) return true;
    return false;
}

QProcessEnvironment Ambiente(const CartellaPorteTemporanea& porte) {
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("TALUMBRA_PORTS", QString::fromStdString(porte.Percorso()));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

Esito Esegui(const CartellaPorteTemporanea& porte, const QStringList& argomenti, int msMassimi = 120000) {
    QProcess p;
    p.setProcessEnvironment(Ambiente(porte));
    p.start(TALUMBRA_READ, argomenti);
    Esito e;
    if (!p.waitForFinished(msMassimi)) {
        p.kill();
        p.waitForFinished();
        e.err = "did not end";
        return e;
    }
    e.codice = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    e.out = QString::fromLatin1(p.readAllStandardOutput());
    e.err = QString::fromLatin1(p.readAllStandardError());
    return e;
}

TEST(Programma, ErroriDUso) {
    CartellaPorteTemporanea porte(true);
    for (const QStringList& a :
         {QStringList{}, QStringList{"--port"}, QStringList{"--port", "0"}, QStringList{"--port", "257"},
          QStringList{"--port", "5x"}, QStringList{"--port", "5", "--badge", "5"},
          QStringList{"--port", "5", "--quendel", "2"}, QStringList{"--port", "5", "--type", "-1"},
          QStringList{"--port", "5", "--count", "0"}, QStringList{"--port", "5", "--seconds", "abc"},
          QStringList{"--port", "5", "--what"},
          // Port lists: a range backwards, a port twice (also across --port), an empty item.
          QStringList{"--port", "3-2"}, QStringList{"--port", "4-6", "--port", "5"}, QStringList{"--port", "5,"},
          QStringList{"--port", "1,257"}}) {
        Esito e = Esegui(porte, a);
        EXPECT_EQ(e.codice, 2) << a.join(' ').toStdString();
        EXPECT_TRUE(e.err.contains("usage:")) << e.err.toStdString();
        EXPECT_TRUE(e.out.isEmpty());
    }
}

TEST(Programma, PortaInesistenteEsce4ConLErrore) {
    CartellaPorteTemporanea porte(true);
    // 200 has neither a link nor a built-in device.
    Esito e = Esegui(porte, {"--port", "200", "--events", "--no-reconnect"});
    EXPECT_EQ(e.codice, 4) << e.err.toStdString();
    EXPECT_TRUE(RigaInizia(e.err, "Errore 8002 ")) << e.err.toStdString();
}

TEST(Programma, LettoreMutoAnnullaEsce3) {
    CartellaPorteTemporanea porte(true);
    PtyCoppia pty(porte, 7);  // nobody answers
    Esito e = Esegui(porte, {"--port", "7", "--events", "--no-reconnect"});
    EXPECT_EQ(e.codice, 3) << e.err.toStdString();
    EXPECT_TRUE(e.out.startsWith("Stato 1\n")) << e.out.toStdString();
    EXPECT_TRUE(e.out.contains("Stato 0\n"));
    EXPECT_TRUE(e.out.contains("FindDevice 0 0\n"));
    EXPECT_FALSE(e.out.contains("FindDevice 1"));
}

// Every close signal ends the program with the closing sequence (EOT EOT) and
// status 0, also while standard output is a full pipe that nobody reads.
TEST(Programma, SegnaliDiChiusuraConEotEot) {
    struct Caso {
        int segnale;
        bool uscitaPiena;
    } casi[] = {{SIGTERM, false}, {SIGINT, false}, {SIGHUP, false}, {SIGQUIT, false}, {SIGTERM, true}};
    for (const Caso& k : casi) {
        SCOPED_TRACE(std::string(strsignal(k.segnale)) + (k.uscitaPiena ? ", output full" : ""));
        CartellaPorteTemporanea porte(true);
        PtyCoppia pty(porte, 9);
        QProcess p;
        p.setProcessEnvironment(Ambiente(porte));
        // Standard output a FIFO that this test holds open and reads from.
        QTemporaryDir cartella;
        const QByteArray fifo = QFile::encodeName(cartella.filePath("uscita"));
        ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
        const int fd = ::open(fifo.constData(), O_RDWR | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        p.setStandardOutputFile(QString::fromLocal8Bit(fifo));
        // KEZ-3: open at once, no presence check.
        p.start(TALUMBRA_READ, {"--port", "9", "--type", "1", "--events"});
        ASSERT_TRUE(p.waitForStarted());
        QByteArray out;
        std::string linea;
        char buf[256];
        // Generous, as every wait for a program on a loaded machine.
        for (int i = 0; i < 1200 && !out.contains("Stato 1\n"); ++i) {
            QThread::msleep(50);
            for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, n);
        }
        if (!out.contains("Stato 1\n")) {
            // What it said on standard error is only read once it has ended.
            p.kill();
            p.waitForFinished();
        }
        ASSERT_TRUE(out.contains("Stato 1\n")) << "standard output: " << out.toStdString()
                                               << "\nstandard error: " << p.readAllStandardError().toStdString();
        if (k.uscitaPiena) {
            // Nobody reads any more, the FIFO fills up, and the next line
            // (Stato, from switching the reader on again) blocks.
            ::fcntl(fd, F_SETPIPE_SZ, 4096);
            const std::string riempi(4096, 'x');
            while (::write(fd, riempi.data(), riempi.size()) > 0) {
            }
            ::kill(pid_t(p.processId()), SIGUSR1);
            QThread::msleep(500);
        }
        ::kill(pid_t(p.processId()), k.segnale);
        for (int i = 0; i < 600 && !p.waitForFinished(50); ++i) linea += pty.Letto();
        linea += pty.Letto();
        ASSERT_EQ(p.state(), QProcess::NotRunning);
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), 0);
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, n);
        ::close(fd);
        EXPECT_FALSE(out.contains("FindDevice"));
        EXPECT_NE(linea.find("\x04\x04"), std::string::npos);
        EXPECT_EQ(linea.find('V'), std::string::npos);
    }
}

TEST(Programma, LettoreVeroEventiInOrdineEConteggio) {
    CartellaPorteTemporanea porte(true);
    Simulatore sim(porte.Percorso(),
                   {"--port", "5", "--wait-host", "--start-delay", "1500", "--no-stdin", "0102030405", "0A0B0C0D0E"});
    ASSERT_TRUE(sim.Pronto()) << sim.Errori();
    Esito e = Esegui(porte, {"--port", "5", "--events", "--quendel", "0", "--count", "2"});
    EXPECT_EQ(e.codice, 0) << e.err.toStdString();
    EXPECT_EQ(e.out, "Stato 1\nStato 1\nFindDevice 1 0\nLettura U0102030405\nLettura U0A0B0C0D0E\n");
}

TEST(Programma, SoloICodiciConLaConversione) {
    CartellaPorteTemporanea porte(true);
    Simulatore sim(porte.Percorso(),
                   {"--port", "5", "--wait-host", "--start-delay", "1500", "--no-stdin", "0123456789"});
    ASSERT_TRUE(sim.Pronto()) << sim.Errori();
    Esito e = Esegui(porte, {"--port", "5", "--count", "1"});
    EXPECT_EQ(e.codice, 0) << e.err.toStdString();
    EXPECT_EQ(e.out, "80C4A2E691\n");
}

// --pipe: the lines go to the command's standard input, all of them before the
// program returns; a command that ends is a failed output, not a silent loss.
TEST(Programma, PipeVersoUnComando) {
    CartellaPorteTemporanea porte(true);
    Simulatore sim(porte.Percorso(),
                   {"--port", "5", "--wait-host", "--start-delay", "1500", "--no-stdin", "0123456789"});
    ASSERT_TRUE(sim.Pronto()) << sim.Errori();
    const QString file = QString::fromStdString(porte.Percorso()) + "/codici.txt";
    Esito e = Esegui(porte, {"--port", "5", "--count", "1", "--pipe", "sleep 0.3; cat > '" + file + "'"});
    EXPECT_EQ(e.codice, 0) << e.err.toStdString();
    EXPECT_TRUE(e.out.isEmpty()) << e.out.toStdString();
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "80C4A2E691\n");

    e = Esegui(porte, {"--port", "5", "--pipe", "exit 0"}, 60000);
    EXPECT_EQ(e.codice, 5) << e.err.toStdString();
    EXPECT_TRUE(RigaInizia(e.err, "talumbra-read: cannot write to standard output")) << e.err.toStdString();
}

TEST(Programma, PortaOccupataDaUnAltroProgramma) {
    CartellaPorteTemporanea porte(true);
    Simulatore sim(porte.Percorso(), {"--port", "5", "--no-stdin"});
    ASSERT_TRUE(sim.Pronto()) << sim.Errori();
    QProcess primo;
    primo.setProcessEnvironment(Ambiente(porte));
    primo.start(TALUMBRA_READ, {"--port", "5", "--events"});
    QByteArray out;
    for (int i = 0; i < 300 && !out.contains("FindDevice 1"); ++i) {
        primo.waitForReadyRead(100);
        out += primo.readAllStandardOutput();
    }
    ASSERT_TRUE(out.contains("FindDevice 1 0")) << out.toStdString();
    Esito e = Esegui(porte, {"--port", "5", "--no-reconnect"});
    EXPECT_EQ(e.codice, 4);
    EXPECT_TRUE(RigaInizia(e.err, "Errore 8010 ")) << e.err.toStdString();
    primo.terminate();
    ASSERT_TRUE(primo.waitForFinished(30000));
    EXPECT_EQ(primo.exitCode(), 0);
}

TEST(Programma, AdattatoreStaccatoNonFermaIlProgramma) {
    CartellaPorteTemporanea porte(true);
    Simulatore sim(porte.Percorso(), {"--port", "5", "--no-stdin", "--unplug-after", "3000"});
    ASSERT_TRUE(sim.Pronto()) << sim.Errori();
    QProcess p;
    p.setProcessEnvironment(Ambiente(porte));
    p.start(TALUMBRA_READ, {"--port", "5", "--events"});
    QByteArray out;
    for (int i = 0; i < 300 && !out.contains("Anomalia"); ++i) {
        p.waitForReadyRead(100);
        out += p.readAllStandardOutput();
    }
    EXPECT_TRUE(out.contains("FindDevice 1 0\n")) << out.toStdString();
    EXPECT_TRUE(out.contains("Anomalia Errore ")) << out.toStdString();
    EXPECT_EQ(p.state(), QProcess::Running);
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(30000));
    out += p.readAllStandardOutput();
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_TRUE(out.contains("Stato 0\n"));
}

}  // namespace
