#pragma once
// MAVO readers (device type 3): codes and replies are framed texts, STX text
// ETX, each followed by its check character. A reader may send none, or one
// of its own rule: each code is whole at its ETX, and the check is trusted
// only once the reader has shown that it sends the standard one.
#include <string>

#include "channel/Driver.h"

namespace talumbra {

class DriverMavo : public Driver {
public:
    int32_t Tipo() const override;
    void Ricevi(clsComunicazioni& canale) override;
    void NuovaApertura() override;
    void InizioRaccolta(bool stxLetto) override;
    uint32_t Raccogli(clsComunicazioni& canale, const std::string& arrivati) override;
    void Quiete(clsComunicazioni& canale) override;
    void Dimentica() override;
    bool CodiceInRisposta(clsComunicazioni& canale, std::string& c, const std::function<uint32_t()>& resto) override;
    bool TramaDiCodice(clsComunicazioni& canale, const std::string& trama, uint32_t resto) override;
    std::string CodiceIncorniciato(const std::string& testo, bool rigoroso) const override;
    std::string Incornicia(const std::string& comando) const override;
    bool VerificaRisposta(const std::string& risposta) const override;
    bool Riconosce(const std::string& versione, bool incorniciata) const override;

    // A command as a frame: STX, the command, ETX and its check character.
    static std::string Cornice(const std::string& comando);
    // A whole frame of at least four characters, or a lone ACK or NAK.
    static bool RispostaValida(const std::string& risposta);

    // Whether a frame (STX to ETX) has the form of a code: "e0", a digit 1
    // to 9, then hexadecimal digits only. A reply that merely begins like one
    // stays a reply.
    static bool FormaDiCodice(const std::string& trama);
    // The code a framed text carries, as CodiceIncorniciato.
    static std::string CodiceDi(const std::string& testo, bool rigoroso);

    // Whether the reader has shown that it sends the standard check character.
    bool ControlloStandard() const { return mFiducia > 0; }

    // Each matching check character counts one up to this, each wrong one
    // one down: a reader with a rule of its own that matched by chance loses
    // at most this many codes before it is trusted no more.
    static constexpr int MaxFiducia = 3;

private:
    // A code frame closed by ETX at `tEtx`: raises ComRX, or ComScarto when
    // the reader sends the standard check character and this one differs.
    // Looks for the check character at most `limite` ms from the ETX.
    void ConsegnaTrama(clsComunicazioni& canale, const std::string& trama, uint32_t tEtx, uint32_t limite);
    // Records whether `bcc`, the byte after a code frame's ETX (empty: none
    // came), is its standard check; true when the frame is to be dropped: the
    // reader had shown that it sends the standard check, and this one differs.
    bool ControlloSbagliato(const std::string& trama, const std::string& bcc);
    // Raises the whole frames at the start of what is pending. `quieta`: the
    // line went quiet, so a frame's check character is not waited for.
    void Trame(clsComunicazioni& canale, bool quieta);

    int mFiducia = 0;             // 0 to MaxFiducia: how far the reader has shown the standard check
    std::string mResto;           // what waits before a command: the start of a frame
    bool mSoloControllo = false;  // mResto is a frame that lacks only its check character
};

}  // namespace talumbra
