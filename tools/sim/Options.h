#pragma once
// The simulator's command line: what it plays and how.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ReaderModel.h"

namespace talumbra_sim {

struct Options {
    ReaderConfig reader;
    int badgeType = 0;
    int port = 0;  // 0: the first free number
    bool force = false;
    bool kezCodesForDor = true;  // a DORMAVO reader sends its codes as binary frames
    std::int64_t replyDelayMs = 0;
    std::vector<std::string> codes;
    std::int64_t intervalMs = 500;
    std::int64_t holdEvery = 0, holdFor = 0;
    std::optional<std::uint64_t> rate;
    std::int64_t startDelayMs = 0;
    bool waitHost = false;
    bool exitWhenDone = false;
    bool readStdin = true;
    bool logTimes = false;
    std::string logFile;
    long baud = 9600;  // 0: unpaced
    std::size_t garbage = 0;
    bool cutFrame = false, badCheck = false, noCrLf = false;
    bool noCheck = false;  // mavo code frames end at their ETX
    std::uint64_t faultEvery = 1;
    std::uint64_t longLine = 0;
    std::int64_t unplugAfterMs = -1, replugAfterMs = -1;
    std::uint64_t unplugs = 1;  // timed unplugs in all; 0: no end
    std::int64_t appearAfterMs = -1, busyForMs = -1;
    bool verbose = false;

    // Hexadecimal digits a presented code must have (0: any length), and
    // those of generated codes.
    int codeDigits() const;
    int counterDigits() const;
};

// A whole decimal number from lo to hi, or nullopt.
std::optional<long long> parseNumber(std::string_view text, long long lo, long long hi);

// Parses the command line; prints the help, or an error, and exits when asked
// to or when an option is wrong.
Options parseOptions(int argc, char** argv);

}  // namespace talumbra_sim
