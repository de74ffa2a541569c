#pragma once
// What a reader puts on the wire: version replies, code lines and code frames,
// written from the reader's side. Pure functions, no I/O.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace talumbra_sim {

inline constexpr char STX = 0x02;
inline constexpr char ETX = 0x03;
inline constexpr char EOT = 0x04;
inline constexpr char NAK = 0x15;
inline constexpr char CR = 0x0D;
inline constexpr char LF = 0x0A;

enum class Family { Pelvan, Kez, MavoSir, MavoDor };

std::optional<Family> parseFamily(std::string_view name);
bool isMavo(Family f);

// Badge types of the 125 kHz text reader, numbered 0..4.
struct Badge {
    const char* name;
    char prefix;  // first letter of a code line
    int digits;   // hexadecimal digits after the letter
};
inline constexpr int kBadgeTypes = 5;
const Badge& badge(int type);
std::optional<int> parseBadge(std::string_view name);  // a name or 0..4

std::string defaultVersionText(Family f);

// Exclusive-or of every byte of `bytes` (0 for none).
unsigned char xorCheck(std::string_view bytes);

// STX, text, ETX, then the exclusive-or of STX..ETX.
std::string mavoFrame(std::string_view text);
// The framed code: STX "e01" code ETX check.
std::string mavoCodeFrame(std::string_view code);
// 00, the five bytes of a ten-digit hexadecimal code, and the check byte that
// makes the five bytes plus itself sum to 0 modulo 256.
std::string kezFrame(std::string_view code);
// Badge letter, code, CR LF.
std::string pelvanLine(char prefix, std::string_view code);

// Hexadecimal digits a code of this family (and badge type) must have;
// 0 means any non-zero length.
int codeDigits(Family f, int badgeType);

// The code in upper case when it is `digits` hexadecimal digits (any
// non-empty length when digits is 0); otherwise nullopt and a reason in *why.
std::optional<std::string> normaliseCode(std::string_view text, int digits, std::string* why = nullptr);

// n in upper-case hexadecimal, zero-padded to `digits` (keeps the low digits).
std::string counterCode(std::uint64_t n, int digits);

// Printable rendering of bytes for logs: hex pairs and a text column.
std::string hexDump(std::string_view bytes);
std::string textDump(std::string_view bytes);

}  // namespace talumbra_sim
