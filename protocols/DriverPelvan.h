#pragma once
// Pelvan readers (device type 0): codes and replies are text lines ended by
// CR LF.
#include <string>

#include "channel/Driver.h"

namespace talumbra {

class DriverPelvan : public Driver {
public:
    int32_t Tipo() const override;
    void Ricevi(clsComunicazioni& canale) override;
    const std::string& InSospeso() const override { return mBuffer; }
    void NuovaApertura() override { Dimentica(); }
    uint32_t Raccogli(clsComunicazioni& canale, const std::string& arrivati) override;
    void Dimentica() override;
    bool RigaDiCodice(clsComunicazioni& canale, const std::string& riga) override;
    bool CodiciARighe() const override { return true; }
    bool CodificaQuendel() const override { return true; }
    std::string Incornicia(const std::string& comando) const override { return comando; }
    bool VerificaRisposta(const std::string& risposta) const override;
    bool Riconosce(const std::string& versione, bool incorniciata) const override;

    // The judgement of a non-empty reply by its first character: 1 refused
    // ("N" or "n"), 2 syntax error ("?"), 0 accepted.
    static int16_t Giudizio(const std::string& risposta);

    // Longest line delivered, terminated or not: a longer one is dropped
    // whole, up to its CR LF.
    static constexpr size_t MaxBufferRicezione = 4096;

private:
    // Cuts `arrivati` into lines after the pending text and raises ComRX for each.
    void TagliaRighe(clsComunicazioni& canale, const std::string& arrivati);

    std::string mBuffer;         // the start of a line not yet ended
    bool mRigaScartata = false;  // inside a line past the bound: dropped up to its CR LF
};

// Whether `testo` contains `parola` (upper case ASCII), in any case.
bool ContieneParola(const std::string& testo, const char* parola);

}  // namespace talumbra
