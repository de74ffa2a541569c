#pragma once
// The one failure type of the library: a number and a description.
// The numbers are named in NumeriFallimento.h.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "channel/NumeriFallimento.h"

#define TALUMBRA_EXPORT __attribute__((visibility("default")))

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
