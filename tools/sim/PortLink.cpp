#include "PortLink.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/CartellaPorte.h"

namespace talumbra_sim {

namespace {

bool makeDirs(const std::string& path, std::string& err) {
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i != path.size() && path[i] != '/') continue;
        std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            err = "cannot create " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        err = path + " is not a folder";
        return false;
    }
    return true;
}

std::string readLink(const std::string& path) {
    char b[PATH_MAX];
    ssize_t n = readlink(path.c_str(), b, sizeof b - 1);
    return n < 0 ? std::string() : std::string(b, static_cast<std::size_t>(n));
}

}  // namespace

PortLink::~PortLink() { unplug(); }

bool PortLink::plug(bool held, std::string& err) {
    if (plugged()) return true;
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) {
        err = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        if (m >= 0) close(m);
        return false;
    }
    const char* name = ptsname(m);
    // Our own slave descriptor keeps the pty usable while no client has it
    // open (otherwise the master reports a hang-up after each close).
    int s = name ? open(name, O_RDWR | O_NOCTTY) : -1;
    if (s < 0) {
        err = std::string("cannot open the pty slave: ") + std::strerror(errno);
        close(m);
        return false;
    }
    termios t{};
    tcgetattr(s, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(s, TCSANOW, &t);
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    fcntl(m, F_SETFD, FD_CLOEXEC);
    fcntl(s, F_SETFD, FD_CLOEXEC);
    std::string device = name;
    // Held before the link exists, so that no opener slips in between.
    if ((held && !holdDevice(device, err)) || !claim(device, err)) {
        release();
        close(s);
        close(m);
        return false;
    }
    master_ = m;
    slave_ = s;
    device_ = device;
    return true;
}

// Claims a number: symlink() fails when the entry exists, so two simulators
// never take the same one.
bool PortLink::claim(const std::string& device, std::string& err) {
    if (dir_.empty()) {
        dir_ = talumbra::CartellaPorte();
        if (dir_.empty()) {
            err = "no ports folder: set TALUMBRA_PORTS, or HOME";
            return false;
        }
        if (!makeDirs(dir_, err)) {
            dir_.clear();
            return false;
        }
    }
    int first = port_ ? port_ : (wanted_ ? wanted_ : 1);
    int last = (port_ || wanted_) ? first : 256;
    for (int n = first; n <= last; ++n) {
        std::string lp = dir_ + "/com" + std::to_string(n);
        if (symlink(device.c_str(), lp.c_str()) == 0) {
            port_ = n;
            link_ = lp;
            return true;
        }
        if (errno != EEXIST) {
            err = "cannot create " + lp + ": " + std::strerror(errno);
            return false;
        }
        if (first != last) continue;  // automatic choice: never touch an existing entry
        struct stat st {};
        bool alive = stat(lp.c_str(), &st) == 0;
        if (alive && !force_) {
            std::string target = readLink(lp);
            err = "port " + std::to_string(n) + " is taken: " + lp + (target.empty() ? "" : " -> " + target) +
                  " (--force replaces it)";
            return false;
        }
        // A stale link (its device is gone), or --force: replace it atomically.
        std::string tmp = dir_ + "/.com" + std::to_string(n) + ".sim" + std::to_string(getpid());
        unlink(tmp.c_str());
        if (symlink(device.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), lp.c_str()) != 0) {
            err = "cannot replace " + lp + ": " + std::strerror(errno);
            unlink(tmp.c_str());
            return false;
        }
        port_ = n;
        link_ = lp;
        return true;
    }
    err = "no free port number in " + dir_;
    return false;
}

void PortLink::unplug() {
    if (!plugged()) return;
    release();
    // Another simulator may have replaced a link it found stale: leave it.
    if (readLink(link_) == device_) unlink(link_.c_str());
    close(master_);
    close(slave_);
    master_ = slave_ = -1;
}

bool PortLink::hold(std::string& err) {
    if (!plugged()) {
        err = "the port is unplugged";
        return false;
    }
    return holdDevice(device_, err);
}

bool PortLink::holdDevice(const std::string& device, std::string& err) {
    if (holder_ >= 0) return true;
    holder_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (holder_ < 0 || flock(holder_, LOCK_EX | LOCK_NB) != 0 || ioctl(holder_, TIOCEXCL) != 0) {
        err = std::string("cannot hold the pty: ") + std::strerror(errno);
        release();
        return false;
    }
    return true;
}

void PortLink::release() {
    if (holder_ < 0) return;
    // Our own slave descriptor keeps the tty open, so its exclusive flag
    // would outlive the holder: clear it first.
    ioctl(holder_, TIOCNXCL);
    close(holder_);
    holder_ = -1;
}

int PortLink::unread() const {
    int waiting = 0;
    if (!plugged() || ioctl(slave_, TIOCINQ, &waiting) != 0) return 0;
    return waiting;
}

}  // namespace talumbra_sim
