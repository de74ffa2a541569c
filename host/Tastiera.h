#pragma once
// Keystrokes into the window that has the keyboard focus.
#include <QString>
#include <memory>

#include <talumbra/NumeriFallimento.h>

namespace brelvo {

class Tastiera {
public:
    enum class Tasto { Invio, FrecciaGiu };  // "{ENTER}", "{DOWN}"

    virtual ~Tastiera() = default;
    // False when keys cannot be sent at all (no X display, no XTest); Motivo() says why.
    virtual bool Disponibile() const = 0;
    virtual QString Motivo() const = 0;
    // Types `testo` literally, one key per character: nothing in it is key
    // syntax. Returns when the X server has processed every key.
    // Throws talumbra::Fallimento when the keys cannot be sent.
    virtual void Scrivi(const QString& testo) = 0;
    virtual void Premi(Tasto tasto) = 0;
};

// What of a code may be typed: its characters without the control characters
// (C0, DEL, C1), which would act as Enter, Tab or Escape in the target.
QString Stampabili(const QString& codice);

// Sends keys through XTest on its own connection to the X display in $DISPLAY.
std::unique_ptr<Tastiera> CreaTastieraX11();

// The failure number of the keystroke layer.
inline constexpr int errTastiera = talumbra::errTastiera;

}  // namespace brelvo
