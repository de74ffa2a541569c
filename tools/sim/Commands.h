#pragma once
// The command language of standard input, one command a line:
//   CODE | once CODE | hold CODE [EVERY_MS [FOR_MS]] | long BYTES
//   unplug [MS] | plug | busy MS | quit
// Anything after '#' is a comment.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Presenter.h"

namespace talumbra_sim {

struct Options;

struct Command {
    enum Kind { None, Present, Unplug, Plug, Busy, Quit, Error } kind = None;
    Item item;             // Present
    std::int64_t ms = -1;  // Unplug (-1: the --replug-after default), Busy
    std::string error;     // Error
};

Command parseCommand(const std::string& line, const Options& o);

// Splits what arrives on a descriptor into lines.
class CommandInput {
public:
    explicit CommandInput(bool open) : open_(open) {}
    bool open() const { return open_; }
    // Reads what is there; returns the complete lines (and the last one at
    // end of input, which closes the input).
    std::vector<std::string> read(int fd);

private:
    bool open_;
    std::string buf_;
};

}  // namespace talumbra_sim
