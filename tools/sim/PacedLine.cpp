#include "PacedLine.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Journal.h"

namespace talumbra_sim {

void PacedLine::send(std::string_view bytes, std::int64_t now, std::optional<Marker> m) {
    if (idle()) {
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

PacedLine::Result PacedLine::flush(int fd, std::int64_t now, Journal& j,
                                   std::vector<std::pair<Marker, std::int64_t>>& done) {
    while (!delayed_.empty() && delayed_.begin()->first <= now) {
        send(delayed_.begin()->second, now);
        delayed_.erase(delayed_.begin());
    }
    if (blocked_ || idle()) return Result::Ok;
    std::size_t avail = out_.size() - head_;
    std::size_t n = avail;
    if (perByteNs_) {
        if (due_ > now) return Result::Ok;
        if (now - due_ > 10'000'000) due_ = now;  // fell behind (stopped, blocked): no burst
        n = std::min<std::size_t>(avail, static_cast<std::size_t>(1 + (now - due_) / perByteNs_));
    }
    ssize_t w = write(fd, out_.data() + head_, n);
    if (w < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            blocked_ = true;
            return Result::Ok;
        }
        return Result::Failed;
    }
    std::int64_t t = nowNs();
    lastWrite_ = t;
    if (w == 0) return Result::Ok;
    auto k = static_cast<std::size_t>(w);
    j.sent(std::string_view(out_).substr(head_, k));
    head_ += k;
    written_ += k;
    if (perByteNs_) {
        lineFree_ = due_ + static_cast<std::int64_t>(k - 1) * perByteNs_;
        due_ = lineFree_ + perByteNs_;
    } else {
        lineFree_ = t;
    }
    if (k < n) blocked_ = true;  // the far end's buffer is full: wait for POLLOUT
    while (!markers_.empty() && markers_.front().end <= written_) {
        done.emplace_back(std::move(markers_.front()), t);
        markers_.pop_front();
    }
    if (idle()) {
        out_.clear();
        head_ = 0;
        j.flushTx();
    } else if (head_ > (1u << 16) && head_ > out_.size() / 2) {
        out_.erase(0, head_);
        head_ = 0;
    }
    return Result::Ok;
}

std::size_t PacedLine::drop() {
    std::size_t lost = out_.size() - head_;
    out_.clear();
    head_ = 0;
    markers_.clear();
    delayed_.clear();
    queued_ = written_ = 0;
    blocked_ = false;
    return lost;
}

std::int64_t PacedLine::deadline() const {
    std::int64_t d = delayed_.empty() ? kNever : delayed_.begin()->first;
    if (!idle() && !blocked_) d = std::min(d, due_);
    return d;
}

}  // namespace talumbra_sim
