#pragma once
// The serial channel: the one object through which the system talks to a reader.
// Members are defined in several files: channel/ (port, transactions, reception)
// and protocols/ (frame checks, family framings).
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "channel/Costanti.h"
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

    // The device type (a TipoLettore value) that decides how a notification is
    // received. Installed by the owner of the channel; without one, or with an
    // unknown value, the bytes stay in the port.
    std::function<int32_t()> TipoDispositivo;

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
    void RiceviCodice();

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

    // ---- Frame checks (used by the framings and the receivers; public for their tests)
    std::string CalcoloBCC(const std::string& testo) const;
    bool VerificaRisposta(const std::string& testo) const;
    void Aspetta_Risposta_MAVO(int16_t& Esito, std::string& Risposta);
    void Aspetta_Risposta_ZARNET(int16_t& Esito, std::string& Risposta);

    // Pending start of a line not yet ended by CR LF (device type 0).
    const std::string& BufferRicezione() const { return mBufferRicezione; }

private:
    void RiceviRighe();
    // Cuts `arrivati` into lines after the pending text and raises ComRX for each.
    void TagliaRighe(const std::string& arrivati);
    void RiceviCodice_MAVO();
    // The device type from the owner's hook; -1 without one.
    int32_t TipoAttuale() const;
    // Whether the handler of this notification has held the thread long enough.
    bool TurnoFinito() const;
    // Raises ComRX for every complete code waiting in the input, then drops
    // what is left: the input is empty when it returns.
    void ConsegnaInAttesa();
    // One byte within `limite` ms, without host events; empty when none came.
    std::string UnByte(uint32_t limite);
    // One character: an STX already read after a frame first, then the port.
    std::string Leggi();
    // A code frame closed by ETX at `tEtx`: raises ComRX, or ComScarto when
    // the reader sends the standard check character and this one differs.
    // Looks for the check character at most `limite` ms from the ETX.
    void ConsegnaTrama(const std::string& trama, uint32_t tEtx, uint32_t limite);
    // The byte after a frame's ETX when it comes within `limite` ms of `tEtx`.
    // An STX there is the next frame: kept for Leggi, and no check character.
    std::string ControlloDopoEtx(uint32_t tEtx, uint32_t limite);
    // Records whether `bcc`, the byte after a code frame's ETX (empty: none
    // came), is its standard check; true when the frame is to be dropped: the
    // reader had shown that it sends the standard check, and this one differs.
    bool ControlloSbagliato(const std::string& trama, const std::string& bcc);
    // Whether the reader has shown that it sends the standard check character.
    bool ControlloStandard() const { return mFiduciaControllo > 0; }
    // Reads the six bytes after a 0x00 sync byte within `limite` ms each; the
    // code text when its check holds.
    std::string TramaBinaria(const std::function<uint32_t()>& limite);
    // Inside a reply wait, `c` just read: takes a code frame that starts with
    // it to ComRX and returns true. A frame that is no code is returned in `c`.
    // `resto` gives what is left of the wait: no frame read runs past it.
    bool CodiceDuranteRisposta(int32_t tipo, std::string& c, const std::function<uint32_t()>& resto);
    // Whether a text in a reply wait is a code rather than the reply.
    bool CodiceNonRisposta(const std::string& testo) const;
    // Raises ComRX with a command's reply.
    void ConsegnaRisposta(std::string& risposta);
    void AlzaErrore(int32_t numero, const std::string& descrizione);
    void RiattivaDopoGuasto(bool portaPersa);
    // Empties the input, writes `comando` and raises ComTX.
    void SvuotaEScrivi(const std::string& comando);
    void TransazioneTrama(const std::string& comando, int16_t& Esito, std::string& Risposta,
                          void (clsComunicazioni::*attesa)(int16_t&, std::string&));
    // Sends a framed command without waiting: outcome 0, no reply.
    void SoloInvio(const std::string& filo, int16_t& Esito, std::string& Risposta);
    // The framed-reply wait shared by the MAVO and Zarnet families.
    // `raccolta` receives the collected frame, accepted or not.
    void AspettaTrama(const std::string& apre, const std::string& chiude, bool unCarattere, bool confermaConAck,
                      int16_t& Esito, std::string& Risposta, std::string* raccolta = nullptr);

    // Longest line the line receiver delivers, terminated or not: a longer one
    // is dropped whole, up to its CR LF.
    static constexpr size_t MaxBufferRicezione = 4096;
    // A check character follows its ETX within one character time (about
    // 1 ms at 9600 baud): waiting longer than a few is waiting for nothing.
    static constexpr uint32_t AttesaControllo = 4;
    // Each matching check character counts one up to this, each wrong one
    // one down: a reader with a rule of its own that matched by chance loses
    // at most this many codes before it is trusted no more.
    static constexpr int MaxFiduciaControllo = 3;

    std::string mBufferRicezione;
    bool mRigaScartata = false;         // inside a line past the bound: dropped up to its CR LF
    bool mRiattivaAllApertura = false;  // a lost port left the notification off
    bool mProssimaMaiCodice = false;    // RispostaMaiCodice, for the next transaction
    bool mCodiciInAttesa = false;       // the reply awaited is never a code: codes may come meanwhile
    bool mControlloRisposta = false;    // a framed reply ended by ETX: its check character may follow
    bool mRispostaInConsegna = false;   // ComRX carries a reply
    bool mStxLetto = false;             // an STX read after a frame's ETX: the next frame has begun
    int mFiduciaControllo = 0;          // 0 to 3: how far the reader has shown the standard check
    uint32_t mInizioTurno = 0;          // when the notification being handled began
    bool mAttivo = false;
    int16_t mCommPort = 0;
    std::optional<std::string> mCommSettings;
};

}  // namespace talumbra
