#pragma once
// The serial channel: the one object through which the system talks to a reader.
// Members are defined in several files: channel/ (port, transactions, reception)
// and protocols/ (frame checks, family framings). How a reader family's bytes
// become codes is its driver's business (channel/Driver.h).
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "channel/Costanti.h"
#include "channel/Driver.h"
#include "channel/PortaSeriale.h"

namespace talumbra {

// Shared ownership (its owner holds it by shared_ptr) lets the waits keep
// the channel alive while host events run inside them.
class clsComunicazioni : public std::enable_shared_from_this<clsComunicazioni> {
public:
    clsComunicazioni();
    ~clsComunicazioni();
    clsComunicazioni(const clsComunicazioni&) = delete;
    clsComunicazioni& operator=(const clsComunicazioni&) = delete;

    // Time-out of the reply wait in progress, and its default.
    int32_t VlMaxTimeOut = 0;
    int32_t ValTimeOutDefault = 800;

    std::string STX, ETX, ACK, NAK, EOT, ApriTrama, ChiudiTrama;

    std::unique_ptr<PortaSeriale> Seriale;

    // Events: one listener each, arguments by reference.
    std::function<void(int16_t& ErroreCodice, std::string& ErroreDescrizione)> Errore;
    std::function<void(std::string& comando)> ComTX;
    std::function<void(std::string& stringa)> ComRX;
    std::function<void()> ComTO;
    // A code frame dropped because its check does not hold (the frame as
    // received, check character included).
    std::function<void(std::string& trama)> ComScarto;
    // Whether a received text would be taken as a badge code: a code that comes
    // while a reply is awaited goes to ComRX and is not taken for the reply,
    // when the command has said that its reply never looks like one
    // (RispostaMaiCodice). Unset: no text counts as a code there.
    std::function<bool(const std::string& testo)> EUnCodice;

    // The driver of the attached reader's family, installed by whoever sets
    // the device type. Without one the bytes a reader sends on its own stay
    // in the port, and no code is taken from a reply wait.
    const std::shared_ptr<Driver>& DriverAttuale() const { return mDriver; }
    void setDriver(std::shared_ptr<Driver> driver) { mDriver = std::move(driver); }
    // The driver's device type; -1 without one.
    int32_t TipoDispositivo() const { return mDriver ? mDriver->Tipo() : -1; }

    // ---- Port, settings, activation
    int16_t CommPort() const { return mCommPort; }
    void setCommPort(int16_t vData);
    const std::optional<std::string>& CommSettings() const { return mCommSettings; }
    void setCommSettings(const std::string& vData);
    bool Attivo() const { return mAttivo; }
    void setAttivo(bool vData);
    void OnComm_Disattivato();
    void OnComm_Attivato();
    void AnalizzaSeriale(int16_t NumComm, int16_t& S_Stato, std::string& S_Setting);

    // ---- Command transactions
    void InviaComando(const std::string& comando);
    void InviaComando_RiceviRisposta(const std::string& comando, int16_t& Esito, std::string& Risposta,
                                     bool VerBCC = false, int32_t TimeOut = 0);
    void InviaComandoSenzaRisposta(const std::string& comando);
    void InviaComando_RiceviRisposta_MAVO(const std::string& comando, int16_t& Esito, std::string& Risposta);
    void Aspetta_Risposta(int16_t& Esito, std::string& Risposta);
    // The next command's reply never has the form of a code (a version text,
    // an acknowledgement): a code presented while it waits is delivered as a
    // code. Without this, whatever comes in the wait is the reply. Holds for
    // one transaction.
    void RispostaMaiCodice() { mProssimaMaiCodice = true; }
    // True while ComRX carries a command's reply, which is never a reading.
    bool RispostaInConsegna() const { return mRispostaInConsegna; }

    // ---- Reception of what the reader sends on its own
    void Seriale_OnComm();

    // ---- Reader family framings
    void PELVAN(const std::string& StrComando, const std::string& Pag, const std::string& Dati, int16_t& Esito,
                std::string& Risposta, int32_t TimeOut, bool WithRisp);
    void MAVO(const std::string& StrComando, const std::string& Dati, int16_t& Esito, std::string& Risposta,
              int32_t TimeOut, bool WithRisp);
    void KELT(int16_t term, const std::string& TipoComando, const std::string& StrComando, int16_t& Esito,
              std::string& Risposta, int32_t TimeOut);
    void ZN001A(const std::string& StrComando, int16_t& Esito, std::string& Risposta);
    void Tornello(const std::string& term, const std::string& TipoComando, const std::string& StrComando,
                  int16_t& Esito, std::string& Risposta);
    void Galder(const std::string& term, const std::string& TipoComando, const std::string& StrComando, int16_t& Esito,
                std::string& Risposta);
    void ZNlight(const std::string& term, const std::string& TipoComando, const std::string& StrComando, int16_t& Esito,
                 std::string& Risposta, int32_t TimeOut);
    void Zarnet(const std::string& term, const std::string& TipoComando, const std::string& StrComando, int16_t& Esito,
                std::string& Risposta);
    void ZNIO8(int16_t term, const std::string& TipoComando, const std::string& StrComando, int16_t& Esito,
               std::string& Risposta, int32_t TimeOut);
    void Trivok(double term, const std::string& TipoComando, const std::string& StrComando, int16_t& Esito,
                std::string& Risposta, int32_t TimeOut);
    void USKO(const std::string& term, const std::string& TipoComando, int16_t& Esito, std::string& Risposta,
              const std::string& Valore, bool VerBCC);
    void InviaComando_RiceviRisposta_ZARNET(const std::string& comando, int16_t& Esito, std::string& Risposta);
    std::string BCCEba(const std::string& stringa);

    // ---- Frame checks (used by the framings and the drivers; public for their tests)
    std::string CalcoloBCC(const std::string& testo) const;
    bool VerificaRisposta(const std::string& testo) const;
    void Aspetta_Risposta_MAVO(int16_t& Esito, std::string& Risposta);
    void Aspetta_Risposta_ZARNET(int16_t& Esito, std::string& Risposta);

    // The start of a code not yet complete that the driver keeps (the
    // pending start of a line, for device type 0).
    const std::string& BufferRicezione() const;

    // ---- What the family drivers read the port with
    // Whether the handler of this notification has held the thread long enough.
    bool TurnoFinito() const;
    // One byte within `limite` ms, without host events; empty when none came.
    std::string UnByte(uint32_t limite);
    // One character: an STX already read after a frame first, then the port.
    std::string Leggi();
    // Whether the STX of the next frame has been read already (Leggi gives it).
    bool StxLetto() const { return mStxLetto; }
    // The byte after a frame's ETX when it comes within `limite` ms of `tEtx`.
    // An STX there is the next frame: kept for Leggi, and no check character.
    std::string ControlloDopoEtx(uint32_t tEtx, uint32_t limite);
    // Whether the reply awaited is never a code, so that codes may come in
    // its wait (RispostaMaiCodice).
    bool CodiciInAttesa() const { return mCodiciInAttesa; }
    // Whether a text in a reply wait is a code rather than the reply: only
    // while the command has said that its reply never looks like one.
    bool CodiceNonRisposta(const std::string& testo) const;
    // The framed-reply wait shared by the MAVO and Zarnet families.
    // `raccolta` receives the collected frame, accepted or not.
    void AspettaTrama(const std::string& apre, const std::string& chiude, bool unCarattere, bool confermaConAck,
                      int16_t& Esito, std::string& Risposta, std::string* raccolta = nullptr);
    // Whether the port is still open; false when asking fails too.
    bool PortaAperta() const;
    // A check character follows its ETX within one character time (about
    // 1 ms at 9600 baud): waiting longer than a few is waiting for nothing.
    static constexpr uint32_t AttesaControllo = 4;
    // Longest a code's sync hunt, each of its bytes, and the byte after 0xFF
    // are waited for.
    static constexpr uint32_t LimiteCodice = 250;
    // Quiet time after which a code in progress counts as ended: as long as
    // a code frame's byte is waited for. A reader's line can stall mid-code
    // (a USB adapter's latency, a loaded machine behind a virtual port); before
    // a command, and inside its reply wait, the command's time-out bounds it.
    static constexpr uint32_t PausaCodice = LimiteCodice;

private:
    // Raises ComRX for every complete code waiting in the input, then drops
    // what is left: the input is empty when it returns. Takes at most `entro`
    // ms, besides reading once what is already there.
    void ConsegnaInAttesa(uint32_t entro);
    // Raises ComRX with a command's reply.
    void ConsegnaRisposta(std::string& risposta);
    void AlzaErrore(int32_t numero, const std::string& descrizione);
    void RiattivaDopoGuasto(bool portaPersa);
    // Empties the input (within `entro` ms, see ConsegnaInAttesa), writes
    // `comando` and raises ComTX.
    void SvuotaEScrivi(const std::string& comando, uint32_t entro);
    // InviaComando with the time that the codes waiting before it may take.
    void Scrivi(const std::string& comando, uint32_t entro);
    // Writes a command whose reply is then awaited: the codes waiting before
    // it take half of the time-out at most, and its reply wait counts from
    // here, so the whole command stays within the time-out.
    void ScriviPerRisposta(const std::string& comando);
    // When the reply wait about to begin started counting: the command's
    // start, or now for a wait on its own.
    uint32_t InizioAttesa();
    void TransazioneTrama(const std::string& comando, int16_t& Esito, std::string& Risposta,
                          void (clsComunicazioni::*attesa)(int16_t&, std::string&));
    // Sends a framed command without waiting: outcome 0, no reply.
    void SoloInvio(const std::string& filo, int16_t& Esito, std::string& Risposta);

    std::shared_ptr<Driver> mDriver;
    bool mRiattivaAllApertura = false;       // a lost port left the notification off
    bool mProssimaMaiCodice = false;         // RispostaMaiCodice, for the next transaction
    bool mCodiciInAttesa = false;            // the reply awaited is never a code: codes may come meanwhile
    bool mControlloRisposta = false;         // a framed reply ended by ETX: its check character may follow
    bool mRispostaInConsegna = false;        // ComRX carries a reply
    bool mStxLetto = false;                  // an STX read after a frame's ETX: the next frame has begun
    std::optional<uint32_t> mInizioComando;  // the start of the command whose reply wait comes next
    uint32_t mInizioTurno = 0;               // when the notification being handled began
    bool mAttivo = false;
    int16_t mCommPort = 0;
    std::optional<std::string> mCommSettings;
};

}  // namespace talumbra
