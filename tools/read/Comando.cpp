#include "Comando.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "Opzioni.h"

namespace talumbra_read {

namespace {

pid_t comandoUscita = -1;

// Waits up to `ms` for the command to end; true once it has.
bool Finito(int ms, int* stato = nullptr) {
    for (int i = 0;; i += 10) {
        const pid_t r = ::waitpid(comandoUscita, stato, WNOHANG);
        if (r != 0) {
            if (r > 0) comandoUscita = -1;
            return true;
        }
        if (i >= ms) return false;
        ::usleep(10000);
    }
}

}  // namespace

bool AvviaComando(const std::string& comando) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return false;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(p[0]);
        ::close(p[1]);
        return false;
    }
    if (pid == 0) {
        // A process group of its own: at the end the whole command is ended,
        // whatever it started.
        ::setpgid(0, 0);
        ::dup2(p[0], STDIN_FILENO);
        ::execl("/bin/sh", "sh", "-c", comando.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::setpgid(pid, pid);  // also here: no race with the child's own call
    ::close(p[0]);
    if (::dup2(p[1], STDOUT_FILENO) < 0) return false;
    ::close(p[1]);
    comandoUscita = pid;
    return true;
}

// The command gets end of file and a moment to finish its last lines; one
// that is still there (it never reads, or hangs) is ended with its whole
// process group, so that no part of it is left running.
void AttendiComando() {
    if (comandoUscita <= 0) return;
    const pid_t gruppo = comandoUscita;
    ::close(STDOUT_FILENO);
    if (Finito(500)) return;
    ::kill(-gruppo, SIGTERM);
    if (Finito(500)) return;
    ::kill(-gruppo, SIGKILL);
    Finito(1000);
}

// The reader of the output went away: the --pipe command that the shell
// could not find or run (126, 127) is a start failure, anything else an
// output failure.
int EsitoUscitaPersa() {
    int stato = 0;
    if (comandoUscita > 0 && Finito(200, &stato) && WIFEXITED(stato) &&
        (WEXITSTATUS(stato) == 126 || WEXITSTATUS(stato) == 127)) {
        std::fprintf(stderr, "talumbra-read: cannot start the --pipe command (the shell ended with %d)\n",
                     WEXITSTATUS(stato));
        return kEsitoAvvio;
    }
    return kEsitoUscita;
}

}  // namespace talumbra_read
