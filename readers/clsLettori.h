#pragma once
// The reader front end: owns the channel and the command object, turns the
// texts that the channel receives into code readings.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "channel/clsComunicazioni.h"
#include "pelvan/clsPelvan.h"

namespace talumbra {

class clsLettori {
public:
    clsLettori();
    ~clsLettori();
    clsLettori(const clsLettori&) = delete;
    clsLettori& operator=(const clsLettori&) = delete;

    std::shared_ptr<clsComunicazioni> Comunicazione;
    // The command object, created on first access.
    clsPelvan& PELVAN();

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
