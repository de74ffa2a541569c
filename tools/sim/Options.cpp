#include "Options.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace talumbra_sim {

namespace {

[[noreturn]] void die(const std::string& msg) {
    std::fprintf(stderr, "talumbra-sim: %s\n", msg.c_str());
    std::exit(2);
}

long long number(const char* opt, const char* text, long long lo, long long hi) {
    auto v = parseNumber(text, lo, hi);
    if (!v)
        die(std::string("--") + opt + ": expected a number from " + std::to_string(lo) + " to " + std::to_string(hi) +
            ", got \"" + text + "\"");
    return *v;
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
  --no-check            mavo: code frames end at ETX, with no check character
                          e.g. --family mavo-sir --no-check --hold-every 100
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

Exit status
  0  ended by a signal, or by --exit-when-done once every code was sent
  1  the port could not be made (no free number, a live comN without --force,
     no pseudo-terminal)
  2  bad arguments, a --log file that cannot be written, or a failure of the
     program itself

Example, in two terminals:
  $ talumbra-sim --port 5 -v --wait-host 0123456789
  ready port 5 /dev/pts/7
  $ P=~/.config/talumbra/ports/com5
  $ stty -F $P raw -echo; cat -v $P & printf V > $P
)";

}  // namespace

int Options::codeDigits() const {
    return reader.family == Family::MavoDor && kezCodesForDor ? 10 : talumbra_sim::codeDigits(reader.family, badgeType);
}

int Options::counterDigits() const {
    int d = codeDigits();
    return d == 0 ? 8 : d;
}

std::optional<long long> parseNumber(std::string_view text, long long lo, long long hi) {
    std::string s(text);
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno || end == s.c_str() || *end || v < lo || v > hi) return std::nullopt;
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
        oNoCheck,
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
        {"no-check", no_argument, nullptr, oNoCheck},
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
    bool intervalGiven = false, paced = true;
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
                intervalGiven = true;
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
            case oUnpaced: paced = false; break;
            case oBaud: o.baud = static_cast<long>(number("baud", optarg, 50, 4'000'000)); break;
            case oSilent: o.reader.silent = true; break;
            case oAnswerFrom:
                o.reader.answerFrom = static_cast<std::uint64_t>(number("answer-from", optarg, 1, LLONG_MAX));
                break;
            case oGarbage: o.garbage = static_cast<std::size_t>(number("garbage", optarg, 0, 1 << 20)); break;
            case oCut: o.cutFrame = true; break;
            case oBadCheck: o.badCheck = true; break;
            case oNoCheck: o.noCheck = true; break;
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
    if (o.rate && !intervalGiven) o.intervalMs = 0;
    if (!paced) o.baud = 0;
    o.reader.noCrLf = o.noCrLf && o.faultEvery == 1;
    const bool pelvan = f == Family::Pelvan;
    auto warn = [](const char* s) { std::fprintf(stderr, "talumbra-sim: warning: %s\n", s); };
    if (!pelvan && (o.reader.refuseAll || o.reader.syntaxAll || !o.reader.refuseLetters.empty() ||
                    !o.reader.syntaxLetters.empty() || o.reader.password || !o.reader.continuous))
        warn("--refuse, --syntax-error, --password and --no-continuous apply to the pelvan family only");
    if (pelvan && o.badCheck) warn("--bad-check: text lines carry no check; ignored");
    if (!isMavo(f) && o.noCheck) warn("--no-check applies to the mavo families only; ignored");
    if (isMavo(f) && o.noCrLf) warn("--no-crlf: framed readers send no CR LF; ignored");
    const int digits = o.codeDigits();
    for (int i = optind; i < argc; ++i) {
        std::string why;
        auto code = normaliseCode(argv[i], digits, &why);
        if (!code) die("code \"" + std::string(argv[i]) + "\": " + why);
        o.codes.push_back(*code);
    }
    return o;
}

}  // namespace talumbra_sim
