#pragma once
// Command set of the Pelvan 125 kHz readers, and recognition of the reader
// model from its version reply. Talks to the reader through the channel its
// owner hands it for each command.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "channel/Costanti.h"

namespace talumbra {

class clsComunicazioni;

class clsPelvan {
public:
    // The channel for one command, and whatever must stay alive with it until
    // the command is over (host events run inside the reply wait).
    struct Collegamento {
        std::shared_ptr<clsComunicazioni> Canale;
        std::shared_ptr<const void> Custode;
    };
    explicit clsPelvan(std::function<Collegamento()> collega) : mCollega(std::move(collega)) {}

    // Device type of the attached reader (a TipoLettore value). Setting it,
    // or a version reply that names the reader, tells TipoCambiato.
    int32_t ConType() const { return mConType; }
    void setConType(int32_t v);
    // Installs the family's driver on the channel the owner reads with.
    std::function<void(int32_t tipo)> TipoCambiato;
    // Command letters go out in upper case when true.
    bool Maiuscolo = false;

    std::string SettaComando(const std::string& comando) const;

    // Each returns the Esito of its last transaction; Sintassi is the judgement
    // of the reply (0 accepted, 1 refused or no reply, 2 syntax error).
    int32_t AntennaPowerOff();
    int32_t AntennaPowerOff(int16_t& Sintassi);
    int32_t ReadPage(const std::string& NPage, std::string& Risposta);
    int32_t ReadPage(const std::string& NPage, std::string& Risposta, int16_t& Sintassi);
    int32_t SetLed(int16_t value);
    int32_t SetLed(int16_t value, int16_t& Sintassi);
    int32_t WritePage(const std::string& NPage, const std::string& Dati);
    int32_t WritePage(const std::string& NPage, const std::string& Dati, int16_t& Sintassi);
    int32_t Reset();
    int32_t Reset(int16_t& Sintassi);
    int32_t Reset(int16_t& Sintassi, std::string& Risposta);
    int32_t GetVersion(std::string& Risposta);
    int32_t GetVersion(std::string& Risposta, int16_t& Sintassi);
    int32_t Continuos();
    int32_t Continuos(int16_t& Sintassi);
    int32_t LogIn(const std::string& Password);
    int32_t LogIn(const std::string& Password, int16_t& Sintassi);

private:
    int16_t Transazione(const std::string& lettere, const std::string& pag, const std::string& dati, int32_t timeOut,
                        std::string& Risposta, bool datiInRisposta = false);
    std::function<Collegamento()> mCollega;
    int32_t mConType = tlPELVAN;
};

}  // namespace talumbra
