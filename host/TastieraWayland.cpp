// Typing as a virtual keyboard of a Wayland compositor. The keymap is our
// own, one key per character on its first level, so what arrives does not
// depend on the user's layout, locks or held keys: the compositor keeps a
// separate state for each keyboard.
#include <QList>

#include "Tastiera.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <talumbra/Fallimento.h>
#include "virtual-keyboard-unstable-v1-client-protocol.h"

namespace brelvo {

namespace {

constexpr char kManager[] = "zwp_virtual_keyboard_manager_v1";
// Xkb keycodes 9 to 255 (evdev 1 to 247): Return and Down, then the characters met so far.
constexpr size_t kTasti = 247;
// A compositor that does not answer a round trip within this time is given up.
constexpr int kAttesaMs = 3000;
constexpr auto kNuovaTastiera = std::chrono::milliseconds(200);
// The compositor passes each key on to the focused window at once, and drops
// a window that lets too many pile up unread ("error in client communication"):
// a round trip tells us the compositor has our keys, not that the window read
// them. So a code goes at once (a burst of up to kRaffica key events), longer
// runs at one event per kPasso on average, which a window that is reading
// follows with ease; and every kBlocco events a round trip keeps us from
// running ahead of a compositor that is busy, or finds one that hangs.
constexpr double kRaffica = 64;
constexpr double kLotto = 8;  // events per wake-up once the burst is spent
constexpr auto kPasso = std::chrono::microseconds(500);
constexpr int kBlocco = 32;

class TastieraWayland final : public Tastiera {
public:
    TastieraWayland() { Connetti(); }
    ~TastieraWayland() override { Chiudi(); }

    bool Disponibile() const override { return vk_ != nullptr || perso_; }
    QString Motivo() const override { return motivo_; }

    void Scrivi(const QString& testo) override {
        segnalato_ = false;  // a new code: its failure is reported once
        if (!vk_ && perso_) Connetti();
        Richiedi();
        std::vector<xkb_keysym_t> syms;
        QString mancanti;
        for (char32_t c : Stampabili(testo).toUcs4()) {
            const xkb_keysym_t s = xkb_utf32_to_keysym(c);
            if (s == XKB_KEY_NoSymbol)
                mancanti += QString::fromUcs4(&c, 1);
            else
                syms.push_back(s);
        }
        Batti(syms);
        if (!mancanti.isEmpty())
            throw talumbra::Fallimento(errTastiera,
                                       ("caratteri non disponibili sulla tastiera: " + mancanti).toStdString());
    }

    void Premi(Tasto tasto) override {
        if (!vk_ && segnalato_) return;  // this code's failure has been reported already
        Richiedi();
        Batti({static_cast<xkb_keysym_t>(tasto == Tasto::Invio ? XKB_KEY_Return : XKB_KEY_Down)});
    }

private:
    void Connetti() {
        Chiudi();
        const QByteArray nome = qgetenv("WAYLAND_DISPLAY");
        if (nome.isEmpty()) {
            motivo_ = QStringLiteral("nessun display Wayland ($WAYLAND_DISPLAY è vuota)");
            return;
        }
        dpy_ = wl_display_connect(nullptr);
        if (!dpy_) {
            motivo_ = QStringLiteral("impossibile collegarsi al compositore Wayland \"%1\"")
                          .arg(QString::fromLocal8Bit(nome));
            return;
        }
        registro_ = wl_display_get_registry(dpy_);
        static const wl_registry_listener ascolto{
            [](void* dati, wl_registry* r, uint32_t id, const char* interfaccia, uint32_t) {
                auto* t = static_cast<TastieraWayland*>(dati);
                if (!t->sede_ && !std::strcmp(interfaccia, wl_seat_interface.name))
                    t->sede_ = static_cast<wl_seat*>(wl_registry_bind(r, id, &wl_seat_interface, 1));
                else if (!t->gestore_ && !std::strcmp(interfaccia, kManager))
                    t->gestore_ = static_cast<zwp_virtual_keyboard_manager_v1*>(
                        wl_registry_bind(r, id, &zwp_virtual_keyboard_manager_v1_interface, 1));
            },
            [](void*, wl_registry*, uint32_t) {}};
        wl_registry_add_listener(registro_, &ascolto, this);
        if (!Andata()) {
            motivo_ = QStringLiteral("il compositore Wayland \"%1\" non risponde").arg(QString::fromLocal8Bit(nome));
            Chiudi();
            return;
        }
        if (!gestore_ || !sede_) {
            motivo_ = QStringLiteral("il compositore Wayland \"%1\" non offre %2")
                          .arg(QString::fromLocal8Bit(nome), QString::fromLatin1(!sede_ ? "wl_seat" : kManager));
            Chiudi();
            return;
        }
        vk_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(gestore_, sede_);
        tasti_.clear();
        if (!Andata()) {  // e.g. refused as unauthorized
            motivo_ = QStringLiteral("il compositore Wayland \"%1\" rifiuta la tastiera virtuale (errore %2)")
                          .arg(QString::fromLocal8Bit(nome))
                          .arg(wl_display_get_error(dpy_));
            Chiudi();
            return;
        }
        perso_ = false;
        motivo_.clear();
        // A seat that gains its first keyboard announces it to the clients,
        // which then bind it: keys sent before that would be lost.
        credito_ = kRaffica;
        ricarica_ = std::chrono::steady_clock::now() + kNuovaTastiera;
    }

    void Chiudi() {
        if (vk_) zwp_virtual_keyboard_v1_destroy(vk_);
        if (gestore_) zwp_virtual_keyboard_manager_v1_destroy(gestore_);
        if (sede_) wl_seat_destroy(sede_);
        if (registro_) wl_registry_destroy(registro_);
        if (dpy_) {
            wl_display_flush(dpy_);
            wl_display_disconnect(dpy_);
        }
        vk_ = nullptr;
        gestore_ = nullptr;
        sede_ = nullptr;
        registro_ = nullptr;
        dpy_ = nullptr;
    }

    void Richiedi() {
        if (vk_) return;
        segnalato_ = true;
        throw talumbra::Fallimento(errTastiera, ("impossibile inviare tasti: " + motivo_).toStdString());
    }

    // The connection is lost: closed now, tried again at the next code.
    [[noreturn]] void Perso() {
        const int e = dpy_ ? wl_display_get_error(dpy_) : 0;
        motivo_ = e ? QStringLiteral("il compositore Wayland ha chiuso il collegamento (%1)")
                          .arg(QString::fromLocal8Bit(std::strerror(e)))
                    : QStringLiteral("il compositore Wayland non risponde (i tasti già inviati possono arrivare)");
        Chiudi();
        perso_ = true;
        segnalato_ = true;
        throw talumbra::Fallimento(errTastiera, ("tasti non consegnati: " + motivo_).toStdString());
    }

    // A round trip with a time limit: a compositor that hangs must not hang us.
    bool Andata() {
        bool fatto = false;
        wl_callback* cb = wl_display_sync(dpy_);
        static const wl_callback_listener ascolto{
            [](void* dati, wl_callback*, uint32_t) { *static_cast<bool*>(dati) = true; }};
        wl_callback_add_listener(cb, &ascolto, &fatto);
        const auto fine = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAttesaMs);
        while (!fatto) {
            if (wl_display_prepare_read(dpy_) != 0) {
                if (wl_display_dispatch_pending(dpy_) < 0) break;
                continue;
            }
            pollfd p{wl_display_get_fd(dpy_), POLLIN, 0};
            if (wl_display_flush(dpy_) < 0 && errno == EAGAIN) p.events |= POLLOUT;
            const auto resta =
                std::chrono::duration_cast<std::chrono::milliseconds>(fine - std::chrono::steady_clock::now()).count();
            const int n = resta > 0 ? poll(&p, 1, static_cast<int>(resta)) : 0;
            if (n < 0 && errno == EINTR) {
                wl_display_cancel_read(dpy_);
                continue;
            }
            if (n <= 0) {  // no answer in time
                wl_display_cancel_read(dpy_);
                break;
            }
            if (!(p.revents & (POLLIN | POLLERR | POLLHUP))) {  // only room to write
                wl_display_cancel_read(dpy_);
                continue;
            }
            if (wl_display_read_events(dpy_) < 0 || wl_display_dispatch_pending(dpy_) < 0) break;
        }
        wl_callback_destroy(cb);
        return fatto && wl_display_get_error(dpy_) == 0;
    }

    // Every symbol needed gets a key of the keymap; a new keymap is sent when one is missing.
    void Prepara(const std::vector<xkb_keysym_t>& syms) {
        bool manca = tasti_.empty();
        for (xkb_keysym_t s : syms) manca = manca || std::find(tasti_.begin(), tasti_.end(), s) == tasti_.end();
        if (!manca) return;
        std::vector<xkb_keysym_t> nuovi = tasti_;
        if (nuovi.empty()) nuovi = {XKB_KEY_Return, XKB_KEY_Down};
        for (xkb_keysym_t s : syms)
            if (std::find(nuovi.begin(), nuovi.end(), s) == nuovi.end()) nuovi.push_back(s);
        if (nuovi.size() > kTasti) {  // full: start again with this text's symbols
            nuovi = {XKB_KEY_Return, XKB_KEY_Down};
            for (xkb_keysym_t s : syms)
                if (std::find(nuovi.begin(), nuovi.end(), s) == nuovi.end()) nuovi.push_back(s);
        }
        std::string k = "xkb_keymap {\nxkb_keycodes \"brelvo\" {\n minimum = 8;\n maximum = 255;\n";
        for (size_t i = 0; i < nuovi.size(); ++i)
            k += " <I" + std::to_string(i + 9) + "> = " + std::to_string(i + 9) + ";\n";
        k += "};\nxkb_types \"brelvo\" {\n type \"ONE_LEVEL\" {\n  modifiers = none;\n  level_name[Level1] = "
             "\"Any\";\n };\n};\n"
             "xkb_compatibility \"brelvo\" {\n};\nxkb_symbols \"brelvo\" {\n";
        char nome[64];
        for (size_t i = 0; i < nuovi.size(); ++i) {
            if (xkb_keysym_get_name(nuovi[i], nome, sizeof nome) <= 0)
                std::snprintf(nome, sizeof nome, "0x%x", nuovi[i]);
            k += " key <I" + std::to_string(i + 9) + "> { [ " + nome + " ] };\n";
        }
        k += "};\n};\n";
        const int fd = memfd_create("brelvo-keymap", MFD_CLOEXEC);
        if (fd < 0)
            throw talumbra::Fallimento(
                errTastiera, std::string("impossibile preparare la mappa dei tasti: ") + std::strerror(errno));
        const size_t n = k.size() + 1;  // with its final NUL
        bool scritto = ::write(fd, k.c_str(), n) == static_cast<ssize_t>(n);
        if (scritto)
            zwp_virtual_keyboard_v1_keymap(vk_, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, static_cast<uint32_t>(n));
        ::close(fd);
        if (!scritto) throw talumbra::Fallimento(errTastiera, "impossibile preparare la mappa dei tasti");
        zwp_virtual_keyboard_v1_modifiers(vk_, 0, 0, 0, 0);
        tasti_ = std::move(nuovi);
    }

    void Batti(const std::vector<xkb_keysym_t>& syms) {
        // A text with more different characters than X keycodes (which
        // XWayland clients need) goes in parts, each with its keymap.
        for (auto inizio = syms.begin(); inizio != syms.end();) {
            std::vector<xkb_keysym_t> diversi{XKB_KEY_Return, XKB_KEY_Down};
            auto fine = inizio;
            for (; fine != syms.end(); ++fine) {
                if (std::find(diversi.begin(), diversi.end(), *fine) != diversi.end()) continue;
                if (diversi.size() == kTasti) break;
                diversi.push_back(*fine);
            }
            const std::vector<xkb_keysym_t> parte(inizio, fine);
            Prepara(parte);
            for (xkb_keysym_t s : parte) {
                const auto chiave =
                    static_cast<uint32_t>(std::find(tasti_.begin(), tasti_.end(), s) - tasti_.begin()) + 1;
                Aspetta();
                zwp_virtual_keyboard_v1_key(vk_, Tempo(chiave, true), chiave, WL_KEYBOARD_KEY_STATE_PRESSED);
                Aspetta();
                zwp_virtual_keyboard_v1_key(vk_, Tempo(chiave, false), chiave, WL_KEYBOARD_KEY_STATE_RELEASED);
                if (++inviati_ * 2 >= kBlocco) {
                    inviati_ = 0;
                    if (!Andata()) Perso();
                }
            }
            inizio = fine;
        }
        // The compositor has every key before the next text.
        inviati_ = 0;
        if (!Andata()) Perso();
    }

    // Takes one event's share of the budget; when it is spent, flushes what
    // is written and waits for the share of a few events.
    void Aspetta() {
        using namespace std::chrono;
        auto ora = steady_clock::now();
        if (ora < ricarica_ || credito_ < 1) {
            if (wl_display_flush(dpy_) < 0 && errno != EAGAIN) Perso();
            const auto fino =
                std::max(ricarica_, ora + duration_cast<steady_clock::duration>((kLotto - credito_) * kPasso));
            std::this_thread::sleep_until(fino);
            ora = steady_clock::now();
        }
        credito_ = std::min(kRaffica, credito_ + duration<double>(ora - ricarica_) / kPasso);
        ricarica_ = ora;
        credito_ -= 1;
    }

    // The time of a key event: the clock's millisecond, but later than the
    // release of the same key before it, which would otherwise look like a
    // key held down and repeated.
    uint32_t Tempo(uint32_t chiave, bool giu) {
        const auto ms = static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count());
        if (ms > tempo_) {
            tempo_ = ms;
            rilasciati_.clear();
        } else if (giu && std::find(rilasciati_.begin(), rilasciati_.end(), chiave) != rilasciati_.end()) {
            ++tempo_;
            rilasciati_.clear();
        }
        if (!giu) rilasciati_.push_back(chiave);
        return tempo_;
    }

    wl_display* dpy_ = nullptr;
    wl_registry* registro_ = nullptr;
    wl_seat* sede_ = nullptr;
    zwp_virtual_keyboard_manager_v1* gestore_ = nullptr;
    zwp_virtual_keyboard_v1* vk_ = nullptr;
    std::vector<xkb_keysym_t> tasti_;  // the symbol of xkb keycode 9 + i
    QString motivo_;
    bool perso_ = false;      // was connected, the compositor went away
    bool segnalato_ = false;  // this code's failure has been reported
    uint32_t tempo_ = 0;
    std::vector<uint32_t> rilasciati_;  // keys released at time tempo_
    double credito_ = 0;                // key events that may go now
    std::chrono::steady_clock::time_point ricarica_{};
    int inviati_ = 0;  // keys since the last round trip
};

}  // namespace

std::unique_ptr<Tastiera> CreaTastieraWayland() { return std::make_unique<TastieraWayland>(); }

}  // namespace brelvo
