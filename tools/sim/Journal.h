#pragma once
// What the simulator tells its user: the verbose trace on standard error
// (bytes both ways, requests understood, events) and the code log.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace talumbra_sim {

// CLOCK_MONOTONIC in nanoseconds.
std::int64_t nowNs();
// SECONDS.MICROSECONDS
std::string formatTime(std::int64_t ns);

class Journal {
public:
    // Opens the code log (standard output when `logFile` is empty); false
    // and a reason when it cannot.
    bool open(const std::string& logFile, bool logTimes, bool verbose, std::string& err);
    ~Journal();

    void note(const std::string& s);
    // Received bytes are shown at once; sent ones in lines of 16 as the pace
    // lets them out, and the rest by flushTx().
    void received(std::string_view bytes);
    void sent(std::string_view bytes);
    void flushTx();

    // A code (or long line) whose last byte was written at `t`.
    void code(std::uint64_t seq, const std::string& code, const std::string& fault, std::int64_t t);
    void longLine(std::uint64_t bytes, std::int64_t t);
    void count(std::uint64_t codesSent);

    bool verbose() const { return verbose_; }

private:
    void dump(const char* dir, std::string_view bytes);

    bool verbose_ = false, logTimes_ = false;
    std::int64_t start_ = nowNs();
    FILE* log_ = stdout;
    std::string tx_;
};

}  // namespace talumbra_sim
