#include "Presenter.h"

#include <algorithm>

#include "Options.h"

namespace talumbra_sim {

Presenter::Presenter(const Options& o) : o_(o), rateLeft_(o.rate.value_or(0)) {
    if (o_.longLine) items_.push_back(Item{Item::Long, {}, 0, 0, o_.longLine});
    for (const auto& c : o_.codes) items_.push_back(Item{Item::Code, c, o_.holdEvery, o_.holdFor, 0});
}

bool Presenter::rateLeft() const { return o_.rate && (*o_.rate == 0 || rateLeft_ > 0); }

std::string Presenter::garbage() {
    std::string g;
    for (std::size_t i = 0; i < o_.garbage; ++i) {
        noise_ ^= noise_ << 13;
        noise_ ^= noise_ >> 17;
        noise_ ^= noise_ << 5;
        g += static_cast<char>(0x80 + noise_ % 0x7F);
    }
    return g;
}

std::optional<Item> Presenter::nextItem() {
    if (!items_.empty()) {
        Item it = std::move(items_.front());
        items_.pop_front();
        return it;
    }
    if (rateLeft()) {
        if (rateLeft_) --rateLeft_;
        return Item{Item::Code, counterCode(++rateCounter_, o_.counterDigits()), 0, 0, 0};
    }
    return std::nullopt;
}

// One emission of an item. False when nothing went on the wire.
bool Presenter::emit(const Item& it, bool lastOfStep, bool continuous, std::vector<Emission>& out) {
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
        say("long line of " + std::to_string(n) + " bytes, no end");
        out.push_back({std::move(l), Marker{0, 0, {}, {}, lastOfStep, n}});
        return true;
    }
    if (f == Family::Pelvan && !continuous) {
        say("code " + it.code + " not sent: continuous mode is off");
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
        if (o_.noCheck) frame.pop_back();
        if (faulty && o_.badCheck && !o_.noCheck) {
            frame.back() = static_cast<char>(frame.back() ^ 0x01);
            fault = "bad-check";
        }
    }
    if (faulty && o_.cutFrame) {
        frame.resize(frame.size() / 2);
        fault += fault.empty() ? "cut" : ",cut";
    }
    if (o_.garbage) {
        std::string g = garbage();
        if (f == Family::Pelvan) g += "\r\n";
        out.push_back({std::move(g), std::nullopt});
    }
    say("presenting " + it.code + (fault.empty() ? "" : " (" + fault + ")"));
    out.push_back({std::move(frame), Marker{0, seq, it.code, fault, lastOfStep, 0}});
    return true;
}

std::vector<Emission> Presenter::present(std::int64_t now, bool continuous) {
    std::vector<Emission> out;
    if (now < startAt_) return out;
    if (!active_) {
        if (now < nextPresentAt_) return out;
        auto it = nextItem();
        if (!it) return out;
        active_ = Active{std::move(*it), now, now, 0};
    }
    if (now < active_->nextEmit) return out;
    const Item& it = active_->item;
    const bool held = it.kind == Item::Code && it.everyMs > 0 && it.forMs > 0;
    if (!held) {
        nextPresentAt_ = kNever;  // set from the frame's last byte
        if (!emit(it, true, continuous, out)) nextPresentAt_ = now + o_.intervalMs * kMs;
        active_.reset();
        return out;
    }
    // A held badge: the reader repeats it every everyMs until it is withdrawn.
    emit(it, false, continuous, out);
    ++active_->emits;
    std::int64_t withdrawn = active_->started + it.forMs * kMs;
    std::int64_t next = active_->started + static_cast<std::int64_t>(active_->emits) * it.everyMs * kMs;
    if (next >= withdrawn) {
        nextPresentAt_ = withdrawn + o_.intervalMs * kMs;
        active_.reset();
    } else {
        active_->nextEmit = std::max(next, now);
    }
    return out;
}

void Presenter::written(const Marker& m, std::int64_t t) {
    if (!m.longBytes) ++codesSent_;
    if (m.lastOfStep) nextPresentAt_ = t + o_.intervalMs * kMs;
}

void Presenter::withdraw(std::int64_t now) {
    active_.reset();
    // A frame lost with the cable never reports its end.
    if (nextPresentAt_ == kNever) nextPresentAt_ = now;
}

bool Presenter::pending() const { return active_ || !items_.empty() || rateLeft(); }

std::int64_t Presenter::deadline() const {
    if (startAt_ == kNever) return kNever;
    if (active_) return std::max(startAt_, active_->nextEmit);
    if (!items_.empty() || rateLeft()) return std::max(startAt_, nextPresentAt_);
    return kNever;
}

}  // namespace talumbra_sim
