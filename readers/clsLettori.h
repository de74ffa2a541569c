#pragma once
// The reader front end: owns the channel and the command object, turns the
// texts that the channel receives into code readings. Each front end has its
// own settings and repeat filter: readers on different ports never share them.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "channel/clsComunicazioni.h"
#include "pelvan/clsPelvan.h"

namespace talumbra {

class clsLettori : public std::enable_shared_from_this<clsLettori> {
public:
    clsLettori();
    ~clsLettori();
    clsLettori(const clsLettori&) = delete;
    clsLettori& operator=(const clsLettori&) = delete;

    std::shared_ptr<clsComunicazioni> Comunicazione;
    // The command object, created on first access.
    clsPelvan& PELVAN();

    // Settings the decision depends on; they act on the next received text.
    int32_t TipoBadgeCorrente = 0;
    int32_t TempoMantCode = 0;
    bool CodificaQuendelAttiva = false;
    // The repeat filter: the last code delivered and the clock at its delivery.
    std::string UltimoCodice;
    uint32_t TempoUltimoCodice = 0;

    std::function<void(std::string& sCodice)> Lettura;
    std::function<void(int16_t& sNumero, std::string& sDescrizione)> Errore;
    // A code frame the channel dropped because its check does not hold.
    std::function<void(std::string& sTrama)> Scartata;

    // Handler of the channel's ComRX.
    void Comunicazione_ComRx(std::string& stringa);
    // Whether Comunicazione_ComRx would take `stringa` for a code (the repeat
    // filter aside).
    bool EUnCodice(const std::string& stringa);

private:
    std::unique_ptr<clsPelvan> mPelvan;
};

}  // namespace talumbra
