#pragma once
// Names for the numbers the core hands between its layers and to the control.
#include <cstdint>

namespace talumbra {

// The attached reader, as the receiver must treat what it sends on its own.
// The values are those of the control's TipoDispositivo property.
enum TipoLettore : int32_t {
    tlPELVAN = 0,      // text lines ended by CR LF
    tlKez3 = 1,        // binary code frames led by 0x00
    tlEmulKez = 2,     // the same frames, from a reader emulating one
    tlMifareMAVO = 3,  // STX/ETX framed texts
};

// Outcome of a reply wait (the Esito argument of the transactions).
enum EsitoRisposta : int16_t {
    esRicevuta = 0,      // a reply, or nothing was awaited
    esTempoScaduto = 1,  // no complete reply within the time-out
    esRifiutata = 2,     // a framed reply that failed its check
};

}  // namespace talumbra
