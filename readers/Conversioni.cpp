// Badge prefixes and code lengths, and the bit reversal of EM4x02 codes.
#include <array>

#include "readers/modLettori.h"

namespace talumbra::modLettori {

namespace {
constexpr std::array<const char*, 16> kBit = {"0000", "0001", "0010", "0011", "0100", "0101", "0110", "0111",
                                              "1000", "1001", "1010", "1011", "1100", "1101", "1110", "1111"};
constexpr const char* kCifre = "0123456789ABCDEF";
}  // namespace

std::string CifraInBinario(const std::string& cifra) {
    if (cifra.size() != 1) return {};
    for (int i = 0; i < 16; ++i)
        if (cifra[0] == kCifre[i]) return kBit[i];
    return {};
}

std::string BinarioInCifra(const std::string& bit) {
    for (int i = 0; i < 16; ++i)
        if (bit == kBit[i]) return std::string(1, kCifre[i]);
    return {};
}

std::string EsaInBinario(const std::string& esa) {
    std::string bit;
    for (char c : esa) bit += CifraInBinario(std::string(1, c));
    return bit;
}

std::string InvertiBitByte(const std::string& codice) {
    const std::string bit = EsaInBinario(codice);
    auto pezzo = [&](size_t da) {  // four bits from position `da` (0-based), reversed
        std::string p = da < bit.size() ? bit.substr(da, 4) : std::string();
        return BinarioInCifra(std::string(p.rbegin(), p.rend()));
    };
    std::string risultato;
    for (size_t i = 0; i < 40; i += 8) {
        risultato += pezzo(i + 4);
        risultato += pezzo(i);
    }
    return risultato;
}

uint8_t ByteCodice(int32_t tipo) {
    switch (tipo) {
        case 0: return 5;
        case 1: return 4;
        case 2: return 8;
        case 3: return 4;
        case 4: return 4;
        default: return 0;
    }
}

std::string PrefissoBadge(int32_t tipo) {
    switch (tipo) {
        case 0: return "U";
        case 1: return "T";
        case 2: return "Z";
        case 3: return "h";
        case 4: return "H";
        default: return std::string(1, '\0');
    }
}

}  // namespace talumbra::modLettori
