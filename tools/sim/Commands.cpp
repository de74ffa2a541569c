#include "Commands.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sstream>

#include "Options.h"

namespace talumbra_sim {

Command parseCommand(const std::string& raw, const Options& o) {
    std::istringstream in(raw.substr(0, raw.find('#')));
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    Command c;
    auto bad = [&c](std::string why) {
        c.kind = Command::Error;
        c.error = std::move(why);
        return c;
    };
    auto ms = [](const std::string& s, std::int64_t& v) {
        auto n = parseNumber(s, 1, 86'400'000);
        if (n) v = *n;
        return n.has_value();
    };
    if (w.empty()) return c;
    if (w[0] == "quit" && w.size() == 1) return c.kind = Command::Quit, c;
    if (w[0] == "plug" && w.size() == 1) return c.kind = Command::Plug, c;
    if (w[0] == "unplug" && w.size() <= 2) {
        if (w.size() == 2 && !ms(w[1], c.ms)) return bad("expected: unplug [MS]");
        return c.kind = Command::Unplug, c;
    }
    if (w[0] == "busy") {
        if (w.size() != 2 || !ms(w[1], c.ms)) return bad("expected: busy MS");
        return c.kind = Command::Busy, c;
    }
    c.kind = Command::Present;
    if (w[0] == "long") {
        auto n = w.size() == 2 ? parseNumber(w[1], 1, 1 << 30) : std::nullopt;
        if (!n) return bad("expected: long BYTES");
        c.item = Item{Item::Long, {}, 0, 0, static_cast<std::uint64_t>(*n)};
        return c;
    }
    Item& it = c.item;
    it.everyMs = o.holdEvery;
    it.forMs = o.holdFor;
    std::size_t codeAt = 0;
    if (w[0] == "hold") {
        if (w.size() < 2 || w.size() > 4) return bad("expected: hold CODE [EVERY_MS [FOR_MS]]");
        it.everyMs = o.holdEvery ? o.holdEvery : 200;
        it.forMs = o.holdFor ? o.holdFor : 2000;
        if (w.size() >= 3 && !ms(w[2], it.everyMs)) return bad("bad repeat time \"" + w[2] + "\"");
        if (w.size() == 4 && !ms(w[3], it.forMs)) return bad("bad hold time \"" + w[3] + "\"");
        codeAt = 1;
    } else if (w[0] == "once") {
        if (w.size() != 2) return bad("expected: once CODE");
        it.everyMs = it.forMs = 0;
        codeAt = 1;
    } else if (w.size() != 1) {
        return bad("expected a code, or hold/once/long/unplug/plug/busy/quit");
    }
    std::string why;
    auto code = normaliseCode(w[codeAt], o.codeDigits(), &why);
    if (!code) return bad("code \"" + w[codeAt] + "\": " + why);
    it.code = *code;
    return c;
}

std::vector<std::string> CommandInput::read(int fd) {
    std::vector<std::string> lines;
    char b[4096];
    ssize_t n = ::read(fd, b, sizeof b);
    if (n < 0 && errno == EINTR) return lines;
    if (n <= 0) {
        if (!buf_.empty()) lines.push_back(std::move(buf_));
        buf_.clear();
        open_ = false;
    } else {
        buf_.append(b, static_cast<std::size_t>(n));
        std::size_t pos;
        while ((pos = buf_.find('\n')) != std::string::npos) {
            lines.push_back(buf_.substr(0, pos));
            buf_.erase(0, pos + 1);
        }
        if (buf_.size() > (1u << 20)) {
            std::fprintf(stderr, "talumbra-sim: stdin: line too long, dropped\n");
            buf_.clear();
        }
    }
    return lines;
}

}  // namespace talumbra_sim
