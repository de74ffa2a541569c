#include "Tastiera.h"

#include <QList>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <chrono>
#include <thread>
#include <vector>

#include <talumbra/Fallimento.h>

namespace brelvo {

QString Stampabili(const QString& codice) {
    QString t;
    t.reserve(codice.size());
    for (QChar c : codice)
        if (c.category() != QChar::Other_Control) t += c;
    return t;
}

namespace {

// Pace: every fake event is held by the X server for 1 ms after the previous
// one, so no two key events share a timestamp (toolkits read a release and a
// press of the same key with equal times as auto-repeat) and input methods
// that handle events asynchronously get them one at a time.
constexpr unsigned long kRitardoMs = 1;
// A spare keycode that has carried one character is not given another until
// the clients have surely read the events it produced: they translate a key
// with the mapping they hold when they read the event.
constexpr auto kAssestamento = std::chrono::milliseconds(300);
constexpr int kRiserve = 8;

thread_local int erroreX = 0;
int RaccogliErrore(Display*, XErrorEvent* e) {
    erroreX = e->error_code;
    return 0;
}

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
        int ev = 0, er = 0, maj = 0, min = 0;
        if (!XTestQueryExtension(dpy_, &ev, &er, &maj, &min)) {
            motivo_ =
                QStringLiteral("il display X \"%1\" non offre l'estensione XTest").arg(QString::fromLocal8Bit(nome));
            XCloseDisplay(dpy_);
            dpy_ = nullptr;
            return;
        }
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
                std::vector<KeySym> vuoto(static_cast<size_t>(perCodice_), NoSymbol);
                for (const auto& r : riserve_)
                    if (r.sym != NoSymbol) XChangeKeyboardMapping(dpy_, r.codice, perCodice_, vuoto.data(), 1);
                XSync(dpy_, False);
            });
        }
        XCloseDisplay(dpy_);
    }

    bool Disponibile() const override { return dpy_ != nullptr; }
    QString Motivo() const override { return motivo_; }

    void Scrivi(const QString& testo) override {
        Richiedi();
        LeggiMappa();
        // With Caps Lock on, a letter key gives the other case: Shift is chosen against it.
        XkbStateRec stato{};
        const bool bloccoMaiuscole =
            XkbGetState(dpy_, XkbUseCoreKbd, &stato) == Success && (stato.locked_mods & LockMask) != 0;
        QString mancanti;
        for (char32_t c : Stampabili(testo).toUcs4()) {
            const KeySym sym =
                (c >= 0x20 && c <= 0x7e) || (c >= 0xa0 && c <= 0xff) ? KeySym(c) : KeySym(0x01000000 | c);
            KeyCode kc = 0;
            bool maiusc = false;
            if (!Cerca(sym, kc, maiusc)) {
                kc = Riserva(sym);
                if (!kc) {
                    mancanti += QString::fromUcs4(&c, 1);
                    continue;
                }
            }
            if (bloccoMaiuscole && Lettera(kc)) maiusc = !maiusc;
            Batti(kc, maiusc);
            if (IsRiserva(kc))
                ultimoUsoRiserva_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(2 * kRitardoMs);
        }
        Sincronizza();
        if (!mancanti.isEmpty())
            throw talumbra::Fallimento(errTastiera,
                                       ("caratteri non disponibili sulla tastiera: " + mancanti).toStdString());
    }

    void Premi(Tasto tasto) override {
        Richiedi();
        const KeyCode kc = XKeysymToKeycode(dpy_, tasto == Tasto::Invio ? XK_Return : XK_Down);
        if (!kc) throw talumbra::Fallimento(errTastiera, "tasto non disponibile sulla tastiera");
        Batti(kc, false);
        Sincronizza();
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

    // The keyboard map is read for each text, so a layout switched by the user
    // is followed.
    void LeggiMappa() {
        int min = 0, max = 0;
        XDisplayKeycodes(dpy_, &min, &max);
        int per = 0;
        KeySym* m = XGetKeyboardMapping(dpy_, static_cast<KeyCode>(min), max - min + 1, &per);
        minCodice_ = min;
        perCodice_ = per;
        mappa_.assign(m, m + static_cast<size_t>(per) * static_cast<size_t>(max - min + 1));
        XFree(m);
        if (riserve_.empty()) {
            // Spare keycodes: those with no symbol at all, from the top.
            for (int kc = max; kc >= min && static_cast<int>(riserve_.size()) < kRiserve; --kc) {
                bool vuoto = true;
                for (int i = 0; i < per; ++i) vuoto = vuoto && Sym(kc, i) == NoSymbol;
                if (vuoto) riserve_.push_back({static_cast<KeyCode>(kc), NoSymbol, {}});
            }
        }
        shift_ = XKeysymToKeycode(dpy_, XK_Shift_L);
    }

    KeySym Sym(int kc, int livello) const {
        return mappa_[static_cast<size_t>(kc - minCodice_) * static_cast<size_t>(perCodice_) +
                      static_cast<size_t>(livello)];
    }

    bool Cerca(KeySym sym, KeyCode& kc, bool& maiusc) const {
        const int n = perCodice_ ? static_cast<int>(mappa_.size()) / perCodice_ : 0;
        for (int livello = 0; livello < 2 && livello < perCodice_; ++livello) {
            if (livello == 1 && !shift_) break;
            for (int i = 0; i < n; ++i) {
                if (Sym(minCodice_ + i, livello) == sym) {
                    kc = static_cast<KeyCode>(minCodice_ + i);
                    maiusc = livello == 1;
                    return true;
                }
            }
        }
        return false;
    }

    // A key whose two levels are the lower and upper case of one letter.
    bool Lettera(KeyCode kc) const {
        if (perCodice_ < 2) return false;
        KeySym basso = 0, alto = 0;
        XConvertCase(Sym(kc, 0), &basso, &alto);
        return basso != alto && Sym(kc, 0) == basso && Sym(kc, 1) == alto;
    }

    bool IsRiserva(KeyCode kc) const {
        for (const auto& r : riserve_)
            if (r.codice == kc) return true;
        return false;
    }

    // Binds `sym` to a spare keycode on every level; the one used longest ago
    // is taken, after it has settled.
    KeyCode Riserva(KeySym sym) {
        if (riserve_.empty()) return 0;
        Riserva_* scelta = &riserve_[0];
        for (auto& r : riserve_) {
            if (r.sym == sym) {
                r.uso = std::chrono::steady_clock::now();
                return r.codice;
            }
            if (r.uso < scelta->uso) scelta = &r;
        }
        XSync(dpy_, False);
        std::this_thread::sleep_until(scelta->uso + kAssestamento);
        std::vector<KeySym> syms(static_cast<size_t>(perCodice_), sym);
        int e = 0;
        Protetto([&] {
            XChangeKeyboardMapping(dpy_, scelta->codice, perCodice_, syms.data(), 1);
            XSync(dpy_, False);
            e = erroreX;
        });
        if (e) return 0;
        scelta->sym = sym;
        scelta->uso = std::chrono::steady_clock::now();
        return scelta->codice;
    }

    void Batti(KeyCode kc, bool maiusc) {
        if (maiusc) XTestFakeKeyEvent(dpy_, shift_, True, kRitardoMs);
        XTestFakeKeyEvent(dpy_, kc, True, kRitardoMs);
        XTestFakeKeyEvent(dpy_, kc, False, kRitardoMs);
        if (maiusc) XTestFakeKeyEvent(dpy_, shift_, False, kRitardoMs);
        for (auto& r : riserve_)
            if (r.codice == kc) r.uso = std::chrono::steady_clock::now();
    }

    Display* dpy_ = nullptr;
    QString motivo_;
    std::vector<KeySym> mappa_;
    int minCodice_ = 0;
    int perCodice_ = 0;
    KeyCode shift_ = 0;
    std::vector<Riserva_> riserve_;
    std::chrono::steady_clock::time_point ultimoUsoRiserva_{};
};

}  // namespace

std::unique_ptr<Tastiera> CreaTastieraX11() { return std::make_unique<TastieraX11>(); }

}  // namespace brelvo
