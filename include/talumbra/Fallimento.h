#pragma once
// The one failure type of the library: a number and a description.
// Port failures keep the serial layer's own numbers (8002, 8005, 8010, 68).
#include <cstdint>
#include <stdexcept>
#include <string>

#include "talumbra_export.h"

namespace talumbra {

class TALUMBRA_EXPORT Fallimento : public std::runtime_error {
public:
    Fallimento(int32_t numero, std::string descrizione);
    ~Fallimento() override;
    int32_t Numero() const noexcept { return numero_; }
    const std::string& Descrizione() const noexcept { return descrizione_; }

private:
    int32_t numero_;
    std::string descrizione_;
};

// Failure numbers of the serial port layer.
inline constexpr int32_t errPortaInesistente = 8002;         // no such port number
inline constexpr int32_t errPortaGiaAperta = 8005;           // port already open
inline constexpr int32_t errPortaOccupata = 8010;            // held by another program, or no permission
inline constexpr int32_t errDispositivoNonDisponibile = 68;  // device gone or unusable
inline constexpr int32_t errValoreNonValido = 380;           // invalid property value (bad settings text, bad interval)

}  // namespace talumbra
