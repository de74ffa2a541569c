#pragma once
// Library-wide reader state, shared by every control in the process, and the
// code format conversions.
#include <cstdint>
#include <memory>
#include <string>

namespace talumbra {

class clsLettori;

namespace modLettori {

// The current front end, created on first read while empty.
std::shared_ptr<clsLettori> Lettori();
void setLettori(std::shared_ptr<clsLettori> lettori);

extern int32_t TipoBadgeCorrente;
extern int32_t TempoMantCode;
extern bool CodificaQuendelAttiva;
extern std::string UltimoCodice;
extern uint32_t TempoUltimoCodice;

std::string CifraInBinario(const std::string& cifra);
std::string BinarioInCifra(const std::string& bit);
std::string EsaInBinario(const std::string& esa);
std::string InvertiBitByte(const std::string& codice);
uint8_t ByteCodice(int32_t tipo);
std::string PrefissoBadge(int32_t tipo);

}  // namespace modLettori

// Shorthand used across the core: the current front end.
inline std::shared_ptr<clsLettori> Lettori() { return modLettori::Lettori(); }

}  // namespace talumbra
