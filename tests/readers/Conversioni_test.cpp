// Code conversions: digit tables, hexadecimal expansion, the per-byte bit
// reversal of EM4x02 codes, and the per-badge prefix and length table.
#include <gtest/gtest.h>

#include <string>

#include "readers/modLettori.h"

using namespace talumbra::modLettori;

namespace {

TEST(Conversioni, CifreEBitInEntrambeLeDirezioni) {
    const std::string cifre = "0123456789ABCDEF";
    for (int i = 0; i < 16; ++i) {
        std::string bit;
        for (int b = 3; b >= 0; --b) bit += ((i >> b) & 1) ? '1' : '0';
        const std::string cifra(1, cifre[i]);
        EXPECT_EQ(CifraInBinario(cifra), bit) << cifra;
        EXPECT_EQ(BinarioInCifra(bit), cifra) << bit;
    }
    // Only a whole, single, upper-case digit or a whole four-bit group is recognised.
    for (const char* s : {"a", "f", "", "00", "G", " ", "0\n"}) EXPECT_EQ(CifraInBinario(s), "") << s;
    EXPECT_EQ(CifraInBinario(std::string(1, '\0')), "");
    for (const char* s : {"101", "00000", "", "10a1", "0 01"}) EXPECT_EQ(BinarioInCifra(s), "") << s;
}

TEST(Conversioni, EsaInBinarioSaltaICaratteriNonRiconosciuti) {
    EXPECT_EQ(EsaInBinario("1F"), "00011111");
    EXPECT_EQ(EsaInBinario(""), "");
    EXPECT_EQ(EsaInBinario("G1"), "0001");
    EXPECT_EQ(EsaInBinario("f1"), "0001");
    EXPECT_EQ(EsaInBinario(std::string("\xFF"
                                       "A",
                                       2)),
              "1010");
}

struct CasoInversione {
    const char* codice;
    const char* atteso;
};

TEST(Conversioni, InvertiBitByte) {
    const CasoInversione casi[] = {
        {"0123456789", "80C4A2E691"},
        {"0000000001", "0000000080"},
        {"FFFFFFFFFF", "FFFFFFFFFF"},
        {"8000000000", "0100000000"},
        {"12", "48"},  // one byte only
        {"1", "8"},    // half a byte: only its high nibble, reversed
        {"123", "48C"},
        {"0123456789AB", "80C4A2E691"},  // the sixth byte is dropped
        {"0a23456789", "402C6A1E9"},     // "a" gives no bits: later bytes are read shifted
        {"", ""},
    };
    for (const auto& c : casi) EXPECT_EQ(InvertiBitByte(c.codice), c.atteso) << c.codice;
}

TEST(Conversioni, InvertiBitByteDueVolteRestituisceIlCodice) {
    for (const char* c : {"0123456789", "80C4A2E691", "A5C3E10F7B", "0000000000"})
        EXPECT_EQ(InvertiBitByte(InvertiBitByte(c)), c);
}

TEST(Conversioni, PrefissoELunghezzaPerTipoDiBadge) {
    struct Riga {
        int32_t tipo;
        std::string prefisso;
        unsigned byte;
    };
    const Riga tabella[] = {
        {0, "U", 5},
        {1, "T", 4},
        {2, "Z", 8},
        {3, "h", 4},
        {4, "H", 4},
        {5, std::string(1, '\0'), 0},
        {-1, std::string(1, '\0'), 0},
        {INT32_MIN, std::string(1, '\0'), 0},
        {INT32_MAX, std::string(1, '\0'), 0},
    };
    for (const auto& r : tabella) {
        EXPECT_EQ(PrefissoBadge(r.tipo), r.prefisso) << r.tipo;
        EXPECT_EQ(PrefissoBadge(r.tipo).size(), 1u) << r.tipo;
        EXPECT_EQ(ByteCodice(r.tipo), r.byte) << r.tipo;
    }
}

}  // namespace
