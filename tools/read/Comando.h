// talumbra-read --pipe COMMAND: standard output becomes a pipe to COMMAND,
// run by the shell in a process group of its own.
#pragma once

#include <string>

namespace talumbra_read {

// Starts COMMAND. Done before any signal is set, so that the shell starts
// with the default ones. False: the pipe or the process could not be made.
bool AvviaComando(const std::string& comando);
// The end: COMMAND gets end of file, a moment to finish, and is then ended.
void AttendiComando();
// The exit status when the reader of the output went away.
int EsitoUscitaPersa();

}  // namespace talumbra_read
