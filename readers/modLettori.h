#pragma once
// The code format conversions: badge prefixes, code lengths, the bit reversal
// of EM4x02 codes.
#include <cstdint>
#include <string>

namespace talumbra::modLettori {

std::string CifraInBinario(const std::string& cifra);
std::string BinarioInCifra(const std::string& bit);
std::string EsaInBinario(const std::string& esa);
std::string InvertiBitByte(const std::string& codice);
uint8_t ByteCodice(int32_t tipo);
std::string PrefissoBadge(int32_t tipo);

}  // namespace talumbra::modLettori
