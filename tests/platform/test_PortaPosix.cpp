#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/PortaPosix.h"
#include "talumbra/Fallimento.h"
#include "tests/support/PtyCoppia.h"

namespace talumbra::test {
namespace {

constexpr int16_t kPorta = 5;

// Runs the event loop until `fatto` holds or `ms` pass.
bool Finche(const std::function<bool()>& fatto, int ms = 5000) {
    QElapsedTimer t;
    t.start();
    while (!fatto()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Runs the event loop for `ms`.
void Gira(int ms) {
    Finche([] { return false; }, ms);
}

int32_t Fallisce(const std::function<void()>& f, std::string* descrizione = nullptr) {
    try {
        f();
    } catch (const Fallimento& e) {
        if (descrizione) *descrizione = e.Descrizione();
        return e.Numero();
    }
    return 0;
}

class PortaPty : public ::testing::Test {
protected:
    CartellaPorteTemporanea dir;
    PtyCoppia pty{dir, kPorta};
    PortaPosix porta;
    int notifiche = 0;

    void SetUp() override {
        porta.setCommPort(kPorta);
        porta.OnComm = [this] { ++notifiche; };
    }
    void Apri() {
        porta.setPortOpen(true);
        ASSERT_TRUE(porta.PortOpen());
    }
};

// ---- Settings

TEST(ImpostazioniLinea, ValidTextsGiveTheirLine) {
    struct Caso {
        const char* testo;
        speed_t velocita;
        tcflag_t cflag;  // among CSIZE PARENB PARODD CMSPAR CSTOPB
    } casi[] = {
        {"9600,n,8,1", B9600, CS8},
        {"19200,E,7,2", B19200, CS7 | PARENB | CSTOPB},
        {"1200,o,5,1.5", B1200, CS5 | PARENB | PARODD | CSTOPB},
        {"115200, m ,6,1", B115200, CS6 | PARENB | PARODD | CMSPAR},
        {"300,s,8,1", B300, CS8 | PARENB | CMSPAR},
    };
    for (const auto& c : casi) {
        termios t{};
        t.c_lflag = ECHO | ICANON;
        t.c_iflag = ICRNL | IXON;
        t.c_oflag = OPOST;
        ApplicaImpostazioni(LeggiImpostazioni(c.testo), t);
        EXPECT_EQ(cfgetospeed(&t), c.velocita) << c.testo;
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), c.cflag) << c.testo;
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON), 0u) << c.testo;
        EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u) << c.testo;
        EXPECT_EQ(t.c_oflag & OPOST, 0u) << c.testo;
    }
}

TEST(ImpostazioniLinea, MalformedTextsFailWith380AndKeepTheOldSettings) {
    PortaPosix p;
    EXPECT_EQ(p.Settings(), "9600,n,8,1");
    EXPECT_EQ(p.CommPort(), 1);
    for (const char* testo : {"", "9600", "9600,n,8", "9600,n,8,1,1", "96OO,n,8,1", "-9600,n,8,1", "12345,n,8,1",
                              "9600,x,8,1", "9600,no,8,1", "9600,n,9,1", "9600,n,4,1", "9600,n,8,3", "9600,n,8,"}) {
        std::string d;
        EXPECT_EQ(Fallisce([&] { p.setSettings(testo); }, &d), errValoreNonValido) << testo;
        EXPECT_NE(d.find("9600,n,8,1"), std::string::npos) << d;  // says what is expected
    }
    EXPECT_EQ(p.Settings(), "9600,n,8,1");
}

TEST_F(PortaPty, SettingsApplyAtOpenAndAtOnceWhileOpen) {
    porta.setSettings("19200,e,7,2");  // closed: kept for the opening
    Apri();
    termios t = pty.Impostazioni();
    // A pty keeps speed and stop bits but forces 8 bits without parity, so
    // those two are checked on ApplicaImpostazioni above.
    EXPECT_EQ(cfgetispeed(&t), B19200);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    porta.setSettings("4800,n,8,1");
    t = pty.Impostazioni();
    EXPECT_EQ(cfgetospeed(&t), B4800);
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(Fallisce([&] { porta.setSettings("4800;n;8;1"); }), errValoreNonValido);
    EXPECT_EQ(porta.Settings(), "4800,n,8,1");
}

// ---- Opening and closing

TEST_F(PortaPty, OpenTwiceOrRenumberWhileOpenFailWith8005) {
    porta.setPortOpen(false);  // closing a closed port does nothing
    Apri();
    std::string d;
    EXPECT_EQ(Fallisce([&] { porta.setPortOpen(true); }, &d), errPortaGiaAperta);
    EXPECT_NE(d.find("5"), std::string::npos);
    EXPECT_NE(d.find(pty.Link()), std::string::npos) << d;
    EXPECT_EQ(Fallisce([&] { porta.setCommPort(6); }), errPortaGiaAperta);
    EXPECT_EQ(porta.CommPort(), kPorta);
    EXPECT_TRUE(porta.PortOpen());
    porta.setPortOpen(false);
    porta.setPortOpen(false);
    EXPECT_FALSE(porta.PortOpen());
    porta.setCommPort(6);
    EXPECT_EQ(Fallisce([&] { porta.setPortOpen(true); }), errPortaInesistente);
    EXPECT_FALSE(porta.PortOpen());
    porta.setCommPort(kPorta);
    Apri();  // reopening after close works
}

TEST_F(PortaPty, SecondOpenerFailsWith8010InThisProcessAndAnother) {
    Apri();
    PortaPosix altra;
    altra.setCommPort(kPorta);
    std::string d;
    EXPECT_EQ(Fallisce([&] { altra.setPortOpen(true); }, &d), errPortaOccupata);
    EXPECT_NE(d.find(pty.Link()), std::string::npos) << d;

    // Another process; as root TIOCEXCL does not stop it, the lock must.
    int tubo[2];
    ASSERT_EQ(::pipe(tubo), 0);
    pid_t figlio = ::fork();
    ASSERT_GE(figlio, 0);
    if (figlio == 0) {
        ::close(tubo[0]);
        int32_t numero = 0;
        {
            PortaPosix p;
            p.setCommPort(kPorta);
            try {
                p.setPortOpen(true);
            } catch (const Fallimento& f) {
                numero = f.Numero();
            }
        }
        (void)!::write(tubo[1], &numero, sizeof numero);
        ::_exit(0);
    }
    ::close(tubo[1]);
    int32_t numero = -1;
    EXPECT_EQ(::read(tubo[0], &numero, sizeof numero), ssize_t(sizeof numero));
    ::close(tubo[0]);
    int stato = 0;
    ::waitpid(figlio, &stato, 0);
    EXPECT_EQ(numero, errPortaOccupata);

    // Free again once closed.
    porta.setPortOpen(false);
    altra.setPortOpen(true);
    EXPECT_TRUE(altra.PortOpen());
}

TEST_F(PortaPty, PermissionDeniedIs8010AndNamesOnlyAnAccessGroup) {
    // As root, the opening is tried by a child running as nobody.
    const bool root = ::geteuid() == 0;
    ASSERT_EQ(::chmod(dir.Percorso().c_str(), 0755), 0);
    auto apri = [&] {
        int tubo[2];
        if (::pipe(tubo) != 0) return std::string("pipe");
        const pid_t figlio = ::fork();
        if (figlio == 0) {
            ::close(tubo[0]);
            std::string d = "opened";
            if (root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) d = "setuid";
            PortaPosix p;
            p.setCommPort(kPorta);
            if (d == "opened" && Fallisce([&] { p.setPortOpen(true); }, &d) != errPortaOccupata) d = "not 8010: " + d;
            (void)!::write(tubo[1], d.data(), d.size());
            ::_exit(0);
        }
        ::close(tubo[1]);
        std::string d;
        char buf[512];
        for (ssize_t n; (n = ::read(tubo[0], buf, sizeof buf)) > 0;) d.append(buf, size_t(n));
        ::close(tubo[0]);
        ::waitpid(figlio, nullptr, 0);
        return d;
    };
    struct stat st {};
    ASSERT_EQ(::stat(pty.Slave().c_str(), &st), 0);
    // The owner's alone, or a group that may not read and write: joining it
    // would not help, so the advice is a udev rule.
    ASSERT_EQ(::chmod(pty.Slave().c_str(), root ? 0600 : 0), 0);
    std::string d = apri();
    EXPECT_NE(d.find("udev rule"), std::string::npos) << d;
    EXPECT_EQ(d.find("usermod"), std::string::npos) << d;
    ASSERT_EQ(::chmod(pty.Slave().c_str(), 0620), 0);
    d = apri();
    EXPECT_EQ(d.find("usermod"), std::string::npos) << d;
    // An access group the user is not in.
    if (group* g = ::getgrnam("dialout"); root && g) {
        ASSERT_EQ(::chown(pty.Slave().c_str(), 0, g->gr_gid), 0);
        ASSERT_EQ(::chmod(pty.Slave().c_str(), 0660), 0);
        d = apri();
        EXPECT_NE(d.find("group \"dialout\": add your user to it (sudo usermod -aG dialout $USER)"), std::string::npos)
            << d;
    }
    (void)::chown(pty.Slave().c_str(), st.st_uid, st.st_gid);
}

TEST_F(PortaPty, NotASerialDeviceIs68) {
    ::unlink(pty.Link().c_str());
    ASSERT_EQ(::symlink("/dev/null", pty.Link().c_str()), 0);
    EXPECT_EQ(Fallisce([&] { porta.setPortOpen(true); }), errDispositivoNonDisponibile);
    EXPECT_FALSE(porta.PortOpen());
}

TEST_F(PortaPty, ModemLinesAreKeptAndDoNotFailOnAPty) {
    porta.setDTREnable(true);
    porta.setRTSEnable(true);
    Apri();  // applied at open; a pty has no lines and that is fine
    porta.setDTREnable(false);
    EXPECT_FALSE(porta.DTREnable());
    EXPECT_TRUE(porta.RTSEnable());
}

// ---- Data

TEST_F(PortaPty, BytesTravelBothWaysUnchanged) {
    Apri();
    std::string tutti;
    for (int c = 0; c < 256; ++c) tutti += static_cast<char>(c);
    porta.Output(tutti + "\r\n");
    EXPECT_EQ(pty.Leggi(258), tutti + "\r\n");

    EXPECT_EQ(porta.Input(), "");  // nothing waiting: empty, at once
    pty.Scrivi(tutti);
    ASSERT_TRUE(Finche([&] { return porta.InBufferCount() == 256; }));
    EXPECT_EQ(porta.Input(), tutti);
    EXPECT_EQ(porta.InBufferCount(), 0);
}

TEST_F(PortaPty, LongOutputWaitsForTheDeviceAndKeepsOrder) {
    Apri();
    std::string molto;
    for (int i = 0; i < 300000; ++i) molto += static_cast<char>('a' + i % 26);
    std::string ricevuto;
    std::thread dispositivo([&] { ricevuto = pty.Leggi(molto.size(), 20000); });
    porta.Output(molto);  // far more than the pty holds at once
    dispositivo.join();
    EXPECT_TRUE(ricevuto == molto) << ricevuto.size() << " bytes came";
}

TEST_F(PortaPty, OutputToADeviceThatTakesNothingFailsWith68) {
    Apri();
    std::string molto(1 << 20, 'x');
    EXPECT_EQ(Fallisce([&] { porta.Output(molto); }), errDispositivoNonDisponibile);
    EXPECT_TRUE(porta.PortOpen());
}

TEST_F(PortaPty, FloodBeyondTheBufferLimitLosesNothing) {
    Apri();
    std::string molto;
    for (int i = 0; i < 3 << 19; ++i) molto += static_cast<char>(i * 7 % 251);
    std::thread dispositivo([&] { pty.Scrivi(molto); });
    // Let it pile up unread first, then read it all.
    Gira(300);
    std::string ricevuto;
    ASSERT_TRUE(Finche(
        [&] {
            ricevuto += porta.Input();
            return ricevuto.size() >= molto.size();
        },
        20000));
    dispositivo.join();
    EXPECT_TRUE(ricevuto == molto) << ricevuto.size() << " bytes came";
}

TEST_F(PortaPty, InputLenOneTakesOneCharacterAtATime) {
    Apri();
    pty.Scrivi("ABC");
    ASSERT_TRUE(Finche([&] { return porta.InBufferCount() == 3; }));
    porta.setInputLen(1);
    EXPECT_EQ(porta.Input(), "A");
    EXPECT_EQ(porta.InBufferCount(), 2);
    EXPECT_EQ(porta.Input(), "B");
    pty.Scrivi("D");
    ASSERT_TRUE(Finche([&] { return porta.InBufferCount() == 2; }));
    porta.setInputLen(0);
    EXPECT_EQ(porta.Input(), "CD");
    EXPECT_EQ(porta.Input(), "");
}

TEST_F(PortaPty, ClosedPortRefusesDataOperations) {
    EXPECT_NE(Fallisce([&] { porta.Input(); }), 0);
    EXPECT_NE(Fallisce([&] { porta.Output("x"); }), 0);
    EXPECT_NE(Fallisce([&] { porta.InBufferCount(); }), 0);
    // Properties are kept while closed.
    porta.setRThreshold(1);
    porta.setInputLen(1);
    EXPECT_EQ(porta.RThreshold(), 1);
    EXPECT_EQ(porta.InputLen(), 1);
    EXPECT_EQ(Fallisce([&] { porta.setRThreshold(2); }), errValoreNonValido);
}

// ---- Receive notification

TEST_F(PortaPty, NotifiesOncePerArrivalAndNotForBytesLeftUnread) {
    porta.setRThreshold(1);
    Apri();
    pty.Scrivi("AB");
    ASSERT_TRUE(Finche([&] { return notifiche == 1; }));
    EXPECT_EQ(porta.CommEvent(), comEvReceive);
    Gira(200);  // unread bytes do not fire it again
    EXPECT_EQ(notifiche, 1);
    EXPECT_EQ(porta.InBufferCount(), 2);

    pty.Scrivi("C");
    ASSERT_TRUE(Finche([&] { return notifiche == 2; }));
    porta.setInputLen(1);
    EXPECT_EQ(porta.Input(), "A");
    // A handler that stopped early asks again: once, from the event loop.
    porta.RinnovaNotifica();
    EXPECT_EQ(notifiche, 2);
    ASSERT_TRUE(Finche([&] { return notifiche == 3; }));
    porta.setInputLen(0);
    EXPECT_EQ(porta.Input(), "BC");
    porta.RinnovaNotifica();  // nothing waiting: nothing to report
    Gira(100);
    EXPECT_EQ(notifiche, 3);
}

TEST_F(PortaPty, ThresholdZeroHoldsBytesAndBackToOneReportsThemLater) {
    Apri();
    porta.setRThreshold(0);
    pty.Scrivi("XY");
    ASSERT_TRUE(Finche([&] { return porta.InBufferCount() == 2; }));
    Gira(100);
    EXPECT_EQ(notifiche, 0);

    porta.setRThreshold(1);
    EXPECT_EQ(notifiche, 0);  // queued, not from inside the setter
    ASSERT_TRUE(Finche([&] { return notifiche == 1; }));
    Gira(100);
    EXPECT_EQ(notifiche, 1);
}

TEST_F(PortaPty, HandlerThatSwitchesOffAndReadsNothingDoesNotLoop) {
    // As the channel does for an unknown reader: off, read nothing, on again.
    porta.OnComm = [this] {
        ++notifiche;
        porta.setRThreshold(0);
        porta.setRThreshold(1);
    };
    porta.setRThreshold(1);
    Apri();
    pty.Scrivi("Z");
    ASSERT_TRUE(Finche([&] { return notifiche == 1; }));
    Gira(200);
    EXPECT_EQ(notifiche, 1);
    EXPECT_EQ(porta.InBufferCount(), 1);
}

TEST_F(PortaPty, HandlerMayCloseThePort) {
    porta.OnComm = [this] {
        ++notifiche;
        porta.setPortOpen(false);
    };
    porta.setRThreshold(1);
    Apri();
    pty.Scrivi("Q");
    ASSERT_TRUE(Finche([&] { return notifiche == 1; }));
    Gira(100);
    EXPECT_FALSE(porta.PortOpen());
    Apri();
    pty.Scrivi("R");
    ASSERT_TRUE(Finche([&] { return notifiche == 2; }));
}

TEST_F(PortaPty, HandlerMayReleaseThePortItself) {
    // The owner of a port may be released by what its own notification does
    // (a host closing its window on a code): the delivery must not touch it after.
    auto propria = std::make_unique<PortaPosix>();
    propria->setCommPort(kPorta);
    propria->OnComm = [&] {
        ++notifiche;
        propria.reset();
    };
    propria->setRThreshold(1);
    propria->setPortOpen(true);
    pty.Scrivi("Q");
    ASSERT_TRUE(Finche([&] { return notifiche == 1; }));
    Gira(100);
    EXPECT_EQ(propria, nullptr);
    EXPECT_EQ(notifiche, 1);
}

// ---- The device goes away

TEST_F(PortaPty, HungUpDeviceNotifiesOnceThenFailsWith68) {
    int32_t nellaNotifica = 0;
    porta.OnComm = [&] {
        ++notifiche;
        nellaNotifica = Fallisce([&] { porta.Input(); });
    };
    porta.setRThreshold(1);
    Apri();
    pty.ChiudiMaster();
    ASSERT_TRUE(Finche([&] { return notifiche == 1; }));
    EXPECT_EQ(nellaNotifica, errDispositivoNonDisponibile);
    uint64_t risvegli = porta.Risvegli();
    Gira(300);
    EXPECT_EQ(notifiche, 1);
    EXPECT_EQ(porta.Risvegli(), risvegli);  // the notifier is quiet: no spin

    std::string d;
    EXPECT_EQ(Fallisce([&] { porta.Input(); }, &d), errDispositivoNonDisponibile);
    EXPECT_NE(d.find(pty.Link()), std::string::npos) << d;
    EXPECT_EQ(Fallisce([&] { porta.InBufferCount(); }), errDispositivoNonDisponibile);
    EXPECT_EQ(Fallisce([&] { porta.Output("x"); }), errDispositivoNonDisponibile);
    EXPECT_EQ(Fallisce([&] { porta.AttendiDati(100000); }), errDispositivoNonDisponibile);
    EXPECT_EQ(Fallisce([&] { porta.setRThreshold(0); }), errDispositivoNonDisponibile);
    EXPECT_EQ(Fallisce([&] { porta.setPortOpen(true); }), errDispositivoNonDisponibile);
    EXPECT_EQ(Fallisce([&] { porta.setPortOpen(false); }), 0);
    EXPECT_FALSE(porta.PortOpen());
}

TEST_F(PortaPty, HangUpFoundByAWaitOrAWrite) {
    Apri();  // threshold 0: as during a transaction
    pty.Scrivi("U01");
    ASSERT_TRUE(Finche([&] { return porta.InBufferCount() == 3; }));
    pty.ChiudiMaster();
    // What the device sent before it hung up is still read (codes a fast
    // reader sent just before the pull); only then does reading fail.
    EXPECT_EQ(porta.Input(), "U01");
    // Without the event loop running: the wait itself finds it, at once.
    EXPECT_EQ(Fallisce([&] { porta.AttendiDati(3600000); }), errDispositivoNonDisponibile);
    EXPECT_EQ(Fallisce([&] { porta.Input(); }), errDispositivoNonDisponibile);
    const uint64_t risvegli = porta.Risvegli();
    Gira(100);
    EXPECT_EQ(notifiche, 0);
    EXPECT_EQ(porta.Risvegli(), risvegli);  // a gone device, found by a read, does not wake the loop
    porta.setPortOpen(false);

    PtyCoppia altra(dir, 6);
    porta.setCommPort(6);
    Apri();
    altra.ChiudiMaster();
    EXPECT_EQ(Fallisce([&] { porta.Output("hello"); }), errDispositivoNonDisponibile);
}

// ---- Waiting

TEST_F(PortaPty, AttendiDatiReturnsWhenAByteComes) {
    Apri();
    std::thread dispositivo([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.Scrivi("K");
    });
    porta.AttendiDati(3600000);  // a wait that missed the byte would hang the test
    dispositivo.join();
    EXPECT_EQ(porta.Input(), "K");
}

TEST_F(PortaPty, AttendiDatiSleepsTheWholeTimeWhenNothingComes) {
    Apri();
    QElapsedTimer t;
    t.start();
    porta.AttendiDati(150);
    EXPECT_GE(t.elapsed(), 145);
    EXPECT_EQ(porta.InBufferCount(), 0);

    // Bytes already waiting: no wait at all, and nothing is consumed.
    pty.Scrivi("W");
    porta.AttendiDati(3600000);
    EXPECT_EQ(porta.Input(), "W");
}

}  // namespace
}  // namespace talumbra::test
