// The simulator as a user runs it: a child process with its own port folder,
// driven by a bare client on the linked slave (raw mode, poll, generous
// deadlines). No upper bound on any time is asserted.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "SimFrames.h"
#include "tests/support/PtyCoppia.h"
#include "tests/support/Simulatore.h"

using namespace talumbra_sim;
using talumbra::test::CartellaPorteTemporanea;
using talumbra::test::Simulatore;

namespace {

constexpr int kLong = talumbra::test::AttesaLunga;

std::int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

// A bare serial client: the linked slave in raw mode.
class Client {
public:
    explicit Client(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) return;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~Client() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    void send(const std::string& s) { ASSERT_EQ(write(fd_, s.data(), s.size()), static_cast<ssize_t>(s.size())); }

    // Reads until `done(received)` holds, the deadline passes or the line
    // goes away (then hungUp is set). Returns everything received and not
    // yet taken by readLine/readBytes.
    std::string readUntil(const std::function<bool(const std::string&)>& done, int timeoutMs = kLong) {
        fill(done, timeoutMs);
        std::string got;
        got.swap(pending_);
        return got;
    }
    // One line up to and including CR LF (what came so far on time-out).
    std::string readLine(int timeoutMs = kLong) {
        fill([](const std::string& s) { return s.find("\r\n") != std::string::npos; }, timeoutMs);
        auto end = pending_.find("\r\n");
        return take(end == std::string::npos ? pending_.size() : end + 2);
    }
    std::string readBytes(std::size_t n, int timeoutMs = kLong) {
        fill([n](const std::string& s) { return s.size() >= n; }, timeoutMs);
        return take(std::min(n, pending_.size()));
    }

    bool hungUp = false;

private:
    void fill(const std::function<bool(const std::string&)>& done, int timeoutMs) {
        std::int64_t end = nowMs() + timeoutMs;
        while (!done(pending_)) {
            std::int64_t left = end - nowMs();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char b[65536];
            ssize_t n = read(fd_, b, sizeof b);
            if (n > 0) {
                pending_.append(b, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                hungUp = true;
                break;
            }
        }
    }
    std::string take(std::size_t n) {
        std::string s = pending_.substr(0, n);
        pending_.erase(0, n);
        return s;
    }

    int fd_ = -1;
    std::string pending_;
};

std::string linkTarget(const std::string& path) {
    char b[256];
    ssize_t n = readlink(path.c_str(), b, sizeof b);
    return n < 0 ? std::string() : std::string(b, static_cast<std::size_t>(n));
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

class SimPty : public ::testing::Test {
protected:
    CartellaPorteTemporanea dir;
    std::string com(int n) const { return dir.Percorso() + "/com" + std::to_string(n); }
};

}  // namespace

TEST_F(SimPty, TextReaderAnswersKeepsPagesAndSendsCodes) {
    Simulatore sim(dir.Percorso(), {"--port", "3", "--wait-host", "0123456789"});
    ASSERT_TRUE(sim.Pronto()) << sim.Errori();
    const std::string dev = sim.Dispositivo();
    ASSERT_EQ(dev.rfind("/dev/pts/", 0), 0u) << dev;
    EXPECT_EQ(sim.Porta(), 3);
    EXPECT_EQ(linkTarget(com(3)), dev);

    Client c(com(3));
    ASSERT_TRUE(c.ok());
    c.send("V");
    std::string v = c.readLine();
    ASSERT_GE(v.size(), 2u);
    EXPECT_NE(v.find("OMBRISK-125"), std::string::npos) << v;
    EXPECT_GT(v.size() - 2, 16u);
    // The code waits for the first answered request, then comes as a line.
    std::string code = c.readLine();
    EXPECT_EQ(code, "U0123456789\r\n");

    c.send("W0112345678");
    EXPECT_EQ(c.readLine(), "OK\r\n");
    c.send("R01");
    EXPECT_EQ(c.readLine(), "12345678\r\n");

    sim.Segnale(SIGTERM);
    EXPECT_EQ(sim.Riga(), "codes sent 1");
    EXPECT_EQ(sim.Fine(), 0);
    EXPECT_FALSE(exists(com(3)));  // the link goes with the sim
}

TEST_F(SimPty, BinaryFrameReader) {
    Simulatore sim(dir.Percorso(), {"--family", "kez", "--port", "4", "--wait-host", "0102030405"});
    ASSERT_TRUE(sim.Pronto()) << sim.Errori();
    Client c(com(4));
    c.send("V");
    std::string v = c.readLine();
    EXPECT_NE(v.find("KEZ"), std::string::npos) << v;
    EXPECT_EQ(v.substr(v.size() - 2), "\r\n");
    EXPECT_EQ(c.readBytes(7), kezFrame("0102030405"));
}

TEST_F(SimPty, FramedReadersIgnoreTheTextRequest) {
    for (const char* fam : {"mavo-sir", "mavo-dor"}) {
        SCOPED_TRACE(fam);
        const bool sir = std::string(fam) == "mavo-sir";
        // A DORMAVO reader sends its codes as binary frames, a SIRMAVO reader as framed text.
        const std::string badge = sir ? "12345678" : "0102030405";
        Simulatore sim(dir.Percorso(), {"--family", fam, "--port", "5", "--wait-host", badge});
        ASSERT_TRUE(sim.Pronto()) << sim.Errori();
        Client c(com(5));
        c.send("V");
        c.send(
            std::string("\x02"
                        "f\x03g"));
        // Whatever arrives first must be the framed answer, not a reply to V.
        std::string got = c.readUntil([](const std::string& s) {
            auto etx = s.find('\x03');
            return etx != std::string::npos && s.size() > etx + 1;
        });
        auto etx = got.find('\x03');
        ASSERT_NE(etx, std::string::npos) << textDump(got);
        std::string frame = got.substr(0, etx + 1);
        EXPECT_EQ(frame[0], STX);
        EXPECT_GT(frame.size(), 16u);
        EXPECT_NE(frame.find(std::string(fam) == "mavo-sir" ? "SIRMAVO" : "DORMAVO"), std::string::npos);
        EXPECT_EQ(static_cast<unsigned char>(got[etx + 1]), xorCheck(frame));
        std::string rest = got.substr(etx + 2);
        std::string code = sir ? mavoCodeFrame(badge) : kezFrame(badge);
        rest += c.readBytes(code.size() - rest.size());
        EXPECT_EQ(rest, code);
        sim.Segnale(SIGINT);
        EXPECT_EQ(sim.Fine(), 0);
    }
}

// Each request is awaited on the simulator's own trace, not on a pause.
TEST_F(SimPty, SilentReaderAndLateReader) {
    Simulatore silent(dir.Percorso(), {"--port", "6", "--silent", "-v"});
    ASSERT_TRUE(silent.Pronto()) << silent.Errori();
    Client s(com(6));
    s.send("V");
    ASSERT_TRUE(silent.AttendiErrori("request 1 V: not answered (silent)")) << silent.Errori();
    EXPECT_EQ(s.readLine(0), "");

    Simulatore late(dir.Percorso(), {"--family", "kez", "--port", "7", "--answer-from", "3", "-v"});
    ASSERT_TRUE(late.Pronto()) << late.Errori();
    Client c(com(7));
    c.send("V");
    ASSERT_TRUE(late.AttendiErrori("request 1 V: not answered")) << late.Errori();
    c.send("V");
    ASSERT_TRUE(late.AttendiErrori("request 2 V: not answered")) << late.Errori();
    c.send("V");
    // Only the third is answered: the first line to come is its reply.
    std::string v = c.readLine();
    EXPECT_EQ(v.rfind("KEZ", 0), 0u) << v;
}

TEST_F(SimPty, UnplugAndReplugOnTheSameNumber) {
    Simulatore sim(dir.Percorso(), {"--port", "8", "--unplug-after", "300", "--replug-after", "300"});
    ASSERT_TRUE(sim.Pronto()) << sim.Errori();
    Client c(com(8));
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(sim.Riga(), "unplugged port 8");
    c.readLine();  // the far end sees the line go away
    EXPECT_TRUE(c.hungUp);
    ASSERT_TRUE(sim.Pronto());
    EXPECT_EQ(linkTarget(com(8)), sim.Dispositivo());
    Client again(com(8));
    again.send("V");
    EXPECT_NE(again.readLine().find("OMBRISK-125"), std::string::npos);

    // SIGUSR1 pulls the cable; a second one puts it back.
    sim.Segnale(SIGUSR1);
    EXPECT_EQ(sim.Riga(), "unplugged port 8");
    EXPECT_FALSE(exists(com(8)));
    sim.Segnale(SIGUSR1);
    EXPECT_TRUE(sim.Pronto()) << sim.Errori();
    EXPECT_TRUE(exists(com(8)));
}

// A device that appears late, is held by another program for a while each
// time it appears, and drops out a set number of times.
TEST_F(SimPty, LateBusyAndFlappingPort) {
    Simulatore sim(dir.Percorso(), {"--port", "13", "--appear-after", "300", "--busy-for", "200", "--unplug-after",
                                    "400", "--replug-after", "100", "--unplugs", "2"});
    EXPECT_FALSE(exists(com(13)));
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(sim.Pronto()) << sim.Errori();
        EXPECT_EQ(sim.Riga(), "busy port 13");
        // Root may open an exclusive tty; the lock still keeps it out.
        int fd = open(com(13).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
            close(fd);
        } else {
            EXPECT_EQ(errno, EBUSY);
        }
        EXPECT_EQ(sim.Riga(), "released port 13");
        Client c(com(13));
        ASSERT_TRUE(c.ok());
        c.send("V");
        EXPECT_NE(c.readLine().find("OMBRISK-125"), std::string::npos);
        if (round < 2) {
            EXPECT_EQ(sim.Riga(), "unplugged port 13");
        }
    }
}

TEST_F(SimPty, ATakenNumberIsRefusedAndAutomaticNumbersDiffer) {
    Simulatore one(dir.Percorso(), {"--port", "9"});
    ASSERT_TRUE(one.Pronto()) << one.Errori();
    Simulatore two(dir.Percorso(), {"--port", "9"});
    EXPECT_EQ(two.Fine(), 1);
    EXPECT_TRUE(exists(com(9)));  // the first one's link is left alone

    Simulatore autoA(dir.Percorso(), {});
    Simulatore autoB(dir.Percorso(), {});
    ASSERT_TRUE(autoA.Pronto() && autoB.Pronto());
    const int a = autoA.Porta(), b = autoB.Porta();
    EXPECT_NE(a, b);
    EXPECT_NE(a, 9);
    EXPECT_NE(b, 9);
}

TEST_F(SimPty, GeneratedCodesAreLoggedWithTheirTimes) {
    Simulatore sim(dir.Percorso(), {"--family", "kez", "--port", "10", "--rate", "5", "--wait-host", "--exit-when-done",
                                    "--log-times", "--bad-check", "--fault-every", "2"});
    ASSERT_TRUE(sim.Pronto()) << sim.Errori();
    Client c(com(10));
    c.send("V");
    c.readLine();
    std::string frames = c.readBytes(5 * 7);
    ASSERT_EQ(frames.size(), 35u);
    for (int i = 0; i < 5; ++i) {
        std::string want = kezFrame(counterCode(static_cast<std::uint64_t>(i + 1), 10));
        if (i % 2 == 1) want.back() = static_cast<char>(want.back() + 1);  // every second check is wrong
        EXPECT_EQ(frames.substr(static_cast<std::size_t>(i) * 7, 7), want) << i;
    }
    static const std::regex re(R"(code (\d+) ([0-9A-F]{10}) (\d+)\.(\d{6})( bad-check)?)");
    double last = 0;
    for (int i = 1; i <= 5; ++i) {
        auto l = sim.Riga();
        ASSERT_TRUE(l);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(*l, m, re)) << *l;
        EXPECT_EQ(std::stoi(m[1]), i);
        EXPECT_EQ(m[2], counterCode(static_cast<std::uint64_t>(i), 10));
        EXPECT_EQ(m[5].matched, i % 2 == 0);
        double t = std::stod(m[3].str() + "." + m[4].str());
        EXPECT_GE(t, last);
        last = t;
    }
    EXPECT_EQ(sim.Riga(), "codes sent 5");
    EXPECT_EQ(sim.Fine(), 0);
}

TEST_F(SimPty, CutFramesAndALineThatNeverEnds) {
    Simulatore cut(dir.Percorso(), {"--family", "mavo-sir", "--port", "11", "--cut-frame", "--fault-every", "2",
                                    "--wait-host", "--unpaced", "11111111", "22222222"});
    ASSERT_TRUE(cut.Pronto()) << cut.Errori();
    Client c(com(11));
    c.send(mavoFrame("f"));
    std::string version = mavoFrame(defaultVersionText(Family::MavoSir));
    std::string first = mavoCodeFrame("11111111");
    std::string half = mavoCodeFrame("22222222").substr(0, first.size() / 2);
    EXPECT_EQ(c.readBytes(version.size() + first.size() + half.size()), version + first + half);

    Simulatore lng(dir.Percorso(), {"--port", "12", "--long-line", "1048576", "--unpaced", "--wait-host"});
    ASSERT_TRUE(lng.Pronto()) << lng.Errori();
    Client l(com(12));
    l.send("V");
    std::string v = l.readLine();
    std::string body = l.readBytes(1048576, 30'000);
    ASSERT_EQ(body.size(), 1048576u);
    EXPECT_EQ(body[0], 'U');
    EXPECT_EQ(body.find('\r'), std::string::npos);
    EXPECT_EQ(body.find('\n'), std::string::npos);
}
