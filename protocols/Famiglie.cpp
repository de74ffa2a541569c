// The PELVAN and MAVO framings of commands.
#include "channel/clsComunicazioni.h"
#include "protocols/DriverMavo.h"

namespace talumbra {

void clsComunicazioni::PELVAN(const std::string& StrComando, const std::string& Pag, const std::string& Dati,
                              int16_t& Esito, std::string& Risposta, int32_t TimeOut, bool WithRisp) {
    // The command set composes the whole text; nothing is added here.
    const std::string filo = StrComando + Pag + Dati;
    if (WithRisp)
        InviaComando_RiceviRisposta(filo, Esito, Risposta, true, TimeOut);
    else
        InviaComando(filo);
}

void clsComunicazioni::MAVO(const std::string& StrComando, const std::string& Dati, int16_t& Esito,
                            std::string& Risposta, int32_t /*TimeOut*/, bool WithRisp) {
    // The reply wait runs with the time-out that the last PELVAN transaction set.
    const std::string trama = DriverMavo::Cornice(StrComando + Dati);
    if (WithRisp)
        InviaComando_RiceviRisposta_MAVO(trama, Esito, Risposta);
    else
        InviaComando(trama);
}

}  // namespace talumbra
