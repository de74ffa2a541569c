#include <gtest/gtest.h>

#include "SimFrames.h"

using namespace talumbra_sim;

namespace {
std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s += static_cast<char>(c);
    return s;
}
}  // namespace

TEST(SimFrames, MavoCheckCharacterIsTheXorFromStxToEtx) {
    EXPECT_EQ(mavoFrame("f"), bytes({0x02, 'f', 0x03, 'g'}));
    EXPECT_EQ(mavoFrame(""), bytes({0x02, 0x03, 0x01}));
    EXPECT_EQ(mavoFrame("123"), bytes({0x02, '1', '2', '3', 0x03, '1'}));
    // STX "e01" 12345678 ETX: worked by hand, the check is 0x6D "m".
    EXPECT_EQ(mavoCodeFrame("12345678"), std::string("\x02"
                                                     "e0112345678"
                                                     "\x03"
                                                     "m"));
}

TEST(SimFrames, KezFrameIsSyncFiveBytesAndACheckThatSumsToZero) {
    EXPECT_EQ(kezFrame("0102030405"), bytes({0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0xF1}));
    EXPECT_EQ(kezFrame("0000000000"), std::string(7, '\0'));
    EXPECT_EQ(kezFrame("FFFFFFFFFF"), bytes({0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x05}));
    for (const char* code : {"0000000001", "80C4A2E691", "DEADBEEF00"}) {
        std::string f = kezFrame(code);
        ASSERT_EQ(f.size(), 7u);
        unsigned sum = 0;
        for (std::size_t i = 1; i < 7; ++i) sum += static_cast<unsigned char>(f[i]);
        EXPECT_EQ(sum % 256, 0u) << code;
    }
}

TEST(SimFrames, TextReaderLinesCarryTheBadgeLetter) {
    EXPECT_EQ(pelvanLine('U', "0123456789"), "U0123456789\r\n");
    const char prefixes[] = {'U', 'T', 'Z', 'h', 'H'};
    const int digits[] = {10, 8, 16, 8, 8};
    for (int t = 0; t < kBadgeTypes; ++t) {
        EXPECT_EQ(badge(t).prefix, prefixes[t]);
        EXPECT_EQ(codeDigits(Family::Pelvan, t), digits[t]);
    }
    EXPECT_EQ(parseBadge("EM4x50"), 1);
    EXPECT_EQ(parseBadge("hitag-2"), 4);
    EXPECT_EQ(parseBadge("3"), 3);
    EXPECT_FALSE(parseBadge("5"));
    EXPECT_FALSE(parseBadge("mifare"));
}

TEST(SimFrames, CodesAreCheckedAndUpperCased) {
    std::string why;
    EXPECT_EQ(normaliseCode("0a0b0c0d0e", 10, &why), "0A0B0C0D0E");
    EXPECT_FALSE(normaliseCode("012345678", 10, &why));
    EXPECT_NE(why.find("10"), std::string::npos);
    EXPECT_FALSE(normaliseCode("01234567G9", 10));
    EXPECT_FALSE(normaliseCode("", 0));
    EXPECT_EQ(normaliseCode("abc", 0), "ABC");  // framed readers take any length
    EXPECT_EQ(counterCode(0x12C, 10), "000000012C");
    EXPECT_EQ(counterCode(0x1FF, 2), "FF");  // keeps the low digits
}

TEST(SimFrames, DefaultVersionTextsAreRecognisableAndLongEnough) {
    EXPECT_NE(defaultVersionText(Family::Pelvan).find("OMBRISK-125"), std::string::npos);
    EXPECT_NE(defaultVersionText(Family::Kez).find("KEZ"), std::string::npos);
    EXPECT_GT(defaultVersionText(Family::Pelvan).size(), 16u);
    for (Family f : {Family::MavoSir, Family::MavoDor}) {
        std::string frame = mavoFrame(defaultVersionText(f));
        EXPECT_GT(frame.size() - 1, 16u);  // STX..ETX, check excluded
        // The check character must not look like a frame start or an answer.
        for (char c : {STX, '\x06', NAK}) EXPECT_NE(frame.back(), c);
    }
    EXPECT_NE(defaultVersionText(Family::MavoSir).find("SIRMAVO"), std::string::npos);
    EXPECT_NE(defaultVersionText(Family::MavoDor).find("DORMAVO"), std::string::npos);
}
