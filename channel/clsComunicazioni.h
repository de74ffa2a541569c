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
    void RiceviCodice_MAVO();
    void AlzaErrore(int32_t numero, const std::string& descrizione);
    void RiattivaDopoGuasto(bool portaPersa);
    // Empties the input, writes `comando` and raises ComTX.
    void SvuotaEScrivi(const std::string& comando);
    void TransazioneTrama(const std::string& comando, int16_t& Esito, std::string& Risposta,
                          void (clsComunicazioni::*attesa)(int16_t&, std::string&));
    // Sends a framed command without waiting: outcome 0, no reply.
    void SoloInvio(const std::string& filo, int16_t& Esito, std::string& Risposta);
    // The framed-reply wait shared by the MAVO and Zarnet families.
    void AspettaTrama(const std::string& apre, const std::string& chiude, bool unCarattere, bool confermaConAck,
                      int16_t& Esito, std::string& Risposta);

    // Longest unfinished line kept by the line receiver; older bytes are dropped.
    static constexpr size_t MaxBufferRicezione = 4096;

    std::string mBufferRicezione;
    bool mAttivo = false;
    int16_t mCommPort = 0;
    std::optional<std::string> mCommSettings;
};

}  // namespace talumbra
