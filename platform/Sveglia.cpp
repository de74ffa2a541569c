#include "platform/Sveglia.h"

#include <sys/epoll.h>
#include <unistd.h>

namespace talumbra {

namespace {
thread_local std::weak_ptr<Sveglia> tSveglia;
thread_local int tInSveglia = 0;  // wake-ups being delivered on this thread
}  // namespace

std::shared_ptr<Sveglia> Sveglia::DelThread() {
    if (auto s = tSveglia.lock()) return s;
    std::shared_ptr<Sveglia> s(new Sveglia);
    s->ep_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (s->ep_ < 0) return nullptr;
    s->notifica_ = std::make_unique<QSocketNotifier>(s->ep_, QSocketNotifier::Read);
    Sveglia* grezzo = s.get();
    QObject::connect(s->notifica_.get(), &QSocketNotifier::activated, s->notifica_.get(),
                     [grezzo] { grezzo->Risveglio(); });
    tSveglia = s;
    return s;
}

Sveglia::~Sveglia() {
    if (notifica_) {
        notifica_->setEnabled(false);
        if (tInSveglia > 0) {
            // Released from inside a delivery: the notifier is still delivering.
            QSocketNotifier* n = notifica_.release();
            QObject::disconnect(n, nullptr, nullptr, nullptr);
            n->deleteLater();
        }
    }
    notifica_.reset();
    if (ep_ >= 0) ::close(ep_);
}

uint64_t Sveglia::Aggiungi(int fd, std::function<void()> risveglio) {
    const uint64_t chiave = ++ultima_;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = chiave;
    if (::epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev) != 0) return 0;
    voci_.emplace(chiave, Voce{fd, true, std::move(risveglio)});
    return chiave;
}

void Sveglia::Attiva(uint64_t chiave, bool attiva) {
    auto v = voci_.find(chiave);
    if (v == voci_.end() || v->second.attiva == attiva) return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = chiave;
    (void)::epoll_ctl(ep_, attiva ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, v->second.fd, &ev);
    v->second.attiva = attiva;
}

bool Sveglia::Attiva(uint64_t chiave) const {
    auto v = voci_.find(chiave);
    return v != voci_.end() && v->second.attiva;
}

void Sveglia::Togli(uint64_t chiave) {
    Attiva(chiave, false);
    voci_.erase(chiave);
}

void Sveglia::Risveglio() {
    struct Dentro {
        Dentro() { ++tInSveglia; }
        ~Dentro() { --tInSveglia; }
    } dentro;
    const auto vivo = shared_from_this();  // a handler may close the last port
    epoll_event ev[64];
    // Level-triggered: whatever is left, or does not fit, wakes the loop again.
    const int n = ::epoll_wait(ep_, ev, 64, 0);
    for (int i = 0; i < n; ++i) {
        // An earlier handler may have closed this port or switched it off.
        auto v = voci_.find(ev[i].data.u64);
        if (v == voci_.end() || !v->second.attiva) continue;
        const auto risveglio = v->second.risveglio;  // the handler may remove its entry
        risveglio();
    }
}

}  // namespace talumbra
