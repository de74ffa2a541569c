#include "Journal.h"

#include <time.h>

#include <cerrno>
#include <cstring>

#include "SimFrames.h"

namespace talumbra_sim {

std::int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::string formatTime(std::int64_t ns) {
    char b[48];
    std::snprintf(b, sizeof b, "%lld.%06lld", static_cast<long long>(ns / 1'000'000'000),
                  static_cast<long long>((ns % 1'000'000'000) / 1000));
    return b;
}

bool Journal::open(const std::string& logFile, bool logTimes, bool verbose, std::string& err) {
    verbose_ = verbose;
    logTimes_ = logTimes;
    if (logFile.empty()) return true;
    log_ = std::fopen(logFile.c_str(), "w");
    if (log_) return true;
    log_ = stdout;
    err = "--log " + logFile + ": " + std::strerror(errno);
    return false;
}

Journal::~Journal() {
    if (log_ != stdout) std::fclose(log_);
}

void Journal::dump(const char* dir, std::string_view bytes) {
    std::fprintf(stderr, "[%s] %s %-47s | %s\n", formatTime(nowNs() - start_).c_str(), dir, hexDump(bytes).c_str(),
                 textDump(bytes).c_str());
}

void Journal::note(const std::string& s) {
    if (!verbose_) return;
    flushTx();
    std::fprintf(stderr, "[%s] -- %s\n", formatTime(nowNs() - start_).c_str(), s.c_str());
}

void Journal::received(std::string_view bytes) {
    if (!verbose_) return;
    flushTx();
    for (std::size_t i = 0; i < bytes.size(); i += 16) dump("rx", bytes.substr(i, 16));
}

void Journal::sent(std::string_view bytes) {
    if (!verbose_) return;
    tx_ += bytes;
    std::size_t i = 0;
    for (; tx_.size() - i >= 16; i += 16) dump("tx", std::string_view(tx_).substr(i, 16));
    tx_.erase(0, i);
}

void Journal::flushTx() {
    if (!verbose_ || tx_.empty()) return;
    dump("tx", tx_);
    tx_.clear();
}

void Journal::code(std::uint64_t seq, const std::string& code, const std::string& fault, std::int64_t t) {
    if (!logTimes_) return;
    std::fprintf(log_, "code %llu %s %s%s%s\n", static_cast<unsigned long long>(seq), code.c_str(),
                 formatTime(t).c_str(), fault.empty() ? "" : " ", fault.c_str());
    std::fflush(log_);
}

void Journal::longLine(std::uint64_t bytes, std::int64_t t) {
    if (!logTimes_) return;
    std::fprintf(log_, "long %llu %s\n", static_cast<unsigned long long>(bytes), formatTime(t).c_str());
    std::fflush(log_);
}

void Journal::count(std::uint64_t codesSent) {
    flushTx();
    std::fprintf(log_, "codes sent %llu\n", static_cast<unsigned long long>(codesSent));
    std::fflush(log_);
}

}  // namespace talumbra_sim
