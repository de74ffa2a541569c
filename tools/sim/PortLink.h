#pragma once
// The reader's cable: a pseudo-terminal whose slave is linked into the ports
// folder as comN. Plugging creates both; unplugging removes the link and
// closes the pty, so the far end sees the line go away.
#include <string>

namespace talumbra_sim {

class PortLink {
public:
    // `wanted` 0 takes the first free number; `force` replaces an entry that
    // leads to a live device.
    PortLink(int wanted, bool force) : wanted_(wanted), force_(force) {}
    ~PortLink();
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    // Opens a new pty and links it; a replug keeps the number first taken.
    // With `held`, another program holds the port from before the link exists.
    bool plug(bool held, std::string& err);
    void unplug();

    // Another program's hold: an exclusive lock and TIOCEXCL, as an open port
    // has.
    bool hold(std::string& err);
    void release();
    bool held() const { return holder_ >= 0; }

    bool plugged() const { return master_ >= 0; }
    int master() const { return master_; }
    int port() const { return port_; }
    const std::string& device() const { return device_; }
    const std::string& link() const { return link_; }
    // Bytes written and not yet read by the far end.
    int unread() const;

private:
    bool claim(const std::string& device, std::string& err);
    bool holdDevice(const std::string& device, std::string& err);

    int wanted_;
    bool force_;
    int master_ = -1, slave_ = -1, holder_ = -1;
    int port_ = 0;
    std::string dir_, device_, link_;
};

}  // namespace talumbra_sim
