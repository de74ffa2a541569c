// Typing through XTest. Each character is looked up in the active XKB group on
// levels 1 to 4 (none, Shift, AltGr, AltGr+Shift), translated as the clients
// will translate it, with the user's locked modifiers (Caps Lock, Num Lock)
// in effect; only characters no key produces get a spare keycode.
#include <QList>

#include "Tastiera.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

#include <array>
#include <bitset>
#include <chrono>
#include <cstring>
#include <thread>
#include <unordered_map>
#include <vector>

#include <talumbra/Fallimento.h>

namespace brelvo {

namespace {

// Pace: a fake event can be held by the X server for 1 ms after the previous
// one. Toolkits read a release and a press of the same keycode with equal
// times as auto-repeat, so such a press waits for the server's clock to move
// on; so does the first key after a spare keycode is remapped. All the other
// events go at once, in one flush.
constexpr unsigned long kPasso = 1;
// Events processed this long before now surely have an earlier time than the next.
constexpr auto kTempoPassato = std::chrono::milliseconds(2);
// A spare keycode that has carried one character is not given another until
// the clients have surely read the events it produced: they translate a key
// with the mapping they hold when they read the event.
constexpr auto kAssestamento = std::chrono::milliseconds(300);
constexpr int kRiserve = 8;

// Modifier keys the user may be holding: released while a code is typed.
constexpr KeySym kModificatori[] = {XK_Shift_L, XK_Shift_R, XK_Control_L,   XK_Control_R,        XK_Alt_L,
                                    XK_Alt_R,   XK_Meta_L,  XK_Meta_R,      XK_Super_L,          XK_Super_R,
                                    XK_Hyper_L, XK_Hyper_R, XK_Mode_switch, XK_ISO_Level3_Shift, XK_ISO_Level5_Shift};

thread_local int erroreX = 0;
int RaccogliErrore(Display*, XErrorEvent* e) {
    erroreX = e->error_code;
    return 0;
}

using Tasti = std::array<unsigned char, 32>;
bool Giu(const Tasti& t, int kc) { return (t[static_cast<size_t>(kc) / 8] >> (kc % 8)) & 1; }

struct Pressione {
    KeyCode kc = 0;
    unsigned mods = 0;  // ShiftMask and the AltGr modifier, to hold around the key
};

class TastieraX11 final : public Tastiera {
public:
    TastieraX11() {
        const QByteArray nome = qgetenv("DISPLAY");
        if (nome.isEmpty()) {
            motivo_ = QStringLiteral("nessun display X ($DISPLAY è vuota)");
            return;
        }
        dpy_ = XOpenDisplay(nome.constData());
        if (!dpy_) {
            motivo_ = QStringLiteral("impossibile aprire il display X \"%1\"").arg(QString::fromLocal8Bit(nome));
            return;
        }
        int ev = 0, er = 0, maj = XkbMajorVersion, min = XkbMinorVersion, op = 0;
        if (!XTestQueryExtension(dpy_, &ev, &er, &maj, &min) ||
            !XkbQueryExtension(dpy_, &op, &eventoXkb_, &er, &maj, &min)) {
            motivo_ = QStringLiteral("il display X \"%1\" non offre le estensioni XTest e XKB")
                          .arg(QString::fromLocal8Bit(nome));
            XCloseDisplay(dpy_);
            dpy_ = nullptr;
            return;
        }
        // A new layout (setxkbmap, a desktop's layout switch) is read before the next code.
        XkbSelectEvents(dpy_, XkbUseCoreKbd, XkbNewKeyboardNotifyMask | XkbMapNotifyMask,
                        XkbNewKeyboardNotifyMask | XkbMapNotifyMask);
        // Our fake keys must never be held back by a grab of ours.
        XTestGrabControl(dpy_, True);
    }

    ~TastieraX11() override {
        if (!dpy_) return;
        if (!riserve_.empty()) {
            // Give the spare keycodes back their empty mapping, once the last
            // key typed with them has been read.
            std::this_thread::sleep_until(ultimoUsoRiserva_ + kAssestamento);
            Protetto([&] {
                KeySym vuoto = NoSymbol;
                for (const auto& r : riserve_)
                    if (r.sym != NoSymbol) XChangeKeyboardMapping(dpy_, r.codice, 1, &vuoto, 1);
                XSync(dpy_, False);
            });
        }
        if (xkb_) XkbFreeKeyboard(xkb_, 0, True);
        XCloseDisplay(dpy_);
    }

    bool Disponibile() const override { return dpy_ != nullptr; }
    QString Motivo() const override { return motivo_; }

    void Scrivi(const QString& testo) override {
        Richiedi();
        QString mancanti;
        Sessione([&] {
            for (char32_t c : Stampabili(testo).toUcs4()) {
                Pressione p = Cerca(caratteri_, c);
                if (!p.kc) p = Riserva(xkb_utf32_to_keysym(c), c);
                if (!p.kc) {
                    mancanti += QString::fromUcs4(&c, 1);
                    continue;
                }
                Batti(p);
            }
        });
        if (!mancanti.isEmpty())
            throw talumbra::Fallimento(errTastiera,
                                       ("caratteri non disponibili sulla tastiera: " + mancanti).toStdString());
    }

    void Premi(Tasto tasto) override {
        Richiedi();
        bool fatto = false;
        Sessione([&] {
            const KeySym sym = tasto == Tasto::Invio ? XK_Return : XK_Down;
            Pressione p = Cerca(simboli_, sym);
            if (!p.kc) p = Riserva(sym, 0);
            if (p.kc) {
                Batti(p);
                fatto = true;
            }
        });
        if (!fatto) throw talumbra::Fallimento(errTastiera, "tasto non disponibile sulla tastiera");
    }

private:
    struct Riserva_ {
        KeyCode codice;
        KeySym sym;
        std::chrono::steady_clock::time_point uso;
    };

    void Richiedi() const {
        if (!dpy_) throw talumbra::Fallimento(errTastiera, ("impossibile inviare tasti: " + motivo_).toStdString());
    }

    template <class F>
    void Protetto(F f) {
        auto* prima = XSetErrorHandler(RaccogliErrore);
        erroreX = 0;
        f();
        XSetErrorHandler(prima);
    }

    void Sincronizza() {
        int e = 0;
        Protetto([&] {
            XSync(dpy_, False);
            e = erroreX;
        });
        if (e)
            throw talumbra::Fallimento(errTastiera,
                                       "il server X ha rifiutato i tasti (errore X " + std::to_string(e) + ")");
    }

    // One text or key: the keymap and state as they are now, the user's held
    // modifiers lifted for the while, and pressed again afterwards if still held.
    template <class F>
    void Sessione(F f) {
        if (std::chrono::steady_clock::now() - sincronizzato_ >= kTempoPassato) rilasciati_.reset();
        Sincronizza();
        LeggiEventi();
        if (sporca_) LeggiMappa();
        std::vector<KeyCode> tenuti = ModificatoriTenuti();
        Tasti fisici{};
        const bool conFisici = !tenuti.empty() && TastiFisici(fisici);
        for (KeyCode kc : tenuti) {
            // A press first: the server drops the release of a key that is not
            // down on the device sending it, and a key held on the real
            // keyboard is not down on the XTest one.
            Evento(kc, true);
            Evento(kc, false);
        }
        LeggiStato();
        try {
            f();
        } catch (...) {
            Lascia(0);
            Ripremi(tenuti, conFisici, fisici);
            XFlush(dpy_);
            throw;
        }
        Lascia(0);
        Ripremi(tenuti, conFisici, fisici);
        Sincronizza();
        sincronizzato_ = std::chrono::steady_clock::now();
    }

    // Held on a real keyboard at the start and let go since: stays up. Held
    // by another program through XTest: pressed again, it will release it.
    void Ripremi(const std::vector<KeyCode>& tenuti, bool conFisici, const Tasti& prima) {
        if (tenuti.empty()) return;
        Tasti ora{};
        const bool letti = conFisici && TastiFisici(ora);
        for (KeyCode kc : tenuti)
            if (!letti || !Giu(prima, kc) || Giu(ora, kc)) Evento(kc, true);
    }

    void LeggiEventi() {
        while (XPending(dpy_)) {
            XEvent ev;
            XNextEvent(dpy_, &ev);
            if (ev.type == MappingNotify) {
                XRefreshKeyboardMapping(&ev.xmapping);
                sporca_ = true;
            } else if (ev.type == eventoXkb_) {
                sporca_ = true;
            }
        }
    }

    void LeggiMappa() {
        if (xkb_) XkbFreeKeyboard(xkb_, 0, True);
        xkb_ = XkbGetMap(dpy_, XkbAllClientInfoMask, XkbUseCoreKbd);
        sporca_ = false;
        if (!xkb_) throw talumbra::Fallimento(errTastiera, "impossibile leggere la mappa della tastiera");
        if (riserve_.empty()) {
            // Spare keycodes: those with no symbol at all, from the top.
            for (int kc = xkb_->max_key_code; kc >= xkb_->min_key_code && riserve_.size() < kRiserve; --kc)
                if (XkbKeyNumSyms(xkb_, kc) == 0) riserve_.push_back({static_cast<KeyCode>(kc), NoSymbol, {}});
        }
    }

    std::vector<KeyCode> ModificatoriTenuti() {
        char giu[32];
        XQueryKeymap(dpy_, giu);
        Tasti t{};
        std::memcpy(t.data(), giu, 32);
        std::vector<KeyCode> tenuti;
        for (int kc = xkb_->min_key_code; kc <= xkb_->max_key_code; ++kc) {
            if (!Giu(t, kc) || !xkb_->map->modmap[kc]) continue;
            const KeySym s = XkbKeycodeToKeysym(dpy_, static_cast<KeyCode>(kc), 0, 0);
            for (KeySym m : kModificatori)
                if (s == m) tenuti.push_back(static_cast<KeyCode>(kc));
        }
        return tenuti;
    }

    // Keys down on the real keyboards (not on the XTest one); false when unknown.
    bool TastiFisici(Tasti& t) {
        int n = 0;
        XDeviceInfo* dev = XListInputDevices(dpy_, &n);
        if (!dev) return false;
        bool letto = false;
        for (int i = 0; i < n; ++i) {
            if (dev[i].use != IsXExtensionKeyboard || std::strstr(dev[i].name, "XTEST")) continue;
            XDevice* d = nullptr;
            Protetto([&] { d = XOpenDevice(dpy_, dev[i].id); });
            if (!d) continue;
            XDeviceState* s = nullptr;
            Protetto([&] { s = XQueryDeviceState(dpy_, d); });
            if (s) {
                auto* c = reinterpret_cast<XInputClass*>(s->data);
                for (int k = 0; k < s->num_classes; ++k) {
                    if (c->c_class == KeyClass) {
                        auto* ks = reinterpret_cast<XKeyState*>(c);
                        for (int b = 0; b < 32; ++b)
                            t[static_cast<size_t>(b)] |= static_cast<unsigned char>(ks->keys[b]);
                        letto = true;
                    }
                    c = reinterpret_cast<XInputClass*>(reinterpret_cast<char*>(c) + c->length);
                }
                XFreeDeviceState(s);
            }
            XCloseDevice(dpy_, d);
        }
        XFreeDeviceList(dev);
        return letto;
    }

    // What each key gives in the active group with each level's modifiers,
    // with the locked ones in effect, as the clients will translate it.
    void LeggiStato() {
        XkbStateRec stato{};
        if (XkbGetState(dpy_, XkbUseCoreKbd, &stato) != Success)
            throw talumbra::Fallimento(errTastiera, "impossibile leggere lo stato della tastiera");
        gruppo_ = stato.group;
        bloccati_ = stato.locked_mods;
        shift_ = altgr_ = 0;
        altgrMod_ = 0;
        for (int kc = xkb_->min_key_code; kc <= xkb_->max_key_code; ++kc) {
            const KeySym s = Traduci(static_cast<KeyCode>(kc), 0);
            const unsigned mod = xkb_->map->modmap[kc];
            if (!shift_ && (s == XK_Shift_L || s == XK_Shift_R) && (mod & ShiftMask)) shift_ = static_cast<KeyCode>(kc);
            if (!altgr_ && s == XK_ISO_Level3_Shift && mod) {
                altgr_ = static_cast<KeyCode>(kc);
                altgrMod_ = mod;
            }
        }
        caratteri_.clear();
        simboli_.clear();
        std::vector<unsigned> livelli{0};
        if (shift_) livelli.push_back(ShiftMask);
        if (altgr_) livelli.push_back(altgrMod_);
        if (shift_ && altgr_) livelli.push_back(ShiftMask | altgrMod_);
        // Keypad keys last: a digit comes from the main row when it has one.
        for (bool tastierino : {false, true}) {
            for (unsigned mods : livelli) {
                for (int kc = xkb_->min_key_code; kc <= xkb_->max_key_code; ++kc) {
                    const KeySym s = Traduci(static_cast<KeyCode>(kc), mods);
                    if (s == NoSymbol || IsKeypadKey(s) != tastierino) continue;
                    const Pressione p{static_cast<KeyCode>(kc), mods};
                    simboli_.emplace(s, p);
                    if (const char32_t u = xkb_keysym_to_utf32(static_cast<xkb_keysym_t>(s))) caratteri_.emplace(u, p);
                }
            }
        }
    }

    KeySym Traduci(KeyCode kc, unsigned mods) const {
        const unsigned tutti = mods | bloccati_;
        unsigned consumati = 0;
        KeySym s = NoSymbol;
        if (!XkbTranslateKeyCode(xkb_, kc, XkbBuildCoreState(tutti, gruppo_), &consumati, &s)) return NoSymbol;
        // Caps Lock not used by the key's type still turns a letter to upper case.
        if ((tutti & LockMask) && !(consumati & LockMask)) {
            KeySym basso = 0, alto = 0;
            XConvertCase(s, &basso, &alto);
            s = alto;
        }
        return s;
    }

    template <class K>
    static Pressione Cerca(const std::unordered_map<K, Pressione>& m, K k) {
        const auto i = m.find(k);
        return i == m.end() ? Pressione{} : i->second;
    }

    // Binds `sym` to a spare keycode, in every group, with its other case on
    // the Shift level so that Caps Lock acts on it as on a letter key; the one
    // used longest ago is taken, after it has settled.
    Pressione Riserva(KeySym sym, char32_t c) {
        if (riserve_.empty() || sym == NoSymbol) return {};
        Riserva_* scelta = &riserve_[0];
        for (auto& r : riserve_) {
            if (r.sym == sym) {  // bound, but not in the group now active: bound again
                scelta = &r;
                break;
            }
            if (r.uso < scelta->uso) scelta = &r;
        }
        Lascia(0);
        XSync(dpy_, False);
        std::this_thread::sleep_until(scelta->uso + kAssestamento);
        KeySym basso = 0, alto = 0;
        XConvertCase(sym, &basso, &alto);
        KeySym syms[4] = {sym, NoSymbol, sym, NoSymbol};
        if (basso != alto) syms[0] = syms[2] = basso, syms[1] = syms[3] = alto;
        int e = 0;
        Protetto([&] {
            XChangeKeyboardMapping(dpy_, scelta->codice, 4, syms, 1);
            XSync(dpy_, False);
            e = erroreX;
        });
        if (e) return {};
        scelta->sym = sym;
        scelta->uso = std::chrono::steady_clock::now();
        rimappato_ = true;
        LeggiEventi();
        LeggiMappa();
        LeggiStato();
        return c ? Cerca(caratteri_, c) : Cerca(simboli_, sym);
    }

    // Shift and AltGr stay down from one character to the next that needs
    // them, as a typist holds them; Lascia(0) lets them go.
    void Batti(const Pressione& p) {
        Lascia(p.mods);
        if ((p.mods & ShiftMask) && !(modsGiu_ & ShiftMask)) Evento(shift_, true);
        if ((p.mods & altgrMod_) && !(modsGiu_ & altgrMod_)) Evento(altgr_, true);
        modsGiu_ = p.mods;
        Evento(p.kc, true);
        Evento(p.kc, false);
        for (auto& r : riserve_)
            if (r.codice == p.kc) {
                r.uso = std::chrono::steady_clock::now();
                ultimoUsoRiserva_ = r.uso + std::chrono::milliseconds(kPasso * 4);
            }
    }

    // Releases the modifiers held for the previous characters that `mods` does not need.
    void Lascia(unsigned mods) {
        if ((modsGiu_ & altgrMod_) && !(mods & altgrMod_)) Evento(altgr_, false);
        if ((modsGiu_ & ShiftMask) && !(mods & ShiftMask)) Evento(shift_, false);
        modsGiu_ &= mods;
    }

    void Evento(KeyCode kc, bool giu) {
        unsigned long ritardo = CurrentTime;
        if (rimappato_ || (giu && rilasciati_.test(kc))) {
            ritardo = kPasso;
            rimappato_ = false;
            rilasciati_.reset();
        }
        XTestFakeKeyEvent(dpy_, kc, giu, ritardo);
        if (!giu) rilasciati_.set(kc);
    }

    Display* dpy_ = nullptr;
    QString motivo_;
    int eventoXkb_ = -1;
    XkbDescPtr xkb_ = nullptr;
    bool sporca_ = true;
    int gruppo_ = 0;
    unsigned bloccati_ = 0;
    KeyCode shift_ = 0, altgr_ = 0;
    unsigned altgrMod_ = 0;
    std::unordered_map<char32_t, Pressione> caratteri_;
    std::unordered_map<KeySym, Pressione> simboli_;
    std::vector<Riserva_> riserve_;
    std::chrono::steady_clock::time_point ultimoUsoRiserva_{};
    unsigned modsGiu_ = 0;         // the modifiers of Pressione held down now
    std::bitset<256> rilasciati_;  // keycodes released since the server's clock last surely moved on
    bool rimappato_ = false;       // a spare keycode was remapped since the last event
    std::chrono::steady_clock::time_point sincronizzato_{};
};

}  // namespace

std::unique_ptr<Tastiera> CreaTastieraX11() { return std::make_unique<TastieraX11>(); }

}  // namespace brelvo
