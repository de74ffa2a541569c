#pragma once
// Keystrokes into the window that has the keyboard focus.
#include <QString>
#include <memory>
#include <vector>

#include <talumbra/NumeriFallimento.h>

namespace brelvo {

class Tastiera {
public:
    enum class Tasto { Invio, FrecciaGiu };  // "{ENTER}", "{DOWN}"

    virtual ~Tastiera() = default;
    // False when keys cannot be sent at all (no display, no protocol); Motivo() says why.
    virtual bool Disponibile() const = 0;
    virtual QString Motivo() const = 0;
    // Types `testo` literally, one key per character: nothing in it is key
    // syntax. Returns when the display server has processed every key.
    // Throws talumbra::Fallimento when keys cannot be sent or some characters
    // cannot be produced (those are skipped, the others still typed).
    virtual void Scrivi(const QString& testo) = 0;
    virtual void Premi(Tasto tasto) = 0;
};

// What of a code may be typed: its characters without the control characters
// (C0, DEL, C1), which would act as Enter, Tab or Escape in the target.
QString Stampabili(const QString& codice);

// Sends keys through XTest on its own connection to the X display in $DISPLAY.
std::unique_ptr<Tastiera> CreaTastieraX11();
// Sends keys as a virtual keyboard of the Wayland compositor in $WAYLAND_DISPLAY.
std::unique_ptr<Tastiera> CreaTastieraWayland();

// The typing back ends, in order of preference.
struct MotoreTastiera {
    const char* nome;  // as given to --tastiera and $BRELVO_TASTIERA
    std::unique_ptr<Tastiera> (*crea)();
};
const std::vector<MotoreTastiera>& MotoriTastiera();

// The back end to type with: the one named by `forzato` when not empty,
// otherwise the first of the table that can type. Never null: when none can
// type, the one returned is not Disponibile(). `perche` says which and why,
// for the user. `forzato` naming no back end returns null, with `perche` saying so.
std::unique_ptr<Tastiera> ScegliTastiera(const QString& forzato, QString* perche);

// The failure number of the keystroke layer.
inline constexpr int errTastiera = talumbra::errTastiera;

}  // namespace brelvo
