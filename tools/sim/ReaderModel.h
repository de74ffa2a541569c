#pragma once
// The reader's side of the command protocols: what it makes of the bytes a
// host sends, and what it answers. No I/O and no clock of its own: the caller
// passes the time in milliseconds and sends the replies it gets back.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "SimFrames.h"

namespace talumbra_sim {

struct ReaderConfig {
    Family family = Family::Pelvan;
    std::string versionText;    // empty: the family's default
    bool continuous = true;     // text reader sends codes on its own from the start
    int gapMs = 30;             // quiet time that ends a text command
    std::string refuseLetters;  // text reader: answer "N" to these letters
    bool refuseAll = false;     // ... or to every command but V
    std::string syntaxLetters;  // text reader: answer "?" to these letters
    bool syntaxAll = false;     // ... or to every command but V
    std::optional<std::string> password;
    bool silent = false;           // never answer
    std::uint64_t answerFrom = 1;  // ignore the requests before this one
    bool noCrLf = false;           // replies lose their CR LF
};

class ReaderModel {
public:
    explicit ReaderModel(ReaderConfig c);

    // Bytes from the host. Returns the replies to send, in order.
    std::vector<std::string> receive(std::string_view bytes, std::int64_t nowMs);
    // Ends a command whose quiet gap has passed, drops a stale partial frame.
    std::vector<std::string> tick(std::int64_t nowMs);
    // When tick() next has something to do.
    std::optional<std::int64_t> deadline() const;

    // A replugged reader starts afresh; its page memory survives.
    void powerCycle();

    bool continuous() const { return continuous_; }
    bool hostSeen() const { return hostSeen_; }  // some request was answered
    std::uint64_t requests() const { return requests_; }

    // Receives one line for each request understood (for -v).
    std::function<void(const std::string&)> note;

private:
    void pelvanByte(char c, std::int64_t now, std::vector<std::string>& out);
    void pelvanCommand(const std::string& cmd, std::vector<std::string>& out);
    std::string pelvanReply(const std::string& cmd);
    void kezByte(char c, std::vector<std::string>& out);
    void mavoByte(char c, std::int64_t now, std::vector<std::string>& out);
    void answer(const std::string& what, std::string reply, std::vector<std::string>& out);
    std::string line(std::string text) const;
    void say(const std::string& s) const {
        if (note) note(s);
    }

    ReaderConfig cfg_;
    std::string version_;
    bool continuous_;
    bool hostSeen_ = false;
    std::uint64_t requests_ = 0;

    std::string pending_;  // text command still collecting
    std::int64_t lastByte_ = 0;

    enum class Mavo { Idle, InFrame, Check } mavo_ = Mavo::Idle;
    std::string frame_;

    std::map<int, std::string> pages_;
};

}  // namespace talumbra_sim
