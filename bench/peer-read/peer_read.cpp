// bench-peer-read DEVICE [COUNT]: opens DEVICE raw at 9600 baud and prints
// every CR LF line as soon as read() returns it; stops after COUNT lines
// (default: never). What the latency of talumbra-read is compared with.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench-peer-read DEVICE [COUNT]\n");
        return 2;
    }
    const int fd = ::open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    termios t{};
    if (::tcgetattr(fd, &t) == 0) {
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, B9600);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    const long limite = argc > 2 ? std::atol(argv[2]) : 0;
    long n = 0;
    std::string resto;
    char buf[4096];
    for (;;) {
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r <= 0) return r == 0 ? 0 : 1;
        resto.append(buf, size_t(r));
        size_t inizio = 0, fine;
        while ((fine = resto.find("\r\n", inizio)) != std::string::npos) {
            std::string riga = resto.substr(inizio, fine - inizio) + '\n';
            if (::write(STDOUT_FILENO, riga.data(), riga.size()) < 0) return 1;
            inizio = fine + 2;
            if (++n == limite) return 0;
        }
        resto.erase(0, inizio);
    }
}
