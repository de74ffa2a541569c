#pragma once
// The reader's transmit line: bytes leave at the pace of a serial line (10
// bits a byte), never faster, and each marked frame is reported once its last
// byte is written. Replies may wait out a reply delay first.
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Presenter.h"

namespace talumbra_sim {

class Journal;

class PacedLine {
public:
    // baud 0: unpaced, every byte goes at once.
    explicit PacedLine(long baud) : perByteNs_(baud ? 10'000'000'000LL / baud : 0) {}

    void send(std::string_view bytes, std::int64_t now, std::optional<Marker> m = std::nullopt);
    // Sends `bytes` at `at` (a delayed reply).
    void sendAt(std::int64_t at, std::string bytes) { delayed_.emplace(at, std::move(bytes)); }

    enum class Result { Ok, Failed };
    // Moves the delayed replies that are due to the line, then writes what
    // the pace allows to `fd`. `done` receives the frames now fully written,
    // with the time of their last byte.
    Result flush(int fd, std::int64_t now, Journal& j, std::vector<std::pair<Marker, std::int64_t>>& done);
    void writable() { blocked_ = false; }  // POLLOUT after a full buffer

    // The cable is pulled: what was on its way is lost. Returns the bytes lost.
    std::size_t drop();

    bool idle() const { return head_ == out_.size(); }
    bool blocked() const { return blocked_; }
    bool delayedWaiting() const { return !delayed_.empty(); }
    std::int64_t lastWrite() const { return lastWrite_; }
    // When flush() next has something to do (kNever: nothing).
    std::int64_t deadline() const;

private:
    std::int64_t perByteNs_;
    std::string out_;
    std::size_t head_ = 0;
    std::uint64_t queued_ = 0, written_ = 0;
    std::int64_t due_ = 0, lineFree_ = 0, lastWrite_ = 0;
    bool blocked_ = false;
    std::deque<Marker> markers_;
    std::multimap<std::int64_t, std::string> delayed_;
};

}  // namespace talumbra_sim
