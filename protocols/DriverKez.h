#pragma once
// KEZ readers and the readers emulating one (device types 1 and 2): a code is
// a binary frame, a 0x00 sync byte then five code bytes and a check byte.
// They take the Pelvan text commands and answer in text lines.
#include <string>

#include "channel/Costanti.h"
#include "protocols/DriverPelvan.h"

namespace talumbra {

class DriverKez : public Driver {
public:
    explicit DriverKez(int32_t tipo) : mTipo(tipo) {}
    int32_t Tipo() const override { return mTipo; }
    void Ricevi(clsComunicazioni& canale) override;
    void InizioRaccolta(bool /*stxLetto*/) override { mResto.clear(); }
    uint32_t Raccogli(clsComunicazioni& canale, const std::string& arrivati) override;
    void Dimentica() override { mResto.clear(); }
    bool CodiceInRisposta(clsComunicazioni& canale, std::string& c, const std::function<uint32_t()>& resto) override;
    bool SenzaLettera() const override { return true; }
    // A KEZ reader itself only sends codes; the readers emulating one answer.
    bool RispondeAllaVersione() const override { return mTipo != tlKez3; }
    std::string Incornicia(const std::string& comando) const override { return comando; }
    bool VerificaRisposta(const std::string& risposta) const override {
        return !risposta.empty() && DriverPelvan::Giudizio(risposta) == 0;
    }
    bool Riconosce(const std::string& versione, bool incorniciata) const override;

    // The code text of the six bytes after a sync byte (five code bytes and
    // the check byte), or nothing when the check fails.
    static std::string CodiceBinario(const std::string& sei);

private:
    int32_t mTipo;
    std::string mResto;  // the start of a frame waiting before a command
};

}  // namespace talumbra
