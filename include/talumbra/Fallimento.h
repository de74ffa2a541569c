#pragma once
// The one failure type of the library: a number and a description.
#include <cstdint>
#include <stdexcept>
#include <string>

// The failure numbers: beside this header, here and where it is installed.
#include "NumeriFallimento.h"
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

}  // namespace talumbra
