#pragma once
// The event loop's watch over the open serial ports of one thread.
#include <QSocketNotifier>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>

namespace talumbra {

// Sveglia delivers a wake-up from the event loop to each port that has bytes.
// The ports of a thread share one epoll descriptor, and only that one is
// watched by the event loop: a notifier per port made every wake-up poll
// every port, and with sixteen readers at 9600 baud that polling was most of
// the CPU. It lives while a port of its thread is open.
class Sveglia : public std::enable_shared_from_this<Sveglia> {
public:
    // The thread's, made when first needed; null when it cannot be made.
    static std::shared_ptr<Sveglia> DelThread();
    ~Sveglia();
    Sveglia(const Sveglia&) = delete;
    Sveglia& operator=(const Sveglia&) = delete;

    // Watches `fd` (switched on) and returns its key; 0 when epoll refuses it.
    uint64_t Aggiungi(int fd, std::function<void()> risveglio);
    // A port switched off is out of the epoll set, since epoll would report a
    // hang-up even with no events asked.
    void Attiva(uint64_t chiave, bool attiva);
    bool Attiva(uint64_t chiave) const;
    // Must come before the descriptor is closed.
    void Togli(uint64_t chiave);

private:
    Sveglia() = default;
    void Risveglio();

    struct Voce {
        int fd;
        bool attiva;
        std::function<void()> risveglio;
    };
    int ep_ = -1;
    uint64_t ultima_ = 0;  // keys are never reused, so a closed port's late event finds nothing
    std::unordered_map<uint64_t, Voce> voci_;
    std::unique_ptr<QSocketNotifier> notifica_;
};

}  // namespace talumbra
