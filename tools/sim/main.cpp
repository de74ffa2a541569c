// talumbra-sim: plays an attached badge reader on the far end of a
// pseudo-terminal, linked into the port folder as comN.
//
// One thread, one ppoll() loop; every wait is a deadline, nothing spins.

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ReaderModel.h"
#include "SimFrames.h"
#include "platform/CartellaPorte.h"

using namespace talumbra_sim;

namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kNever = INT64_MAX;

std::int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::string fmtTime(std::int64_t ns) {
    char b[48];
    std::snprintf(b, sizeof b, "%lld.%06lld", static_cast<long long>(ns / 1'000'000'000),
                  static_cast<long long>((ns % 1'000'000'000) / 1000));
    return b;
}

void die(const std::string& msg) {
    std::fprintf(stderr, "talumbra-sim: %s\n", msg.c_str());
    std::exit(2);
}

const char* kHelp = R"(Usage: talumbra-sim [OPTIONS] [CODE...]

Plays a badge reader on a pseudo-terminal and links it as port number N: the
entry comN in $TALUMBRA_PORTS, else in $XDG_CONFIG_HOME/talumbra/ports (when
that is an absolute path), else in ~/.config/talumbra/ports (the folder is
created when missing), where the library looks for it. When the port is
ready it prints, and flushes, one line
    ready port N /dev/pts/M
It removes the link when it ends (SIGINT, SIGTERM, SIGHUP) and prints
"codes sent COUNT" on the code log (standard output unless --log).

Reader
  --family F            pelvan (default), kez, mavo-sir or mavo-dor
                          e.g. --family mavo-sir
  --port N              port number 1..256 (default: the first free number)
                          e.g. --port 5
  --force               replace a comN entry that leads to a live device
                        (a link whose device is gone is replaced anyway)
                          e.g. --port 1 --force
  --version-text T      the version text (default per family: "OMBRISK-125 RW
                        v3.02", "KEZ-3 RFID 125kHz v1.4", "SIRMAVO MF-RW
                        13.56MHz v2.1", "DORMAVO MF-RW 13.56MHz v2.1")
                          e.g. --version-text "OMBRISK-125 XL v4.00"
  --badge B             pelvan badge type: em4x02 (U + 10 hex digits, default),
                        em4x50 (T + 8), fdxb (Z + 16), hitag1 (h + 8),
                        hitag2 (H + 8), or 0..4
                          e.g. --badge fdxb 0123456789ABCDEF
  --no-continuous       pelvan starts with continuous mode off: codes are
                        dropped until the host sends C
                          e.g. --no-continuous
  --gap MS              quiet time that ends a pelvan command (default 30)
                          e.g. --gap 100
  --reply-delay MS      wait before every reply (default 0)
                          e.g. --reply-delay 900     (beyond an 800 ms time-out)
  --password P          pelvan: L with any other password is refused ("N")
                          e.g. --password 1234
  --refuse[=LETTERS]    pelvan: answer "N" to every command but V, or only to
                        the letters given
                          e.g. --refuse=XW
  --syntax-error[=LETTERS]
                        pelvan: answer "?" likewise
                          e.g. --syntax-error=R
  --code-frame K        how mavo-dor sends codes: kez (default; the binary frames
                          that a DORMAVO reader sends) or mavo (STX "e01" code ETX)
                          e.g. --family mavo-dor --code-frame mavo 12345678

  pelvan commands: V version; X reset and P antenna off (reply OK);
  R<page> (page 0..63; reply its 8 hex digits); W<page><8 hex digits> (OK);
  D<r|g|n> (OK); L<password> (OK); C continuous mode (no reply). A command
  ends with its letter (V X P C) or when the line goes quiet (--gap) or at CR
  or LF; EOT is ignored; anything else is answered "?". kez answers V only.
  mavo-sir and mavo-dor ignore V, answer STX f ETX g with their version frame
  and any other frame, or a frame with a wrong check, with NAK.

Badges
  CODE...               codes to present, in order. More come from standard
                        input, one a line, as long as it stays open:
                          0102030405               present once
                          hold 0102030405 200 3000 repeat every 200 ms for 3 s
                          long 1048576             that many bytes, no CR LF
                          unplug [MS]              pull the cable (and plug it
                                                   back after MS ms)
                          busy MS                  another program holds the
                                                   port for MS ms
                          plug | quit
  --interval MS         pause after a code before the next (default 500; 0 with
                        --rate)
                          e.g. --interval 1500
  --hold-every M        hold every code: repeat it every M ms ...
  --hold-for T          ... for T ms (the two go together)
                          e.g. --hold-every 100 --hold-for 2000 0102030405
  --rate N              after the codes given, N distinct generated codes (a
                        hexadecimal counter from 1) back to back; 0 = endless
                          e.g. --family kez --rate 1000 --exit-when-done
  --start-delay MS      wait before the first code (default 0)
                          e.g. --start-delay 2000
  --wait-host           present codes only once a request has been answered
                        (--start-delay then counts from that answer)
                          e.g. --wait-host --start-delay 1500 0102030405
  --exit-when-done      exit once every code is sent, standard input is closed
                        and the far end has read the last byte (at most 2 s)
                          e.g. --rate 100 --exit-when-done
  --no-stdin            do not read standard input
                          e.g. --no-stdin 0102030405 &
  --log-times           log each code when its last byte is written:
                          code SEQ CODE SECONDS.MICROSECONDS [FAULT]
                        (CLOCK_MONOTONIC; FAULT is cut, bad-check or no-crlf)
                          e.g. --log-times
  --log FILE            write the code log and the count to FILE, not stdout
                          e.g. --log-times --log /tmp/codes.log
  --unpaced             write at once instead of at the line's pace
                          e.g. --unpaced --rate 100000
  --baud B              pace as a B baud line, 10 bits a byte (default 9600:
                        about 1.04 ms a byte)
                          e.g. --baud 115200

Faults
  --silent              never answer a request
                          e.g. --silent
  --answer-from K       ignore requests 1..K-1, answer from the K-th on
                          e.g. --answer-from 3
  --garbage N           N noise bytes (0x80..0xFE) before every code; pelvan
                        ends them with CR LF, as a line of their own
                          e.g. --garbage 5
  --cut-frame           send only the first half of every code frame or line
                          e.g. --family kez --cut-frame
  --bad-check           wrong check byte (kez) or check character (mavo)
                          e.g. --family mavo-sir --bad-check
  --no-crlf             code lines lose their CR LF; so do replies, unless
                        --fault-every picks some codes only
                          e.g. --no-crlf
  --fault-every N       apply --cut-frame, --bad-check and --no-crlf to every
                        N-th code only (default 1: every code)
                          e.g. --family kez --bad-check --fault-every 2 --rate 10
  --long-line BYTES     first send one line of BYTES bytes without CR LF
                          e.g. --long-line 1048576
  --unplug-after MS     close the pty and remove the link MS ms after it is
                        first ready; prints "unplugged port N". SIGUSR1 unplugs,
                        or plugs back, at any time
                          e.g. --unplug-after 3000
  --replug-after MS     after every unplug, come back on the same port number
                        after MS ms (with a new ready line)
                          e.g. --unplug-after 3000 --replug-after 2000
  --unplugs N           with --unplug-after: unplug again MS ms after every
                        replug, N unplugs in all (default 1; 0 = no end)
                          e.g. --unplug-after 500 --replug-after 500 --unplugs 10
  --appear-after MS     the pty and its comN link appear only MS ms after the
                        start (a device that is not there yet)
                          e.g. --port 5 --appear-after 3000
  --busy-for MS         each time the port appears, another program holds it
                        (an exclusive lock and TIOCEXCL, as an open port has)
                        for MS ms; prints "busy port N" after the ready line,
                        then "released port N"
                          e.g. --busy-for 5000

Other
  -v, --verbose         log on standard error every byte received (rx) and
                        sent (tx) in hexadecimal and as text, and each request
                        understood
                          e.g. -v
  -h, --help            this text

Example, in two terminals:
  $ talumbra-sim --port 5 -v --wait-host 0123456789
  ready port 5 /dev/pts/7
  $ P=~/.config/talumbra/ports/com5
  $ stty -F $P raw -echo; cat -v $P & printf V > $P
)";

struct Options {
    ReaderConfig reader;
    int badgeType = 0;
    int port = 0;
    bool force = false;
    bool kezCodesForDor = true;
    std::int64_t replyDelayMs = 0;
    std::vector<std::string> codes;
    std::int64_t intervalMs = 500;
    bool intervalGiven = false;
    std::int64_t holdEvery = 0, holdFor = 0;
    std::optional<std::uint64_t> rate;
    std::int64_t startDelayMs = 0;
    bool waitHost = false;
    bool exitWhenDone = false;
    bool readStdin = true;
    bool logTimes = false;
    std::string logFile;
    bool paced = true;
    long baud = 9600;
    std::size_t garbage = 0;
    bool cutFrame = false, badCheck = false, noCrLf = false;
    std::uint64_t faultEvery = 1;
    std::uint64_t longLine = 0;
    std::int64_t unplugAfterMs = -1, replugAfterMs = -1;
    std::uint64_t unplugs = 1;
    std::int64_t appearAfterMs = -1, busyForMs = -1;
    bool verbose = false;
};

long long number(const char* opt, const char* text, long long lo, long long hi) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (errno || end == text || *end || v < lo || v > hi)
        die(std::string("--") + opt + ": expected a number from " + std::to_string(lo) + " to " + std::to_string(hi) +
            ", got \"" + text + "\"");
    return v;
}

Options parseOptions(int argc, char** argv) {
    enum {
        oFamily = 1000,
        oPort,
        oForce,
        oVersion,
        oBadge,
        oNoCont,
        oGap,
        oReplyDelay,
        oPassword,
        oRefuse,
        oSyntax,
        oCodeFrame,
        oInterval,
        oHoldEvery,
        oHoldFor,
        oRate,
        oStartDelay,
        oWaitHost,
        oExitDone,
        oNoStdin,
        oLogTimes,
        oLog,
        oUnpaced,
        oBaud,
        oSilent,
        oAnswerFrom,
        oGarbage,
        oCut,
        oBadCheck,
        oNoCrLf,
        oFaultEvery,
        oLongLine,
        oUnplug,
        oReplug,
        oUnplugs,
        oAppear,
        oBusy
    };
    static const option longOpts[] = {
        {"family", required_argument, nullptr, oFamily},
        {"port", required_argument, nullptr, oPort},
        {"force", no_argument, nullptr, oForce},
        {"version-text", required_argument, nullptr, oVersion},
        {"badge", required_argument, nullptr, oBadge},
        {"no-continuous", no_argument, nullptr, oNoCont},
        {"gap", required_argument, nullptr, oGap},
        {"reply-delay", required_argument, nullptr, oReplyDelay},
        {"password", required_argument, nullptr, oPassword},
        {"refuse", optional_argument, nullptr, oRefuse},
        {"syntax-error", optional_argument, nullptr, oSyntax},
        {"code-frame", required_argument, nullptr, oCodeFrame},
        {"interval", required_argument, nullptr, oInterval},
        {"hold-every", required_argument, nullptr, oHoldEvery},
        {"hold-for", required_argument, nullptr, oHoldFor},
        {"rate", required_argument, nullptr, oRate},
        {"start-delay", required_argument, nullptr, oStartDelay},
        {"wait-host", no_argument, nullptr, oWaitHost},
        {"exit-when-done", no_argument, nullptr, oExitDone},
        {"no-stdin", no_argument, nullptr, oNoStdin},
        {"log-times", no_argument, nullptr, oLogTimes},
        {"log", required_argument, nullptr, oLog},
        {"unpaced", no_argument, nullptr, oUnpaced},
        {"baud", required_argument, nullptr, oBaud},
        {"silent", no_argument, nullptr, oSilent},
        {"answer-from", required_argument, nullptr, oAnswerFrom},
        {"garbage", required_argument, nullptr, oGarbage},
        {"cut-frame", no_argument, nullptr, oCut},
        {"bad-check", no_argument, nullptr, oBadCheck},
        {"no-crlf", no_argument, nullptr, oNoCrLf},
        {"fault-every", required_argument, nullptr, oFaultEvery},
        {"long-line", required_argument, nullptr, oLongLine},
        {"unplug-after", required_argument, nullptr, oUnplug},
        {"replug-after", required_argument, nullptr, oReplug},
        {"unplugs", required_argument, nullptr, oUnplugs},
        {"appear-after", required_argument, nullptr, oAppear},
        {"busy-for", required_argument, nullptr, oBusy},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    constexpr long long kDay = 86'400'000;
    Options o;
    std::optional<std::string> codeFrame;
    int c;
    while ((c = getopt_long(argc, argv, "vh", longOpts, nullptr)) != -1) {
        switch (c) {
            case oFamily: {
                auto f = parseFamily(optarg);
                if (!f)
                    die("--family: expected pelvan, kez, mavo-sir or mavo-dor, got \"" + std::string(optarg) + "\"");
                o.reader.family = *f;
                break;
            }
            case oPort: o.port = static_cast<int>(number("port", optarg, 1, 256)); break;
            case oForce: o.force = true; break;
            case oVersion: o.reader.versionText = optarg; break;
            case oBadge: {
                auto b = parseBadge(optarg);
                if (!b)
                    die("--badge: expected em4x02, em4x50, fdxb, hitag1, hitag2 or 0..4, got \"" + std::string(optarg) +
                        "\"");
                o.badgeType = *b;
                break;
            }
            case oNoCont: o.reader.continuous = false; break;
            case oGap: o.reader.gapMs = static_cast<int>(number("gap", optarg, 1, 60'000)); break;
            case oReplyDelay: o.replyDelayMs = number("reply-delay", optarg, 0, kDay); break;
            case oPassword: o.reader.password = optarg; break;
            case oRefuse:
                if (optarg)
                    o.reader.refuseLetters = optarg;
                else
                    o.reader.refuseAll = true;
                break;
            case oSyntax:
                if (optarg)
                    o.reader.syntaxLetters = optarg;
                else
                    o.reader.syntaxAll = true;
                break;
            case oCodeFrame:
                if (std::string(optarg) != "mavo" && std::string(optarg) != "kez")
                    die("--code-frame: expected mavo or kez, got \"" + std::string(optarg) + "\"");
                codeFrame = optarg;
                break;
            case oInterval:
                o.intervalMs = number("interval", optarg, 0, kDay);
                o.intervalGiven = true;
                break;
            case oHoldEvery: o.holdEvery = number("hold-every", optarg, 1, kDay); break;
            case oHoldFor: o.holdFor = number("hold-for", optarg, 1, kDay); break;
            case oRate: o.rate = static_cast<std::uint64_t>(number("rate", optarg, 0, LLONG_MAX)); break;
            case oStartDelay: o.startDelayMs = number("start-delay", optarg, 0, kDay); break;
            case oWaitHost: o.waitHost = true; break;
            case oExitDone: o.exitWhenDone = true; break;
            case oNoStdin: o.readStdin = false; break;
            case oLogTimes: o.logTimes = true; break;
            case oLog: o.logFile = optarg; break;
            case oUnpaced: o.paced = false; break;
            case oBaud: o.baud = static_cast<long>(number("baud", optarg, 50, 4'000'000)); break;
            case oSilent: o.reader.silent = true; break;
            case oAnswerFrom:
                o.reader.answerFrom = static_cast<std::uint64_t>(number("answer-from", optarg, 1, LLONG_MAX));
                break;
            case oGarbage: o.garbage = static_cast<std::size_t>(number("garbage", optarg, 0, 1 << 20)); break;
            case oCut: o.cutFrame = true; break;
            case oBadCheck: o.badCheck = true; break;
            case oNoCrLf: o.noCrLf = true; break;
            case oFaultEvery:
                o.faultEvery = static_cast<std::uint64_t>(number("fault-every", optarg, 1, LLONG_MAX));
                break;
            case oLongLine: o.longLine = static_cast<std::uint64_t>(number("long-line", optarg, 1, 1LL << 30)); break;
            case oUnplug: o.unplugAfterMs = number("unplug-after", optarg, 0, kDay); break;
            case oReplug: o.replugAfterMs = number("replug-after", optarg, 0, kDay); break;
            case oUnplugs: o.unplugs = static_cast<std::uint64_t>(number("unplugs", optarg, 0, LLONG_MAX)); break;
            case oAppear: o.appearAfterMs = number("appear-after", optarg, 0, kDay); break;
            case oBusy: o.busyForMs = number("busy-for", optarg, 0, kDay); break;
            case 'v': o.verbose = true; break;
            case 'h': std::fputs(kHelp, stdout); std::exit(0);
            default: std::fputs("Try 'talumbra-sim --help'.\n", stderr); std::exit(2);
        }
    }
    const Family f = o.reader.family;
    if (codeFrame) {
        if (f != Family::MavoDor) die("--code-frame applies to --family mavo-dor only");
        o.kezCodesForDor = *codeFrame == "kez";
    }
    if ((o.holdEvery > 0) != (o.holdFor > 0)) die("--hold-every and --hold-for go together");
    if (o.rate && !o.intervalGiven) o.intervalMs = 0;
    o.reader.noCrLf = o.noCrLf && o.faultEvery == 1;
    const bool pelvan = f == Family::Pelvan;
    auto warn = [](const char* s) { std::fprintf(stderr, "talumbra-sim: warning: %s\n", s); };
    if (!pelvan && (o.reader.refuseAll || o.reader.syntaxAll || !o.reader.refuseLetters.empty() ||
                    !o.reader.syntaxLetters.empty() || o.reader.password || !o.reader.continuous))
        warn("--refuse, --syntax-error, --password and --no-continuous apply to the pelvan family only");
    if (pelvan && o.badCheck) warn("--bad-check: text lines carry no check; ignored");
    if (isMavo(f) && o.noCrLf) warn("--no-crlf: framed readers send no CR LF; ignored");
    const int digits = (f == Family::MavoDor && o.kezCodesForDor) ? 10 : codeDigits(f, o.badgeType);
    for (int i = optind; i < argc; ++i) {
        std::string why;
        auto code = normaliseCode(argv[i], digits, &why);
        if (!code) die("code \"" + std::string(argv[i]) + "\": " + why);
        o.codes.push_back(*code);
    }
    return o;
}

bool makeDirs(const std::string& path, std::string& err) {
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i != path.size() && path[i] != '/') continue;
        std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            err = "cannot create " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        err = path + " is not a folder";
        return false;
    }
    return true;
}

std::string readLink(const std::string& path) {
    char b[PATH_MAX];
    ssize_t n = readlink(path.c_str(), b, sizeof b - 1);
    return n < 0 ? std::string() : std::string(b, static_cast<std::size_t>(n));
}

// Reader state visible to the whole program: the loop, the presenter, the log.
class Simulator {
public:
    explicit Simulator(Options o) : o_(std::move(o)), model_(o_.reader) {
        perByteNs_ = o_.paced ? 10'000'000'000LL / o_.baud : 0;
        model_.note = [this](const std::string& s) { verboseNote(s); };
        for (auto& c : o_.codes) items_.push_back(Item{Item::Code, c, o_.holdEvery, o_.holdFor, 0});
        if (o_.longLine) items_.push_front(Item{Item::Long, {}, 0, 0, o_.longLine});
        rateLeft_ = o_.rate.value_or(0);
        log_ = stdout;
        if (!o_.logFile.empty()) {
            log_ = std::fopen(o_.logFile.c_str(), "w");
            if (!log_) die("--log " + o_.logFile + ": " + std::strerror(errno));
        }
        stdinOpen_ = o_.readStdin;
        // A background job reading its terminal would be stopped; such a job
        // takes its codes from the command line only.
        if (stdinOpen_ && isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) != getpgrp()) stdinOpen_ = false;
        start_ = nowNs();
    }

    int run();

private:
    struct Item {
        enum Kind { Code, Long } kind;
        std::string code;
        std::int64_t everyMs, forMs;
        std::uint64_t longBytes;
    };
    struct Active {
        Item item;
        std::int64_t started, nextEmit;
        std::uint64_t emits;
    };
    struct Marker {
        std::uint64_t end;  // byte count at which the frame is fully written
        std::uint64_t seq;
        std::string code;
        std::string fault;
        bool lastOfStep;
        std::uint64_t longBytes;
    };

    bool plug(std::string& err);
    void unplug(const char* why, std::int64_t replugMs = -1);
    void hold(std::int64_t ms);
    bool takeHold(const std::string& path, std::string& err);
    void release(bool say);
    void quit() { running_ = false; }
    void readMaster();
    void readStdin();
    void stdinLine(const std::string& line);
    void handleSignal();
    void send(const std::string& bytes, std::optional<Marker> m = std::nullopt);
    void queueReplies(std::vector<std::string> replies, std::int64_t now);
    void flushOut(std::int64_t now);
    void written(const Marker& m, std::int64_t t);
    void present(std::int64_t now);
    bool emit(const Item& it, bool lastOfStep);
    std::optional<Item> nextItem();
    bool done() const;
    std::int64_t nextDeadline(std::int64_t now) const;
    std::string garbageBytes();
    void logBytes(const char* dir, std::string_view bytes);
    void flushTxLog();
    void verboseNote(const std::string& s);

    Options o_;
    ReaderModel model_;
    std::int64_t perByteNs_;
    std::int64_t start_;
    bool running_ = true;
    int exitCode_ = 0;

    // the port
    bool plugged_ = false;
    int master_ = -1, slave_ = -1;
    std::string slavePath_, linkPath_, dir_;
    int port_ = 0;
    std::int64_t unplugAt_ = kNever, replugAt_ = kNever, drainUntil_ = kNever;
    bool everPlugged_ = false;
    std::uint64_t timedUnplugs_ = 0;
    int holder_ = -1;  // another program's hold on the port (--busy-for, busy)
    std::int64_t releaseAt_ = kNever;

    // output, paced
    std::string out_;
    std::size_t outHead_ = 0;
    std::uint64_t queued_ = 0, writtenTotal_ = 0;
    std::int64_t due_ = 0, lineFree_ = 0, lastWrite_ = 0;
    bool blocked_ = false;
    std::deque<Marker> markers_;
    std::multimap<std::int64_t, std::string> delayed_;

    // presentation
    std::deque<Item> items_;
    std::optional<Active> active_;
    std::int64_t nextPresentAt_ = 0, startAt_ = kNever;
    bool hostWasSeen_ = false;
    std::uint64_t rateLeft_ = 0, rateCounter_ = 0, seq_ = 0, codesSent_ = 0;
    std::uint32_t noise_ = 0x2545F491;

    // standard input and logs
    bool stdinOpen_ = false;
    std::string stdinBuf_;
    std::uint64_t stdinLineNo_ = 0;
    int sigFd_ = -1;
    FILE* log_ = nullptr;
    std::string txLog_;
};

bool Simulator::plug(std::string& err) {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) {
        err = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        if (m >= 0) close(m);
        return false;
    }
    const char* name = ptsname(m);
    // Our own slave descriptor keeps the pty usable while no client has it
    // open (otherwise the master reports a hang-up after each close).
    int s = name ? open(name, O_RDWR | O_NOCTTY) : -1;
    if (s < 0) {
        err = std::string("cannot open the pty slave: ") + std::strerror(errno);
        close(m);
        return false;
    }
    termios t{};
    tcgetattr(s, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(s, TCSANOW, &t);
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    fcntl(m, F_SETFD, FD_CLOEXEC);
    fcntl(s, F_SETFD, FD_CLOEXEC);
    std::string path = name;
    // Held before the link exists, so that no opener slips in between.
    if (o_.busyForMs >= 0 && !takeHold(path, err)) {
        close(s);
        close(m);
        return false;
    }

    if (dir_.empty()) {
        dir_ = talumbra::CartellaPorte();
        if (dir_.empty()) {
            err = "no ports folder: set TALUMBRA_PORTS, or HOME";
            release(false);
            close(s);
            close(m);
            return false;
        }
        if (!makeDirs(dir_, err)) {
            release(false);
            close(s);
            close(m);
            return false;
        }
    }
    // Claim a number: symlink() fails when the entry exists, so two
    // simulators never take the same one.
    int first = port_ ? port_ : (o_.port ? o_.port : 1);
    int last = (port_ || o_.port) ? first : 256;
    bool linked = false;
    for (int n = first; n <= last && !linked; ++n) {
        std::string lp = dir_ + "/com" + std::to_string(n);
        if (symlink(path.c_str(), lp.c_str()) == 0) {
            port_ = n;
            linkPath_ = lp;
            linked = true;
            break;
        }
        if (errno != EEXIST) {
            err = "cannot create " + lp + ": " + std::strerror(errno);
            break;
        }
        if (first != last) continue;  // automatic choice: never touch an existing entry
        struct stat st {};
        bool alive = stat(lp.c_str(), &st) == 0;
        if (alive && !o_.force) {
            std::string target = readLink(lp);
            err = "port " + std::to_string(n) + " is taken: " + lp + (target.empty() ? "" : " -> " + target) +
                  " (--force replaces it)";
            break;
        }
        // A stale link (its device is gone), or --force: replace it atomically.
        std::string tmp = dir_ + "/.com" + std::to_string(n) + ".sim" + std::to_string(getpid());
        unlink(tmp.c_str());
        if (symlink(path.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), lp.c_str()) != 0) {
            err = "cannot replace " + lp + ": " + std::strerror(errno);
            unlink(tmp.c_str());
            break;
        }
        port_ = n;
        linkPath_ = lp;
        linked = true;
    }
    if (!linked) {
        if (err.empty()) err = "no free port number in " + dir_;
        release(false);
        close(s);
        close(m);
        return false;
    }
    master_ = m;
    slave_ = s;
    slavePath_ = path;
    plugged_ = true;
    blocked_ = false;
    std::int64_t now = nowNs();
    if (!everPlugged_) {
        everPlugged_ = true;
        if (!o_.waitHost) startAt_ = now + o_.startDelayMs * kMs;
    }
    if (o_.unplugAfterMs >= 0 && unplugAt_ == kNever && (o_.unplugs == 0 || timedUnplugs_ < o_.unplugs))
        unplugAt_ = now + o_.unplugAfterMs * kMs;
    std::fprintf(stdout, "ready port %d %s\n", port_, slavePath_.c_str());
    verboseNote("plugged in as " + linkPath_ + " -> " + slavePath_);
    if (o_.busyForMs >= 0) {
        std::fprintf(stdout, "busy port %d\n", port_);
        releaseAt_ = now + o_.busyForMs * kMs;
    }
    std::fflush(stdout);
    return true;
}

void Simulator::unplug(const char* why, std::int64_t replugMs) {
    if (!plugged_) return;
    flushTxLog();
    release(false);
    if (readLink(linkPath_) == slavePath_) unlink(linkPath_.c_str());
    close(master_);
    close(slave_);
    master_ = slave_ = -1;
    plugged_ = false;
    // What was on its way is lost with the cable; a held badge is withdrawn.
    if (!markers_.empty() || outHead_ < out_.size())
        verboseNote("unsent bytes dropped: " + std::to_string(out_.size() - outHead_));
    out_.clear();
    outHead_ = 0;
    markers_.clear();
    delayed_.clear();
    active_.reset();
    queued_ = writtenTotal_ = 0;
    std::int64_t now = nowNs();
    if (nextPresentAt_ == kNever) nextPresentAt_ = now;
    model_.powerCycle();
    std::fprintf(stdout, "unplugged port %d\n", port_);
    std::fflush(stdout);
    verboseNote(std::string("unplugged (") + why + ")");
    if (replugMs < 0) replugMs = o_.replugAfterMs;
    if (replugMs >= 0) replugAt_ = now + replugMs * kMs;
}

// Another program opens the port and locks it, as an open port is locked.
bool Simulator::takeHold(const std::string& path, std::string& err) {
    if (holder_ >= 0) return true;
    holder_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (holder_ < 0 || flock(holder_, LOCK_EX | LOCK_NB) != 0 || ioctl(holder_, TIOCEXCL) != 0) {
        err = std::string("cannot hold the pty: ") + std::strerror(errno);
        release(false);
        return false;
    }
    return true;
}

void Simulator::hold(std::int64_t ms) {
    std::string err;
    if (!plugged_) return;
    if (!takeHold(slavePath_, err)) {
        std::fprintf(stderr, "talumbra-sim: %s\n", err.c_str());
        return;
    }
    releaseAt_ = nowNs() + ms * kMs;
    std::fprintf(stdout, "busy port %d\n", port_);
    std::fflush(stdout);
}

void Simulator::release(bool say) {
    releaseAt_ = kNever;
    if (holder_ < 0) return;
    // Our own slave descriptor keeps the tty open, so its exclusive flag
    // would outlive the holder: clear it first.
    ioctl(holder_, TIOCNXCL);
    close(holder_);
    holder_ = -1;
    if (say) {
        std::fprintf(stdout, "released port %d\n", port_);
        std::fflush(stdout);
    }
}

void Simulator::send(const std::string& bytes, std::optional<Marker> m) {
    if (!plugged_) return;
    std::int64_t now = nowNs();
    if (outHead_ == out_.size()) {
        // A byte reaches the far end when its last bit has gone out.
        due_ = perByteNs_ ? std::max(now, lineFree_) + perByteNs_ : now;
    }
    out_ += bytes;
    queued_ += bytes.size();
    if (m) {
        m->end = queued_;
        markers_.push_back(std::move(*m));
    }
}

void Simulator::queueReplies(std::vector<std::string> replies, std::int64_t now) {
    for (auto& r : replies) {
        if (o_.replyDelayMs > 0)
            delayed_.emplace(now + o_.replyDelayMs * kMs, std::move(r));
        else
            send(r);
    }
    if (!hostWasSeen_ && model_.hostSeen()) {
        hostWasSeen_ = true;
        if (o_.waitHost) startAt_ = now + (o_.replyDelayMs + o_.startDelayMs) * kMs;
    }
}

void Simulator::flushOut(std::int64_t now) {
    if (!plugged_ || blocked_ || outHead_ == out_.size()) return;
    std::size_t avail = out_.size() - outHead_;
    std::size_t n = avail;
    if (perByteNs_) {
        if (due_ > now) return;
        if (now - due_ > 10 * kMs) due_ = now;  // fell behind (stopped, blocked): no burst
        n = std::min<std::size_t>(avail, static_cast<std::size_t>(1 + (now - due_) / perByteNs_));
    }
    ssize_t w = write(master_, out_.data() + outHead_, n);
    if (w < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            blocked_ = true;
            return;
        }
        std::fprintf(stderr, "talumbra-sim: write to the pty: %s\n", std::strerror(errno));
        unplug("write failed");
        return;
    }
    std::int64_t t = nowNs();
    lastWrite_ = t;
    if (w == 0) return;
    auto k = static_cast<std::size_t>(w);
    logBytes("tx", std::string_view(out_).substr(outHead_, k));
    outHead_ += k;
    writtenTotal_ += k;
    if (perByteNs_) {
        lineFree_ = due_ + static_cast<std::int64_t>(k - 1) * perByteNs_;
        due_ = lineFree_ + perByteNs_;
    } else {
        lineFree_ = t;
    }
    if (k < n) blocked_ = true;  // the far end's buffer is full: wait for POLLOUT
    while (!markers_.empty() && markers_.front().end <= writtenTotal_) {
        written(markers_.front(), t);
        markers_.pop_front();
    }
    if (outHead_ == out_.size()) {
        out_.clear();
        outHead_ = 0;
        flushTxLog();
    } else if (outHead_ > (1u << 16) && outHead_ > out_.size() / 2) {
        out_.erase(0, outHead_);
        outHead_ = 0;
    }
}

void Simulator::written(const Marker& m, std::int64_t t) {
    if (m.longBytes) {
        if (o_.logTimes)
            std::fprintf(log_, "long %llu %s\n", static_cast<unsigned long long>(m.longBytes), fmtTime(t).c_str());
    } else {
        ++codesSent_;
        if (o_.logTimes)
            std::fprintf(log_, "code %llu %s %s%s%s\n", static_cast<unsigned long long>(m.seq), m.code.c_str(),
                         fmtTime(t).c_str(), m.fault.empty() ? "" : " ", m.fault.c_str());
    }
    if (o_.logTimes) std::fflush(log_);
    if (m.lastOfStep) nextPresentAt_ = t + o_.intervalMs * kMs;
}

std::string Simulator::garbageBytes() {
    std::string g;
    for (std::size_t i = 0; i < o_.garbage; ++i) {
        noise_ ^= noise_ << 13;
        noise_ ^= noise_ >> 17;
        noise_ ^= noise_ << 5;
        g += static_cast<char>(0x80 + noise_ % 0x7F);
    }
    return g;
}

std::optional<Simulator::Item> Simulator::nextItem() {
    if (!items_.empty()) {
        Item it = items_.front();
        items_.pop_front();
        return it;
    }
    if (o_.rate && (*o_.rate == 0 || rateLeft_ > 0)) {
        if (rateLeft_) --rateLeft_;
        const Family f = o_.reader.family;
        int digits = (f == Family::MavoDor && o_.kezCodesForDor) ? 10 : counterDigits(f, o_.badgeType);
        return Item{Item::Code, counterCode(++rateCounter_, digits), 0, 0, 0};
    }
    return std::nullopt;
}

// One emission of an item. False when nothing went on the wire.
bool Simulator::emit(const Item& it, bool lastOfStep) {
    const Family f = o_.reader.family;
    if (it.kind == Item::Long) {
        std::string l;
        std::uint64_t n = it.longBytes;
        if (f == Family::Pelvan)
            l += badge(o_.badgeType).prefix;
        else if (isMavo(f))
            l += std::string(1, STX) + "e01";
        static const char* hex = "0123456789ABCDEF";
        while (l.size() < n) l += hex[l.size() % 16];
        l.resize(n);
        verboseNote("long line of " + std::to_string(n) + " bytes, no end");
        send(l, Marker{0, 0, {}, {}, lastOfStep, n});
        return true;
    }
    if (f == Family::Pelvan && !model_.continuous()) {
        verboseNote("code " + it.code + " not sent: continuous mode is off");
        return false;
    }
    std::uint64_t seq = ++seq_;
    bool faulty = seq % o_.faultEvery == 0;
    std::string frame, fault;
    if (f == Family::Pelvan) {
        frame = pelvanLine(badge(o_.badgeType).prefix, it.code);
        if (faulty && o_.noCrLf) {
            frame.resize(frame.size() - 2);
            fault = "no-crlf";
        }
    } else if (f == Family::Kez || (f == Family::MavoDor && o_.kezCodesForDor)) {
        frame = kezFrame(it.code);
        if (faulty && o_.badCheck) {
            frame.back() = static_cast<char>(frame.back() + 1);
            fault = "bad-check";
        }
    } else {
        frame = mavoCodeFrame(it.code);
        if (faulty && o_.badCheck) {
            frame.back() = static_cast<char>(frame.back() ^ 0x01);
            fault = "bad-check";
        }
    }
    if (faulty && o_.cutFrame) {
        frame.resize(frame.size() / 2);
        fault += fault.empty() ? "cut" : ",cut";
    }
    if (o_.garbage) {
        std::string g = garbageBytes();
        if (f == Family::Pelvan) g += "\r\n";
        send(g);
    }
    verboseNote("presenting " + it.code + (fault.empty() ? "" : " (" + fault + ")"));
    send(frame, Marker{0, seq, it.code, fault, lastOfStep, 0});
    return true;
}

void Simulator::present(std::int64_t now) {
    if (!plugged_ || now < startAt_ || outHead_ != out_.size()) return;
    if (!active_) {
        if (now < nextPresentAt_) return;
        auto it = nextItem();
        if (!it) return;
        active_ = Active{*it, now, now, 0};
    }
    if (now < active_->nextEmit) return;
    const Item& it = active_->item;
    const bool held = it.kind == Item::Code && it.everyMs > 0 && it.forMs > 0;
    if (!held) {
        nextPresentAt_ = kNever;  // set from the frame's last byte
        if (!emit(it, true)) nextPresentAt_ = now + o_.intervalMs * kMs;
        active_.reset();
        return;
    }
    // A held badge: the reader repeats it every everyMs until it is withdrawn.
    emit(it, false);
    ++active_->emits;
    std::int64_t withdrawn = active_->started + it.forMs * kMs;
    std::int64_t next = active_->started + static_cast<std::int64_t>(active_->emits) * it.everyMs * kMs;
    if (next >= withdrawn) {
        nextPresentAt_ = withdrawn + o_.intervalMs * kMs;
        active_.reset();
    } else {
        active_->nextEmit = std::max(next, now);
    }
}

bool Simulator::done() const {
    if (!o_.exitWhenDone || !everPlugged_ || stdinOpen_ || active_ || !items_.empty() || !delayed_.empty())
        return false;
    if (o_.rate && (*o_.rate == 0 || rateLeft_ > 0)) return false;
    return outHead_ == out_.size();
}

std::int64_t Simulator::nextDeadline(std::int64_t now) const {
    std::int64_t d = std::min({unplugAt_, replugAt_, releaseAt_});
    if (drainUntil_ != kNever) d = std::min(d, now + 10 * kMs);
    if (!delayed_.empty()) d = std::min(d, delayed_.begin()->first);
    if (plugged_) {
        if (auto m = model_.deadline()) d = std::min(d, start_ + *m * kMs);
        if (outHead_ != out_.size()) {
            if (!blocked_) d = std::min(d, due_);
        } else if (startAt_ != kNever) {
            if (active_)
                d = std::min(d, std::max(startAt_, active_->nextEmit));
            else if (!items_.empty() || (o_.rate && (*o_.rate == 0 || rateLeft_ > 0)))
                d = std::min(d, std::max(startAt_, nextPresentAt_));
        }
    }
    return std::max(d, now);
}

void Simulator::readMaster() {
    char b[4096];
    for (;;) {
        ssize_t n = read(master_, b, sizeof b);
        if (n > 0) {
            flushTxLog();
            logBytes("rx", std::string_view(b, static_cast<std::size_t>(n)));
            std::int64_t now = nowNs();
            queueReplies(model_.receive(std::string_view(b, static_cast<std::size_t>(n)), (now - start_) / kMs), now);
            if (!plugged_) return;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        // EIO cannot come while we hold the slave open; anything else ends the port.
        std::fprintf(stderr, "talumbra-sim: read from the pty: %s\n", n < 0 ? std::strerror(errno) : "end of file");
        unplug("read failed");
        return;
    }
}

void Simulator::readStdin() {
    char b[4096];
    ssize_t n = read(STDIN_FILENO, b, sizeof b);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
        if (!stdinBuf_.empty()) stdinLine(stdinBuf_);
        stdinBuf_.clear();
        stdinOpen_ = false;
        return;
    }
    stdinBuf_.append(b, static_cast<std::size_t>(n));
    std::size_t pos;
    while ((pos = stdinBuf_.find('\n')) != std::string::npos) {
        std::string line = stdinBuf_.substr(0, pos);
        stdinBuf_.erase(0, pos + 1);
        stdinLine(line);
    }
    if (stdinBuf_.size() > (1u << 20)) {
        std::fprintf(stderr, "talumbra-sim: stdin: line too long, dropped\n");
        stdinBuf_.clear();
    }
}

void Simulator::stdinLine(const std::string& raw) {
    ++stdinLineNo_;
    std::string line = raw.substr(0, raw.find('#'));
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    if (w.empty()) return;
    auto bad = [&](const std::string& why) {
        std::fprintf(stderr, "talumbra-sim: stdin line %llu: %s\n", static_cast<unsigned long long>(stdinLineNo_),
                     why.c_str());
    };
    auto num = [&](const std::string& s, std::int64_t& v) {
        char* end = nullptr;
        errno = 0;
        long long x = std::strtoll(s.c_str(), &end, 10);
        if (errno || end == s.c_str() || *end || x < 1 || x > 86'400'000) return false;
        v = x;
        return true;
    };
    const Family f = o_.reader.family;
    const int digits = (f == Family::MavoDor && o_.kezCodesForDor) ? 10 : codeDigits(f, o_.badgeType);
    if (w[0] == "quit" && w.size() == 1) return quit();
    if (w[0] == "unplug" && w.size() <= 2) {
        std::int64_t ms = -1;
        if (w.size() == 2 && !num(w[1], ms)) return bad("expected: unplug [MS]");
        return unplug("stdin", ms);
    }
    if (w[0] == "busy") {
        std::int64_t ms = 0;
        if (w.size() != 2 || !num(w[1], ms)) return bad("expected: busy MS");
        if (!plugged_) return bad("busy: the port is unplugged");
        return hold(ms);
    }
    if (w[0] == "plug" && w.size() == 1) {
        if (plugged_) return;
        std::string err;
        if (!plug(err)) bad(err);
        replugAt_ = kNever;
        return;
    }
    if (w[0] == "long") {
        std::int64_t n = 0;
        if (w.size() != 2 || !num(w[1], n) || n > (1 << 30)) return bad("expected: long BYTES");
        items_.push_back(Item{Item::Long, {}, 0, 0, static_cast<std::uint64_t>(n)});
        return;
    }
    Item it{Item::Code, {}, o_.holdEvery, o_.holdFor, 0};
    std::size_t codeAt = 0;
    if (w[0] == "hold") {
        if (w.size() < 2 || w.size() > 4) return bad("expected: hold CODE [EVERY_MS [FOR_MS]]");
        it.everyMs = o_.holdEvery ? o_.holdEvery : 200;
        it.forMs = o_.holdFor ? o_.holdFor : 2000;
        if (w.size() >= 3 && !num(w[2], it.everyMs)) return bad("bad repeat time \"" + w[2] + "\"");
        if (w.size() == 4 && !num(w[3], it.forMs)) return bad("bad hold time \"" + w[3] + "\"");
        codeAt = 1;
    } else if (w[0] == "once") {
        if (w.size() != 2) return bad("expected: once CODE");
        it.everyMs = it.forMs = 0;
        codeAt = 1;
    } else if (w.size() != 1) {
        return bad("expected a code, or hold/once/long/unplug/plug/busy/quit");
    }
    std::string why;
    auto code = normaliseCode(w[codeAt], digits, &why);
    if (!code) return bad("code \"" + w[codeAt] + "\": " + why);
    it.code = *code;
    items_.push_back(std::move(it));
}

void Simulator::handleSignal() {
    signalfd_siginfo si{};
    while (read(sigFd_, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGUSR1) {
            if (plugged_) {
                unplug("SIGUSR1");
            } else {
                std::string err;
                replugAt_ = kNever;
                if (!plug(err)) std::fprintf(stderr, "talumbra-sim: %s\n", err.c_str());
            }
        } else {
            verboseNote(std::string("signal ") + strsignal(static_cast<int>(si.ssi_signo)));
            quit();
        }
    }
}

void Simulator::logBytes(const char* dir, std::string_view bytes) {
    if (!o_.verbose) return;
    if (std::strcmp(dir, "tx") == 0) {
        txLog_ += bytes;
        while (txLog_.size() >= 16) {
            std::fprintf(stderr, "[%s] tx %-47s | %s\n", fmtTime(nowNs() - start_).c_str(),
                         hexDump(txLog_.substr(0, 16)).c_str(), textDump(txLog_.substr(0, 16)).c_str());
            txLog_.erase(0, 16);
        }
        return;
    }
    for (std::size_t i = 0; i < bytes.size(); i += 16) {
        auto part = bytes.substr(i, 16);
        std::fprintf(stderr, "[%s] %s %-47s | %s\n", fmtTime(nowNs() - start_).c_str(), dir, hexDump(part).c_str(),
                     textDump(part).c_str());
    }
}

void Simulator::flushTxLog() {
    if (!o_.verbose || txLog_.empty()) return;
    std::fprintf(stderr, "[%s] tx %-47s | %s\n", fmtTime(nowNs() - start_).c_str(), hexDump(txLog_).c_str(),
                 textDump(txLog_).c_str());
    txLog_.clear();
}

void Simulator::verboseNote(const std::string& s) {
    if (!o_.verbose) return;
    flushTxLog();
    std::fprintf(stderr, "[%s] -- %s\n", fmtTime(nowNs() - start_).c_str(), s.c_str());
}

int Simulator::run() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    sigFd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (sigFd_ < 0) die(std::string("signalfd: ") + std::strerror(errno));

    std::string err;
    if (o_.appearAfterMs >= 0) {
        replugAt_ = nowNs() + o_.appearAfterMs * kMs;
    } else if (!plug(err)) {
        std::fprintf(stderr, "talumbra-sim: %s\n", err.c_str());
        return 1;
    }
    while (running_) {
        std::int64_t now = nowNs();
        if (now >= releaseAt_) release(true);
        if (now >= unplugAt_) {
            unplugAt_ = kNever;
            ++timedUnplugs_;
            unplug("--unplug-after");
        }
        if (now >= replugAt_) {
            replugAt_ = kNever;
            if (!everPlugged_ && !plug(err)) {
                // A late first appearance fails as a first plug does.
                std::fprintf(stderr, "talumbra-sim: %s\n", err.c_str());
                exitCode_ = 1;
                break;
            }
            if (!plugged_ && !plug(err)) {
                std::fprintf(stderr, "talumbra-sim: %s; trying again in 1 s\n", err.c_str());
                replugAt_ = now + 1000 * kMs;
            }
        }
        if (plugged_) {
            queueReplies(model_.tick((now - start_) / kMs), now);
            while (!delayed_.empty() && delayed_.begin()->first <= now) {
                send(delayed_.begin()->second);
                delayed_.erase(delayed_.begin());
            }
            flushOut(now);
            present(now);
            flushOut(now);
        }
        if (done()) {
            // Closing the master discards what the far end has not read yet:
            // give it up to 2 s to take the last bytes. The pty hands bytes
            // over asynchronously, so an empty input queue right after a write
            // proves nothing: let the line settle first.
            if (drainUntil_ == kNever) drainUntil_ = now + 2000 * kMs;
            int waiting = 0;
            bool settled = now - lastWrite_ >= 100 * kMs;
            if (!plugged_ || now >= drainUntil_ || (settled && (ioctl(slave_, TIOCINQ, &waiting) != 0 || waiting == 0)))
                break;
        }

        pollfd p[3];
        nfds_t n = 0;
        p[n++] = {sigFd_, POLLIN, 0};
        int masterAt = -1, stdinAt = -1;
        if (plugged_) {
            masterAt = static_cast<int>(n);
            p[n++] = {master_, static_cast<short>(POLLIN | (blocked_ ? POLLOUT : 0)), 0};
        }
        if (stdinOpen_) {
            stdinAt = static_cast<int>(n);
            p[n++] = {STDIN_FILENO, POLLIN, 0};
        }
        now = nowNs();
        std::int64_t d = nextDeadline(now);
        timespec ts{};
        timespec* tp = nullptr;
        if (d != kNever) {
            std::int64_t wait = d - now;
            ts.tv_sec = wait / 1'000'000'000;
            ts.tv_nsec = wait % 1'000'000'000;
            tp = &ts;
        }
        int r = ppoll(p, n, tp, nullptr);
        if (r < 0) {
            if (errno == EINTR) continue;
            die(std::string("poll: ") + std::strerror(errno));
        }
        if (p[0].revents) handleSignal();
        if (masterAt >= 0 && plugged_) {
            short ev = p[masterAt].revents;
            if (ev & POLLOUT) blocked_ = false;
            if (ev & (POLLIN | POLLHUP | POLLERR)) readMaster();
        }
        if (stdinAt >= 0 && stdinOpen_ && (p[stdinAt].revents & (POLLIN | POLLHUP | POLLERR))) readStdin();
    }

    flushTxLog();
    if (plugged_ && readLink(linkPath_) == slavePath_) unlink(linkPath_.c_str());
    std::fprintf(log_, "codes sent %llu\n", static_cast<unsigned long long>(codesSent_));
    std::fflush(log_);
    if (log_ != stdout) std::fclose(log_);
    std::fflush(stdout);
    return exitCode_;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    Options o = parseOptions(argc, argv);
    Simulator sim(std::move(o));
    return sim.run();
}
