#pragma once
// Badges held to the reader: the queue of codes (from the command line,
// standard input or a counter), held badges that repeat, and the faults that
// spoil some frames. No I/O and no clock of its own: the caller passes the
// time (nanoseconds, monotonic) and puts what it gets on the line.
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "SimFrames.h"

namespace talumbra_sim {

struct Options;

inline constexpr std::int64_t kMs = 1'000'000;
inline constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

// Something to present: a code (held when everyMs and forMs are set), or a
// long line without an end.
struct Item {
    enum Kind { Code, Long } kind = Code;
    std::string code;
    std::int64_t everyMs = 0, forMs = 0;
    std::uint64_t longBytes = 0;
};

// A frame on its way: reported back by written() once its last byte is out.
struct Marker {
    std::uint64_t end = 0;  // the line's byte count at which the frame is written
    std::uint64_t seq = 0;
    std::string code;
    std::string fault;
    bool lastOfStep = false;  // the pause before the next item starts from it
    std::uint64_t longBytes = 0;
};

struct Emission {
    std::string bytes;
    std::optional<Marker> marker;
};

class Presenter {
public:
    explicit Presenter(const Options& o);

    void add(Item it) { items_.push_back(std::move(it)); }
    // Presenting begins at `t` (kNever: not yet).
    void startAt(std::int64_t t) { startAt_ = t; }

    // What to put on the line at `now`, when the line has nothing left to
    // send. `continuous` is the text reader's mode: off, codes are dropped.
    std::vector<Emission> present(std::int64_t now, bool continuous);
    // A marked frame's last byte went out at `t`.
    void written(const Marker& m, std::int64_t t);
    // The cable is pulled at `now`: a held badge is withdrawn.
    void withdraw(std::int64_t now);

    // Something is still to be presented.
    bool pending() const;
    // When present() next has something to do, if the line is idle.
    std::int64_t deadline() const;
    std::uint64_t codesSent() const { return codesSent_; }

    std::function<void(const std::string&)> note;

private:
    struct Active {
        Item item;
        std::int64_t started, nextEmit;
        std::uint64_t emits;
    };
    std::optional<Item> nextItem();
    bool rateLeft() const;
    bool emit(const Item& it, bool lastOfStep, bool continuous, std::vector<Emission>& out);
    std::string garbage();
    void say(const std::string& s) const {
        if (note) note(s);
    }

    const Options& o_;
    std::deque<Item> items_;
    std::optional<Active> active_;
    std::int64_t nextPresentAt_ = 0, startAt_ = kNever;
    std::uint64_t rateLeft_ = 0, rateCounter_ = 0, seq_ = 0, codesSent_ = 0;
    std::uint32_t noise_ = 0x2545F491;
};

}  // namespace talumbra_sim
