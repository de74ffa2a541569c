#include "SimFrames.h"

#include <array>
#include <cctype>

namespace talumbra_sim {

namespace {
constexpr std::array<Badge, kBadgeTypes> kBadges{{
    {"em4x02", 'U', 10},
    {"em4x50", 'T', 8},
    {"fdxb", 'Z', 16},
    {"hitag1", 'h', 8},
    {"hitag2", 'H', 8},
}};

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<Family> parseFamily(std::string_view name) {
    if (name == "pelvan") return Family::Pelvan;
    if (name == "kez") return Family::Kez;
    if (name == "mavo-sir") return Family::MavoSir;
    if (name == "mavo-dor") return Family::MavoDor;
    return std::nullopt;
}

bool isMavo(Family f) { return f == Family::MavoSir || f == Family::MavoDor; }

const Badge& badge(int type) { return kBadges.at(static_cast<std::size_t>(type)); }

std::optional<int> parseBadge(std::string_view name) {
    std::string lower;
    for (char c : name)
        if (c != '-' && c != '_') lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (int i = 0; i < kBadgeTypes; ++i)
        if (lower == kBadges[static_cast<std::size_t>(i)].name) return i;
    if (lower == "iso" || lower == "isofdxb") return 2;
    if (lower.size() == 1 && lower[0] >= '0' && lower[0] < '0' + kBadgeTypes) return lower[0] - '0';
    return std::nullopt;
}

std::string defaultVersionText(Family f) {
    switch (f) {
        case Family::Pelvan: return "OMBRISK-125 RW v3.02";
        case Family::Kez: return "KEZ-3 RFID 125kHz v1.4";
        // Chosen so that the check character after ETX is a plain letter.
        case Family::MavoSir: return "SIRMAVO MF-RW 13.56MHz v2.1";
        case Family::MavoDor: return "DORMAVO MF-RW 13.56MHz v2.1";
    }
    return {};
}

unsigned char xorCheck(std::string_view bytes) {
    unsigned char x = 0;
    for (char c : bytes) x ^= static_cast<unsigned char>(c);
    return x;
}

std::string mavoFrame(std::string_view text) {
    std::string f;
    f.reserve(text.size() + 3);
    f += STX;
    f += text;
    f += ETX;
    f += static_cast<char>(xorCheck(f));
    return f;
}

std::string mavoCodeFrame(std::string_view code) { return mavoFrame("e01" + std::string(code)); }

std::string kezFrame(std::string_view code) {
    std::string f(1, '\0');
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < code.size() && f.size() < 6; i += 2) {
        int hi = hexValue(code[i]), lo = hexValue(code[i + 1]);
        unsigned b = static_cast<unsigned>((hi < 0 ? 0 : hi) * 16 + (lo < 0 ? 0 : lo));
        sum += b;
        f += static_cast<char>(b);
    }
    while (f.size() < 6) f += '\0';
    f += static_cast<char>((256 - sum % 256) % 256);
    return f;
}

std::string pelvanLine(char prefix, std::string_view code) {
    std::string l(1, prefix);
    l += code;
    l += CR;
    l += LF;
    return l;
}

int codeDigits(Family f, int badgeType) {
    switch (f) {
        case Family::Pelvan: return badge(badgeType).digits;
        case Family::Kez: return 10;
        default: return 0;
    }
}

std::optional<std::string> normaliseCode(std::string_view text, int digits, std::string* why) {
    std::string up;
    for (char c : text) {
        char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (hexValue(u) < 0) {
            if (why) *why = "not a hexadecimal digit: '" + std::string(1, c) + "'";
            return std::nullopt;
        }
        up += u;
    }
    if (up.empty()) {
        if (why) *why = "empty code";
        return std::nullopt;
    }
    if (digits != 0 && static_cast<int>(up.size()) != digits) {
        if (why) *why = "needs " + std::to_string(digits) + " hexadecimal digits, has " + std::to_string(up.size());
        return std::nullopt;
    }
    return up;
}

std::string counterCode(std::uint64_t n, int digits) {
    static const char* hex = "0123456789ABCDEF";
    std::string s(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0 && n != 0; --i, n >>= 4) s[static_cast<std::size_t>(i)] = hex[n & 15];
    return s;
}

std::string hexDump(std::string_view bytes) {
    static const char* hex = "0123456789ABCDEF";
    std::string s;
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (!s.empty()) s += ' ';
        s += hex[b >> 4];
        s += hex[b & 15];
    }
    return s;
}

std::string textDump(std::string_view bytes) {
    std::string s;
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        s += (b >= 0x20 && b < 0x7F) ? c : '.';
    }
    return s;
}

}  // namespace talumbra_sim
