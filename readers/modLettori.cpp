// Library-wide reader state.
#include "readers/modLettori.h"

#include "readers/clsLettori.h"

namespace talumbra::modLettori {

namespace {
std::shared_ptr<clsLettori> corrente;
}

std::shared_ptr<clsLettori> Lettori() {
    if (!corrente) corrente = std::make_shared<clsLettori>();
    return corrente;
}

void setLettori(std::shared_ptr<clsLettori> lettori) { corrente = std::move(lettori); }

int32_t TipoBadgeCorrente = 0;
int32_t TempoMantCode = 0;
bool CodificaQuendelAttiva = false;
std::string UltimoCodice;
uint32_t TempoUltimoCodice = 0;

}  // namespace talumbra::modLettori
