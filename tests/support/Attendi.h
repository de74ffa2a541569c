#pragma once
// Waits on the Qt event loop of the calling thread.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <functional>

namespace talumbra::test {

// Runs the event loop until `fatto` holds or `ms` have passed. It sleeps in
// the loop between events, and looks again at least every 5 ms for what no
// event announces (bytes waiting in a port, say).
inline bool Attendi(const std::function<bool()>& fatto, int ms = 10000) {
    QDeadlineTimer fine(ms);
    QEventLoop giro;
    QTimer sveglia;
    sveglia.setInterval(5);
    QObject::connect(&sveglia, &QTimer::timeout, &giro, &QEventLoop::quit);
    sveglia.start();
    while (!fatto()) {
        if (fine.hasExpired()) return false;
        giro.exec();
    }
    return true;
}

// Runs the event loop for `ms` milliseconds: to see that nothing happens.
inline void Gira(int ms) {
    QDeadlineTimer fine(ms);
    Attendi([&] { return fine.hasExpired(); }, ms + 1000);
}

}  // namespace talumbra::test
