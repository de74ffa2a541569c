#pragma once
// A stand-in for the reader control, for driving frmMain without a port: the
// test says which ports open, what the presence check finds and which setter
// fails, and reads back every property assignment.
#include <QString>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "talumbra/ucTalumbra.h"

namespace brelvo::test {

struct FakeControllo {
    std::set<int> porteApribili{1, 2, 3};
    ucTalumbra::TipoDispositivo_Enum trovato = ucTalumbra::tdPELVAN;
    bool lettoreRisponde = true;
    ucTalumbra::TipoBadge_Enum tipoBadgeIniziale = ucTalumbra::tb_EM_4x02;
    // setter name ("CommPort", "Attivo", "TMantCode", ...) -> failure number it throws
    std::map<std::string, int> fallisci;
    std::vector<std::string> registro;  // "CommPort=3", "Attivo=1", ...
    ucTalumbra* ultimo = nullptr;
};
FakeControllo& fake();
void AzzeraFake();

// Raises the control's Lettura as the real one does after showing the code.
void Leggi(ucTalumbra& c, const QString& codice);
void TrovaDispositivo(ucTalumbra& c, bool trovato, ucTalumbra::TipoDispositivo_Enum d);

}  // namespace brelvo::test
