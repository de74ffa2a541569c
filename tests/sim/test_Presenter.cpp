// Badge presentation and the standard-input commands, on a made-up clock.
#include <gtest/gtest.h>

#include "Commands.h"
#include "Options.h"
#include "Presenter.h"

using namespace talumbra_sim;

namespace {

// Presents what is due at `ms` and reports every marked frame written at once.
std::vector<Emission> step(Presenter& p, std::int64_t ms, bool continuous = true) {
    auto out = p.present(ms * kMs, continuous);
    for (const auto& e : out)
        if (e.marker) p.written(*e.marker, ms * kMs);
    return out;
}

std::vector<std::string> bytes(const std::vector<Emission>& es) {
    std::vector<std::string> v;
    for (const auto& e : es) v.push_back(e.bytes);
    return v;
}

}  // namespace

TEST(SimPresenter, IntervalCountsFromTheLastByteAndHeldBadgesRepeat) {
    Options o;
    o.intervalMs = 100;
    o.codes = {"0102030405"};
    Presenter p(o);
    p.add(Item{Item::Code, "0A0B0C0D0E", 30, 100, 0});
    EXPECT_TRUE(step(p, 0).empty());  // not started yet
    p.startAt(10 * kMs);
    EXPECT_EQ(p.deadline(), 10 * kMs);

    auto first = p.present(10 * kMs, true);
    EXPECT_EQ(bytes(first), std::vector<std::string>{"U0102030405\r\n"});
    EXPECT_EQ(p.deadline(), kNever);  // waits for the frame's last byte
    p.written(*first[0].marker, 50 * kMs);
    EXPECT_EQ(p.codesSent(), 1u);
    EXPECT_TRUE(step(p, 149).empty());

    // Held from 150 for 100 ms, every 30 ms: 150, 180, 210, 240; withdrawn at 250.
    for (std::int64_t t : {150, 180, 210, 240}) {
        SCOPED_TRACE(t);
        EXPECT_TRUE(step(p, t - 1).empty());
        EXPECT_EQ(bytes(step(p, t)), std::vector<std::string>{"U0A0B0C0D0E\r\n"});
    }
    EXPECT_FALSE(p.pending());
    EXPECT_EQ(p.codesSent(), 5u);
}

TEST(SimPresenter, FaultsContinuousModeAndPulledCable) {
    Options o;
    o.reader.family = Family::Kez;
    o.intervalMs = 0;
    o.badCheck = true;
    o.faultEvery = 2;
    o.garbage = 3;
    o.rate = 3;
    Presenter p(o);
    p.startAt(0);
    for (int i = 1; i <= 3; ++i) {
        auto e = step(p, i);
        ASSERT_EQ(e.size(), 2u);
        EXPECT_EQ(e[0].bytes.size(), 3u);  // noise, no CR LF for a binary reader
        EXPECT_FALSE(e[0].marker);
        std::string want = kezFrame(counterCode(static_cast<std::uint64_t>(i), 10));
        if (i == 2) want.back() = static_cast<char>(want.back() + 1);
        EXPECT_EQ(e[1].bytes, want) << i;
        EXPECT_EQ(e[1].marker->fault, i == 2 ? "bad-check" : "");
    }
    EXPECT_FALSE(p.pending());

    // A text reader with continuous mode off drops the code, and goes on.
    Options t;
    t.intervalMs = 10;
    t.codes = {"0102030405", "0A0B0C0D0E"};
    Presenter q(t);
    q.startAt(0);
    EXPECT_TRUE(step(q, 0, false).empty());
    EXPECT_EQ(q.deadline(), 10 * kMs);
    // Pulled while a frame is on its way: it never reports its end, and the
    // next code still comes.
    EXPECT_EQ(q.present(10 * kMs, true).size(), 1u);
    q.withdraw(20 * kMs);
    EXPECT_EQ(bytes(step(q, 20)), std::vector<std::string>{});
    EXPECT_FALSE(q.pending());
    EXPECT_EQ(q.codesSent(), 0u);
}

TEST(SimPresenter, GeneratedCodesFollowTheCodeDigitRule) {
    struct Case {
        Family f;
        bool kezCodes;
        int badge;
        std::size_t digits;
    } cases[] = {{Family::Pelvan, true, 2, 16},
                 {Family::Kez, true, 0, 10},
                 {Family::MavoSir, true, 0, 8},
                 {Family::MavoDor, true, 0, 10},
                 {Family::MavoDor, false, 0, 8}};
    for (const auto& c : cases) {
        Options o;
        o.reader.family = c.f;
        o.kezCodesForDor = c.kezCodes;
        o.badgeType = c.badge;
        o.rate = 1;
        Presenter p(o);
        p.startAt(0);
        auto e = step(p, 0);
        ASSERT_EQ(e.size(), 1u);
        EXPECT_EQ(e[0].marker->code, counterCode(1, static_cast<int>(c.digits)));
        // A code typed on standard input follows the same rule.
        std::string typed(c.digits, '1');
        EXPECT_EQ(parseCommand(typed, o).kind, Command::Present) << typed;
        if (o.codeDigits() != 0) {
            EXPECT_EQ(parseCommand(typed + "1", o).kind, Command::Error) << typed;
        }
    }
}

TEST(SimCommands, Table) {
    Options o;
    o.holdEvery = 50;
    o.holdFor = 500;
    struct Case {
        const char* line;
        Command::Kind kind;
        std::int64_t ms = -1;
        std::int64_t every = 0, forMs = 0;
    } cases[] = {
        {"", Command::None},
        {"   # a comment", Command::None},
        {"0a0b0c0d0e  # held by default", Command::Present, -1, 50, 500},
        {"once 0a0b0c0d0e", Command::Present, -1, 0, 0},
        {"hold 0a0b0c0d0e 20", Command::Present, -1, 20, 500},
        {"hold 0a0b0c0d0e 20 300", Command::Present, -1, 20, 300},
        {"hold 0a0b0c0d0e 0", Command::Error},
        {"long 10", Command::Present},
        {"long 0", Command::Error},
        {"long", Command::Error},
        {"unplug", Command::Unplug},
        {"unplug 250", Command::Unplug, 250},
        {"unplug soon", Command::Error},
        {"plug", Command::Plug},
        {"busy 5000", Command::Busy, 5000},
        {"busy", Command::Error},
        {"busy -1", Command::Error},
        {"quit", Command::Quit},
        {"quit now", Command::Error},
        {"0a0b0c0d0g", Command::Error},
        {"1 2", Command::Error},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Command got = parseCommand(c.line, o);
        EXPECT_EQ(got.kind, c.kind) << got.error;
        if (c.kind == Command::Unplug || c.kind == Command::Busy) {
            EXPECT_EQ(got.ms, c.ms);
        }
        if (c.kind == Command::Present && got.item.kind == Item::Code) {
            EXPECT_EQ(got.item.code, "0A0B0C0D0E");
            EXPECT_EQ(got.item.everyMs, c.every);
            EXPECT_EQ(got.item.forMs, c.forMs);
        }
    }
}
