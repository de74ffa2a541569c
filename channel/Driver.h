#pragma once
// What the channel needs of a reader family: how the bytes a reader sends on
// its own become codes, and which of them may come inside a command's reply.
// The families implement it (protocols/); the channel holds the driver that
// its owner installs for the device type and knows nothing else of families.
#include <cstdint>
#include <functional>
#include <string>

namespace talumbra {

class clsComunicazioni;

class Driver {
public:
    virtual ~Driver() = default;

    // The device type it serves (a TipoLettore value).
    virtual int32_t Tipo() const = 0;

    // ---- Reception
    // A receive notification: reads what has come and raises codes (ComRX),
    // dropped frames (ComScarto) or a time-out (ComTO). The notification is
    // off while it runs.
    virtual void Ricevi(clsComunicazioni& canale) = 0;
    // The start of a code not yet complete, kept between notifications.
    virtual const std::string& InSospeso() const;
    // The port was opened or closed: what was pending belonged to the last
    // opening, and so did whatever the reader had shown of itself.
    virtual void NuovaApertura() {}

    // ---- Codes waiting before a command
    // The bytes that came while the notification was off are handed over in
    // pieces: each call raises the complete codes and keeps an unfinished
    // one. `stxLetto`: the channel had already read the STX of the next frame.
    virtual void InizioRaccolta(bool /*stxLetto*/) {}
    // Returns how long to wait for the rest of a code in progress; 0 when
    // none is. An empty `arrivati` only asks.
    virtual uint32_t Raccogli(clsComunicazioni& canale, const std::string& arrivati) = 0;
    // The line went quiet while a code was in progress.
    virtual void Quiete(clsComunicazioni& /*canale*/) {}
    // The rest of the pending input is dropped: so is what is kept of it.
    virtual void Dimentica() {}

    // ---- Codes that come inside a reply wait
    // `c`, the first byte of what may be the reply: a code that begins with it
    // is read (within `resto()` ms) and raised, and true is returned. A frame
    // read that is no code is returned in `c`, for the reply.
    virtual bool CodiceInRisposta(clsComunicazioni& /*canale*/, std::string& /*c*/,
                                  const std::function<uint32_t()>& /*resto*/) {
        return false;
    }
    // A reply line (without its CR LF): true when it is a code, raised.
    virtual bool RigaDiCodice(clsComunicazioni& /*canale*/, const std::string& /*riga*/) { return false; }
    // Whether codes come as lines within the reply text (RigaDiCodice), so
    // that a reply line whose bytes pause may be a code still on its way.
    virtual bool CodiciARighe() const { return false; }
    // A framed reply just closed by ETX: true when it is a code, raised (its
    // check character looked for within `resto` ms).
    virtual bool TramaDiCodice(clsComunicazioni& /*canale*/, const std::string& /*trama*/, uint32_t /*resto*/) {
        return false;
    }

    // ---- How the front end reads a received text as a code
    // Codes come as bare hexadecimal text, without the badge type's letter.
    virtual bool SenzaLettera() const { return false; }
    // The text after the badge type's letter may be Quendel coded.
    virtual bool CodificaQuendel() const { return false; }
    // The code that a framed text (STX "e0N" code ETX) carries; empty when
    // it carries none. `rigoroso`: only hexadecimal digits make a code.
    virtual std::string CodiceIncorniciato(const std::string& /*testo*/, bool /*rigoroso*/) const { return {}; }

    // ---- Commands and identification
    // Whether the reader answers the version request, so that its presence
    // can be checked; a reader that does not is taken as there.
    virtual bool RispondeAllaVersione() const { return true; }
    // The command text as this family's reader takes it.
    virtual std::string Incornicia(const std::string& comando) const = 0;
    // Whether a reply of this family's readers is whole and valid.
    virtual bool VerificaRisposta(const std::string& risposta) const = 0;
    // Whether a version reply names a reader of this type. `incorniciata`:
    // the reply to the framed version request, rather than the text one.
    virtual bool Riconosce(const std::string& versione, bool incorniciata) const = 0;
};

}  // namespace talumbra
