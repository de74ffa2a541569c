#include "ReaderModel.h"

#include <cctype>

namespace talumbra_sim {

namespace {
constexpr std::size_t kMaxCommand = 4096;  // a host spewing bytes gets "?", not a growing buffer
constexpr std::size_t kMaxFrame = 4096;
constexpr std::int64_t kFrameStaleMs = 1000;
constexpr int kPages = 64;

char upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

bool hasLetter(const std::string& letters, char u) {
    for (char c : letters)
        if (upper(c) == u) return true;
    return false;
}

std::string printable(std::string_view s) { return textDump(s.substr(0, 40)) + (s.size() > 40 ? "..." : ""); }
}  // namespace

ReaderModel::ReaderModel(ReaderConfig c)
    : cfg_(std::move(c)),
      version_(cfg_.versionText.empty() ? defaultVersionText(cfg_.family) : cfg_.versionText),
      continuous_(cfg_.continuous) {}

void ReaderModel::powerCycle() {
    continuous_ = cfg_.continuous;
    pending_.clear();
    mavo_ = Mavo::Idle;
    frame_.clear();
}

std::vector<std::string> ReaderModel::receive(std::string_view bytes, std::int64_t nowMs) {
    std::vector<std::string> out = tick(nowMs);
    for (char c : bytes) {
        switch (cfg_.family) {
            case Family::Pelvan: pelvanByte(c, nowMs, out); break;
            case Family::Kez: kezByte(c, out); break;
            default: mavoByte(c, nowMs, out); break;
        }
    }
    return out;
}

std::vector<std::string> ReaderModel::tick(std::int64_t nowMs) {
    std::vector<std::string> out;
    if (!pending_.empty() && nowMs - lastByte_ >= cfg_.gapMs) {
        std::string cmd;
        cmd.swap(pending_);
        pelvanCommand(cmd, out);
    }
    if (mavo_ != Mavo::Idle && nowMs - lastByte_ >= kFrameStaleMs) {
        say("partial frame dropped: " + printable(frame_));
        mavo_ = Mavo::Idle;
        frame_.clear();
    }
    return out;
}

std::optional<std::int64_t> ReaderModel::deadline() const {
    if (!pending_.empty()) return lastByte_ + cfg_.gapMs;
    if (mavo_ != Mavo::Idle) return lastByte_ + kFrameStaleMs;
    return std::nullopt;
}

std::string ReaderModel::line(std::string text) const {
    if (!cfg_.noCrLf) {
        text += CR;
        text += LF;
    }
    return text;
}

void ReaderModel::answer(const std::string& what, std::string reply, std::vector<std::string>& out) {
    ++requests_;
    std::string n = "request " + std::to_string(requests_) + " " + what;
    if (cfg_.silent) {
        say(n + ": not answered (silent)");
        return;
    }
    if (requests_ < cfg_.answerFrom) {
        say(n + ": not answered (answers from request " + std::to_string(cfg_.answerFrom) + ")");
        return;
    }
    say(n + ": answered " + printable(reply));
    hostSeen_ = true;
    out.push_back(std::move(reply));
}

// ---- 125 kHz text reader -------------------------------------------------
// Commands carry no terminator: V X P C are complete as soon as their letter
// arrives; R W D L (and anything unknown) run until the line goes quiet. CR or
// LF also ends a command, so that a person can type them on a terminal.

void ReaderModel::pelvanByte(char c, std::int64_t now, std::vector<std::string>& out) {
    if (c == EOT) return;
    if (pending_.empty()) {
        if (c == CR || c == LF) return;
        char u = upper(c);
        if (u == 'V' || u == 'X' || u == 'P' || u == 'C') {
            pelvanCommand(std::string(1, c), out);
            return;
        }
        pending_ = c;
        lastByte_ = now;
        return;
    }
    if (c == CR || c == LF) {
        std::string cmd;
        cmd.swap(pending_);
        pelvanCommand(cmd, out);
        return;
    }
    pending_ += c;
    lastByte_ = now;
    if (pending_.size() >= kMaxCommand) {
        std::string cmd;
        cmd.swap(pending_);
        pelvanCommand(cmd, out);
    }
}

void ReaderModel::pelvanCommand(const std::string& cmd, std::vector<std::string>& out) {
    char u = upper(cmd[0]);
    if (u == 'C') {
        continuous_ = true;
        say("continuous mode on");
        return;
    }
    std::string reply;
    if (hasLetter(cfg_.refuseLetters, u) || (cfg_.refuseAll && u != 'V'))
        reply = "N";
    else if (hasLetter(cfg_.syntaxLetters, u) || (cfg_.syntaxAll && u != 'V'))
        reply = "?";
    else
        reply = pelvanReply(cmd);
    answer(printable(cmd), line(reply), out);
}

std::string ReaderModel::pelvanReply(const std::string& cmd) {
    std::string rest = cmd.substr(1);
    auto page = [](const std::string& p) -> int {
        if (p.empty() || p.size() > 2) return -1;
        for (char c : p)
            if (c < '0' || c > '9') return -1;
        int n = std::stoi(p);
        return n < kPages ? n : -1;
    };
    switch (upper(cmd[0])) {
        case 'V': return version_;
        case 'X':
        case 'P': return "OK";
        case 'R': {
            int p = page(rest);
            if (p < 0) return "?";
            auto it = pages_.find(p);
            return it == pages_.end() ? std::string("00000000") : it->second;
        }
        case 'W': {
            // Page (one or two digits) then eight hexadecimal digits of data.
            if (rest.size() < 9) return "?";
            int p = page(rest.substr(0, rest.size() - 8));
            auto data = normaliseCode(rest.substr(rest.size() - 8), 8);
            if (p < 0 || !data) return "?";
            pages_[p] = *data;
            return "OK";
        }
        case 'D':
            if (rest.size() == 1 && hasLetter("RGN", upper(rest[0]))) return "OK";
            return "?";
        case 'L':
            if (cfg_.password && rest != *cfg_.password) return "N";
            return "OK";
        default: return "?";
    }
}

// ---- binary-frame reader: only the version request ------------------------

void ReaderModel::kezByte(char c, std::vector<std::string>& out) {
    if (upper(c) == 'V') answer("V", line(version_), out);
}

// ---- framed readers: STX text ETX check; the text request is ignored -----

void ReaderModel::mavoByte(char c, std::int64_t now, std::vector<std::string>& out) {
    lastByte_ = now;
    switch (mavo_) {
        case Mavo::Idle:
            if (c == STX) {
                frame_.assign(1, c);
                mavo_ = Mavo::InFrame;
            }
            return;
        case Mavo::InFrame:
            if (c == STX) {  // a new start: the frame before it was cut
                say("partial frame dropped: " + printable(frame_));
                frame_.assign(1, c);
                return;
            }
            frame_ += c;
            if (c == ETX)
                mavo_ = Mavo::Check;
            else if (frame_.size() >= kMaxFrame) {
                say("overlong frame dropped");
                mavo_ = Mavo::Idle;
                frame_.clear();
            }
            return;
        case Mavo::Check: {
            mavo_ = Mavo::Idle;
            std::string text = frame_.substr(1, frame_.size() - 2);
            if (static_cast<unsigned char>(c) != xorCheck(frame_)) {
                answer("frame " + printable(text) + " with a bad check", std::string(1, NAK), out);
                return;
            }
            if (text == "f")
                answer("version (framed)", mavoFrame(version_), out);
            else
                answer("frame " + printable(text) + " (unknown)", std::string(1, NAK), out);
            return;
        }
    }
}

}  // namespace talumbra_sim
