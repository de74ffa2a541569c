#pragma once
// Every failure number the system raises, in one table. Port failures keep the
// serial layer's own numbers; the others keep the numbers hosts already test
// for. Users find the same list, with what to do, in the README.
#include <cstdint>

namespace talumbra {

// Invalid argument: a frame check asked of an empty text, a terminal number or
// character code out of range.
inline constexpr int32_t errArgomentoNonValido = 5;
// A number out of its range: a stored property, the repeat time typed in Brelvo.
inline constexpr int32_t errOverflow = 6;
// Type mismatch: a stored property of the wrong kind, a terminal number or a
// hexadecimal text that is not one.
inline constexpr int32_t errTipoErrato = 13;
// The device is gone or unusable: unplugged, not a serial device, no longer
// taking data, or no serial platform installed.
inline constexpr int32_t errDispositivoNonDisponibile = 68;
// Keys cannot be sent to the focused window: no display, no permission, a key
// missing from the layout.
inline constexpr int32_t errTastiera = 70;
// Brelvo's "Seriale.cfg" is not a file it may write: a link to another user's
// file or to a device, a dangling link, a folder. Nothing is written.
inline constexpr int32_t errSerialeCfg = 75;
// An invalid property value: a malformed settings text, a negative interval.
inline constexpr int32_t errValoreNonValido = 380;
// No such port number: nothing behind comN, or no serial hardware there.
inline constexpr int32_t errPortaInesistente = 8002;
// The port is already open.
inline constexpr int32_t errPortaGiaAperta = 8005;
// The port is held by another program, or this user may not open it.
inline constexpr int32_t errPortaOccupata = 8010;
// The operation needs the port open.
inline constexpr int32_t errPortaChiusa = 8012;

}  // namespace talumbra
