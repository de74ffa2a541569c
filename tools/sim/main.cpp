// talumbra-sim: plays an attached badge reader on the far end of a
// pseudo-terminal, linked into the port folder as comN.
//
// One thread, one ppoll() loop; every wait is a deadline, nothing spins.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "Commands.h"
#include "Journal.h"
#include "Options.h"
#include "PacedLine.h"
#include "PortLink.h"
#include "Presenter.h"
#include "ReaderModel.h"

using namespace talumbra_sim;

namespace {

class Simulator {
public:
    explicit Simulator(Options o)
        : o_(std::move(o)), model_(o_.reader), presenter_(o_), line_(o_.baud), port_(o_.port, o_.force) {
        model_.note = [this](const std::string& s) { journal_.note(s); };
        presenter_.note = model_.note;
        // A background job reading its terminal would be stopped; such a job
        // takes its codes from the command line only.
        bool in = o_.readStdin && !(isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) != getpgrp());
        input_ = CommandInput(in);
    }

    int run();

private:
    bool plug(std::string& err);
    void unplug(const char* why, std::int64_t replugMs = -1);
    void release();
    void readMaster();
    void readStdin();
    void command(const std::string& line);
    void handleSignal();
    void send(const std::string& bytes, std::int64_t now, std::optional<Marker> m = std::nullopt);
    void replies(std::vector<std::string> rs, std::int64_t now);
    void flush(std::int64_t now);
    bool done() const;
    std::int64_t deadline(std::int64_t now) const;
    std::int64_t sinceStartMs(std::int64_t now) const { return (now - start_) / kMs; }
    static void say(const std::string& line) {
        std::fprintf(stdout, "%s\n", line.c_str());
        std::fflush(stdout);
    }

    Options o_;
    Journal journal_;
    ReaderModel model_;
    Presenter presenter_;
    PacedLine line_;
    PortLink port_;
    CommandInput input_{false};
    std::int64_t start_ = nowNs();
    bool running_ = true;
    int exitCode_ = 0;
    int sigFd_ = -1;

    bool everPlugged_ = false, hostSeen_ = false;
    std::uint64_t timedUnplugs_ = 0, stdinLineNo_ = 0;
    std::int64_t unplugAt_ = kNever, replugAt_ = kNever, releaseAt_ = kNever, drainUntil_ = kNever;
};

bool Simulator::plug(std::string& err) {
    if (!port_.plug(o_.busyForMs >= 0, err)) return false;
    std::int64_t now = nowNs();
    if (!everPlugged_) {
        everPlugged_ = true;
        if (!o_.waitHost) presenter_.startAt(now + o_.startDelayMs * kMs);
    }
    if (o_.unplugAfterMs >= 0 && unplugAt_ == kNever && (o_.unplugs == 0 || timedUnplugs_ < o_.unplugs))
        unplugAt_ = now + o_.unplugAfterMs * kMs;
    say("ready port " + std::to_string(port_.port()) + " " + port_.device());
    journal_.note("plugged in as " + port_.link() + " -> " + port_.device());
    if (port_.held()) {
        releaseAt_ = now + o_.busyForMs * kMs;
        say("busy port " + std::to_string(port_.port()));
    }
    return true;
}

void Simulator::unplug(const char* why, std::int64_t replugMs) {
    if (!port_.plugged()) return;
    journal_.flushTx();
    port_.unplug();
    releaseAt_ = kNever;
    // What was on its way is lost with the cable; a held badge is withdrawn.
    if (std::size_t lost = line_.drop()) journal_.note("unsent bytes dropped: " + std::to_string(lost));
    std::int64_t now = nowNs();
    presenter_.withdraw(now);
    model_.powerCycle();
    say("unplugged port " + std::to_string(port_.port()));
    journal_.note(std::string("unplugged (") + why + ")");
    if (replugMs < 0) replugMs = o_.replugAfterMs;
    if (replugMs >= 0) replugAt_ = now + replugMs * kMs;
}

void Simulator::release() {
    releaseAt_ = kNever;
    if (!port_.held()) return;
    port_.release();
    say("released port " + std::to_string(port_.port()));
}

void Simulator::send(const std::string& bytes, std::int64_t now, std::optional<Marker> m) {
    if (port_.plugged()) line_.send(bytes, now, std::move(m));
}

void Simulator::replies(std::vector<std::string> rs, std::int64_t now) {
    for (auto& r : rs) {
        if (o_.replyDelayMs > 0)
            line_.sendAt(now + o_.replyDelayMs * kMs, std::move(r));
        else
            send(r, now);
    }
    if (!hostSeen_ && model_.hostSeen()) {
        hostSeen_ = true;
        if (o_.waitHost) presenter_.startAt(now + (o_.replyDelayMs + o_.startDelayMs) * kMs);
    }
}

void Simulator::flush(std::int64_t now) {
    if (!port_.plugged()) return;
    std::vector<std::pair<Marker, std::int64_t>> written;
    if (line_.flush(port_.master(), now, journal_, written) == PacedLine::Result::Failed) {
        std::fprintf(stderr, "talumbra-sim: write to the pty: %s\n", std::strerror(errno));
        unplug("write failed");
        return;
    }
    for (const auto& [m, t] : written) {
        presenter_.written(m, t);
        if (m.longBytes)
            journal_.longLine(m.longBytes, t);
        else
            journal_.code(m.seq, m.code, m.fault, t);
    }
}

bool Simulator::done() const {
    if (!o_.exitWhenDone || !everPlugged_ || input_.open() || presenter_.pending() || line_.delayedWaiting())
        return false;
    return line_.idle();
}

std::int64_t Simulator::deadline(std::int64_t now) const {
    std::int64_t d = std::min({unplugAt_, replugAt_, releaseAt_});
    if (drainUntil_ != kNever) d = std::min(d, now + 10 * kMs);
    if (port_.plugged()) {
        if (auto m = model_.deadline()) d = std::min(d, start_ + *m * kMs);
        d = std::min(d, line_.deadline());
        if (line_.idle()) d = std::min(d, presenter_.deadline());
    }
    return std::max(d, now);
}

void Simulator::readMaster() {
    char b[4096];
    for (;;) {
        ssize_t n = read(port_.master(), b, sizeof b);
        if (n > 0) {
            std::string_view got(b, static_cast<std::size_t>(n));
            journal_.received(got);
            std::int64_t now = nowNs();
            replies(model_.receive(got, sinceStartMs(now)), now);
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
    for (const auto& l : input_.read(STDIN_FILENO)) command(l);
}

void Simulator::command(const std::string& line) {
    ++stdinLineNo_;
    Command c = parseCommand(line, o_);
    std::string err;
    switch (c.kind) {
        case Command::None: return;
        case Command::Present: presenter_.add(std::move(c.item)); return;
        case Command::Quit: running_ = false; return;
        case Command::Unplug: unplug("stdin", c.ms); return;
        case Command::Plug:
            if (port_.plugged()) return;
            replugAt_ = kNever;
            if (plug(err)) return;
            break;
        case Command::Busy:
            if (port_.hold(err)) {
                releaseAt_ = nowNs() + c.ms * kMs;
                say("busy port " + std::to_string(port_.port()));
                return;
            }
            err = "busy: " + err;
            break;
        case Command::Error: err = c.error; break;
    }
    std::fprintf(stderr, "talumbra-sim: stdin line %llu: %s\n", static_cast<unsigned long long>(stdinLineNo_),
                 err.c_str());
}

void Simulator::handleSignal() {
    signalfd_siginfo si{};
    while (read(sigFd_, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGUSR1) {
            if (port_.plugged()) {
                unplug("SIGUSR1");
            } else {
                std::string err;
                replugAt_ = kNever;
                if (!plug(err)) std::fprintf(stderr, "talumbra-sim: %s\n", err.c_str());
            }
        } else {
            journal_.note(std::string("signal ") + strsignal(static_cast<int>(si.ssi_signo)));
            running_ = false;
        }
    }
}

int Simulator::run() {
    std::string err;
    if (!journal_.open(o_.logFile, o_.logTimes, o_.verbose, err)) {
        std::fprintf(stderr, "talumbra-sim: %s\n", err.c_str());
        return 2;
    }
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    sigFd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (sigFd_ < 0) {
        std::fprintf(stderr, "talumbra-sim: signalfd: %s\n", std::strerror(errno));
        return 2;
    }

    if (o_.appearAfterMs >= 0) {
        replugAt_ = nowNs() + o_.appearAfterMs * kMs;
    } else if (!plug(err)) {
        std::fprintf(stderr, "talumbra-sim: %s\n", err.c_str());
        return 1;
    }
    while (running_) {
        std::int64_t now = nowNs();
        if (now >= releaseAt_) release();
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
            if (!port_.plugged() && !plug(err)) {
                std::fprintf(stderr, "talumbra-sim: %s; trying again in 1 s\n", err.c_str());
                replugAt_ = now + 1000 * kMs;
            }
        }
        if (port_.plugged()) {
            replies(model_.tick(sinceStartMs(now)), now);
            flush(now);
            if (port_.plugged() && line_.idle())
                for (auto& e : presenter_.present(now, model_.continuous())) send(e.bytes, now, std::move(e.marker));
            flush(now);
        }
        if (done()) {
            // Closing the master discards what the far end has not read yet:
            // give it up to 2 s to take the last bytes. The pty hands bytes
            // over asynchronously, so an empty input queue right after a write
            // proves nothing: let the line settle first.
            if (drainUntil_ == kNever) drainUntil_ = now + 2000 * kMs;
            bool settled = now - line_.lastWrite() >= 100 * kMs;
            if (!port_.plugged() || now >= drainUntil_ || (settled && port_.unread() == 0)) break;
        }

        pollfd p[3];
        nfds_t n = 0;
        p[n++] = {sigFd_, POLLIN, 0};
        int masterAt = -1, stdinAt = -1;
        if (port_.plugged()) {
            masterAt = static_cast<int>(n);
            p[n++] = {port_.master(), static_cast<short>(POLLIN | (line_.blocked() ? POLLOUT : 0)), 0};
        }
        if (input_.open()) {
            stdinAt = static_cast<int>(n);
            p[n++] = {STDIN_FILENO, POLLIN, 0};
        }
        now = nowNs();
        std::int64_t d = deadline(now);
        timespec ts{};
        timespec* tp = nullptr;
        if (d != kNever) {
            std::int64_t wait = d - now;
            ts.tv_sec = wait / 1'000'000'000;
            ts.tv_nsec = wait % 1'000'000'000;
            tp = &ts;
        }
        if (ppoll(p, n, tp, nullptr) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "talumbra-sim: poll: %s\n", std::strerror(errno));
            exitCode_ = 2;
            break;
        }
        if (p[0].revents) handleSignal();
        if (masterAt >= 0 && port_.plugged()) {
            short ev = p[masterAt].revents;
            if (ev & POLLOUT) line_.writable();
            if (ev & (POLLIN | POLLHUP | POLLERR)) readMaster();
        }
        if (stdinAt >= 0 && input_.open() && (p[stdinAt].revents & (POLLIN | POLLHUP | POLLERR))) readStdin();
    }

    port_.unplug();
    journal_.count(presenter_.codesSent());
    std::fflush(stdout);
    return exitCode_;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    Simulator sim(parseOptions(argc, argv));
    return sim.run();
}
