#include <gtest/gtest.h>

#include "ReaderModel.h"

using namespace talumbra_sim;

namespace {
using Replies = std::vector<std::string>;

ReaderConfig text() { return ReaderConfig{}; }
ReaderConfig of(Family f) {
    ReaderConfig c;
    c.family = f;
    return c;
}
}  // namespace

TEST(SimTextReader, SingleLettersAnswerAtOnceAndEotIsIgnored) {
    ReaderModel r(text());
    Replies v = r.receive("V", 0);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_NE(v[0].find("OMBRISK-125"), std::string::npos);
    EXPECT_EQ(v[0].substr(v[0].size() - 2), "\r\n");
    EXPECT_GT(v[0].size() - 2, 16u);
    EXPECT_EQ(r.receive("\x04\x04", 1), Replies{});
    EXPECT_EQ(r.receive("x", 2), Replies{"OK\r\n"});
    EXPECT_EQ(r.receive("vP", 3).size(), 2u);  // two commands in one write
    EXPECT_FALSE(r.deadline());
    EXPECT_EQ(r.requests(), 4u);
}

TEST(SimTextReader, CommandsWithArgumentsEndAfterAQuietGap) {
    ReaderModel r(text());
    EXPECT_EQ(r.receive("W0", 100), Replies{});
    EXPECT_EQ(r.receive("112345678", 110), Replies{});  // still within the gap
    ASSERT_TRUE(r.deadline());
    EXPECT_EQ(*r.deadline(), 140);
    EXPECT_EQ(r.tick(139), Replies{});
    EXPECT_EQ(r.tick(140), Replies{"OK\r\n"});
    r.receive("R01", 200);
    EXPECT_EQ(r.tick(230), Replies{"12345678\r\n"});
    // A page never written reads as zeros; CR ends a command without waiting.
    EXPECT_EQ(r.receive("r7\r", 300), Replies{"00000000\r\n"});
    // A new write after the gap first closes the command before it.
    r.receive("dr", 400);
    EXPECT_EQ(r.receive("V", 500).size(), 2u);
}

TEST(SimTextReader, BadArgumentsGetASyntaxComplaint) {
    ReaderModel r(text());
    for (const char* cmd : {"D", "Dx", "R", "R100", "W1", "W01GGGGGGGG", "Q"}) {
        r.receive(cmd, 0);
        EXPECT_EQ(r.tick(1000), Replies{"?\r\n"}) << cmd;
    }
    for (const char* cmd : {"DR", "dg", "Dn", "L", "l1234"}) {
        r.receive(cmd, 0);
        EXPECT_EQ(r.tick(1000), Replies{"OK\r\n"}) << cmd;
    }
}

TEST(SimTextReader, RefusalsComplaintsAndPassword) {
    ReaderConfig c = text();
    c.refuseAll = true;
    ReaderModel all(c);
    EXPECT_EQ(all.receive("X", 0), Replies{"N\r\n"});
    EXPECT_NE(all.receive("V", 0)[0].find("OMBRISK"), std::string::npos);  // recognition still works

    c = text();
    c.refuseLetters = "w";
    c.syntaxLetters = "P";
    c.password = "s3cret";
    ReaderModel some(c);
    EXPECT_EQ(some.receive("p", 0), Replies{"?\r\n"});
    EXPECT_EQ(some.receive("X", 0), Replies{"OK\r\n"});
    some.receive("W0112345678", 0);
    EXPECT_EQ(some.tick(100), Replies{"N\r\n"});
    some.receive("Lguess", 200);
    EXPECT_EQ(some.tick(300), Replies{"N\r\n"});
    some.receive("Ls3cret", 400);
    EXPECT_EQ(some.tick(500), Replies{"OK\r\n"});
}

TEST(SimTextReader, ContinuousModeAndLinesWithoutEnd) {
    ReaderConfig c = text();
    c.continuous = false;
    c.noCrLf = true;
    ReaderModel r(c);
    EXPECT_FALSE(r.continuous());
    EXPECT_EQ(r.receive("c", 0), Replies{});  // no reply, not a request
    EXPECT_TRUE(r.continuous());
    EXPECT_EQ(r.requests(), 0u);
    EXPECT_EQ(r.receive("X", 0), Replies{"OK"});
    r.powerCycle();
    EXPECT_FALSE(r.continuous());
}

TEST(SimReaderFaults, SilentAndLateReaders) {
    ReaderConfig c = text();
    c.silent = true;
    ReaderModel silent(c);
    EXPECT_EQ(silent.receive("VVX", 0), Replies{});
    EXPECT_FALSE(silent.hostSeen());

    c = of(Family::Kez);
    c.answerFrom = 3;
    ReaderModel late(c);
    EXPECT_EQ(late.receive("V", 0), Replies{});
    EXPECT_EQ(late.receive("v", 0), Replies{});
    EXPECT_FALSE(late.hostSeen());
    Replies third = late.receive("V", 0);
    ASSERT_EQ(third.size(), 1u);
    EXPECT_NE(third[0].find("KEZ"), std::string::npos);
    EXPECT_TRUE(late.hostSeen());
}

TEST(SimBinaryReader, AnswersOnlyTheVersionRequest) {
    ReaderModel r(of(Family::Kez));
    EXPECT_EQ(r.receive("\x04\x04xR01", 0), Replies{});
    EXPECT_FALSE(r.deadline());
    Replies v = r.receive("V", 0);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].substr(v[0].size() - 2), "\r\n");
}

TEST(SimFramedReader, AnswersTheFramedVersionRequestOnly) {
    for (Family f : {Family::MavoSir, Family::MavoDor}) {
        ReaderModel r(of(f));
        EXPECT_EQ(r.receive("V", 0), Replies{});
        EXPECT_EQ(r.receive("\x02"
                            "f",
                            0),
                  Replies{});  // split across writes
        Replies v = r.receive("\x03g", 10);
        ASSERT_EQ(v.size(), 1u);
        EXPECT_EQ(v[0], mavoFrame(defaultVersionText(f)));
        EXPECT_NE(v[0].find(f == Family::MavoSir ? "SIRMAVO" : "DORMAVO"), std::string::npos);
        EXPECT_EQ(r.requests(), 1u);
    }
}

TEST(SimFramedReader, BadChecksUnknownAndBrokenFrames) {
    ReaderModel r(of(Family::MavoSir));
    EXPECT_EQ(r.receive("\x02"
                        "f\x03h",
                        0),
              Replies{std::string(1, NAK)});
    EXPECT_EQ(r.receive(mavoFrame("Z"), 0), Replies{std::string(1, NAK)});
    // A frame cut off by a new STX, then a good one.
    EXPECT_EQ(r.receive("\x02"
                        "ab\x02"
                        "f\x03g",
                        0)
                  .size(),
              1u);
    // A frame that stalls is forgotten after a second; the next one is read.
    r.receive(
        "\x02"
        "f",
        1000);
    EXPECT_EQ(*r.deadline(), 2000);
    r.tick(2000);
    EXPECT_FALSE(r.deadline());
    EXPECT_EQ(r.receive("\x03g", 2001), Replies{});
    EXPECT_EQ(r.receive(mavoFrame("f"), 2002).size(), 1u);
}
