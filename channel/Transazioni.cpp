// Command transactions: write a text, optionally wait for the reader's reply.
#include <algorithm>
#include <utility>
#include <vector>

#include "channel/Attesa.h"
#include "channel/Piattaforma.h"
#include "channel/clsComunicazioni.h"

namespace talumbra {

namespace {
const std::string CR(1, '\r');
const std::string LF(1, '\n');

// Gives a flag a value for a scope; the value before comes back at its end.
class Per {
public:
    Per(bool& f, bool v) : f_(f), prima_(std::exchange(f, v)) {}
    ~Per() { f_ = prima_; }
    Per(const Per&) = delete;
    Per& operator=(const Per&) = delete;

private:
    bool& f_;
    bool prima_;
};
}  // namespace

void clsComunicazioni::InviaComando(const std::string& comando) { Scrivi(comando, LimiteCodice); }

void clsComunicazioni::Scrivi(const std::string& comando, uint32_t entro) {
    // Opens the port directly: the stored Attivo and DTR stay as they are.
    if (!Seriale->PortOpen()) Seriale->setPortOpen(true);
    SvuotaEScrivi(comando, entro);
}

void clsComunicazioni::ScriviPerRisposta(const std::string& comando) {
    const uint32_t inizio = piattaforma().timeGetTime();
    Scrivi(comando, VlMaxTimeOut > 0 ? static_cast<uint32_t>(VlMaxTimeOut) / 2 : 0);
    mInizioComando = inizio;
}

uint32_t clsComunicazioni::InizioAttesa() {
    return std::exchange(mInizioComando, std::nullopt).value_or(piattaforma().timeGetTime());
}

void clsComunicazioni::SvuotaEScrivi(const std::string& comando, uint32_t entro) {
    // Codes that came while the notification was off go to the front end;
    // other stale bytes (a check character left by a framed reply, the tail of
    // a late reply) are dropped. Then one character per read.
    ConsegnaInAttesa(entro);
    Seriale->setInputLen(1);
    Seriale->Output(comando);
    std::string scritto = comando;
    if (ComTX) ComTX(scritto);
}

void clsComunicazioni::InviaComando_RiceviRisposta(const std::string& comando, int16_t& Esito, std::string& Risposta,
                                                   bool /*VerBCC*/, int32_t TimeOut) {
    const auto vivo = weak_from_this().lock();  // host events may release the owner
    const bool codici = std::exchange(mProssimaMaiCodice, false);
    VlMaxTimeOut = TimeOut != 0 ? TimeOut : ValTimeOutDefault;
    const bool chiudiAllaFine = !Attivo();
    setAttivo(true);
    OnComm_Disattivato();  // stays off: no notification may take the reply
    ScriviPerRisposta(comando);
    {
        const Per codiciInAttesa(mCodiciInAttesa, codici);
        Aspetta_Risposta(Esito, Risposta);
    }
    if (Esito == esTempoScaduto && ComTO) ComTO();
    if (chiudiAllaFine) setAttivo(false);
}

void clsComunicazioni::InviaComandoSenzaRisposta(const std::string& comando) {
    const bool chiudiAllaFine = !Attivo();
    setAttivo(true);
    SvuotaEScrivi(comando, LimiteCodice);
    if (chiudiAllaFine) setAttivo(false);
}

// A framed transaction (MAVO, Zarnet): it waits with the time-out that the
// previous transaction set, and reports a refused frame through ComRX too.
void clsComunicazioni::TransazioneTrama(const std::string& comando, int16_t& Esito, std::string& Risposta,
                                        void (clsComunicazioni::*attesa)(int16_t&, std::string&)) {
    const auto vivo = weak_from_this().lock();  // host events may release the owner
    const bool codici = std::exchange(mProssimaMaiCodice, false);
    const bool chiudiAllaFine = !Attivo();
    setAttivo(true);
    OnComm_Disattivato();
    ScriviPerRisposta(comando);
    {
        const Per codiciInAttesa(mCodiciInAttesa, codici);
        mControlloRisposta = false;
        (this->*attesa)(Esito, Risposta);
    }
    // The reply's check character is dropped as it comes, not left to the
    // next command (which would have to wait for it) or to the receiver.
    if (std::exchange(mControlloRisposta, false) && Seriale->PortOpen())
        ControlloDopoEtx(piattaforma().timeGetTime(), AttesaControllo);
    if (Esito == esRicevuta || Esito == esRifiutata) {
        ConsegnaRisposta(Risposta);
    } else if (Esito == esTempoScaduto) {
        if (ComTO) ComTO();
    }
    if (chiudiAllaFine) setAttivo(false);
}

void clsComunicazioni::Aspetta_Risposta(int16_t& Esito, std::string& Risposta) {
    const uint32_t t0 = InizioAttesa();
    const auto vivo = weak_from_this().lock();  // host events may release the owner
    Risposta.clear();
    std::string raccolto;
    std::vector<size_t> pause;  // where the line paused inside what is collected
    Piattaforma& pf = piattaforma();
    const std::shared_ptr<Driver> driver = mDriver;  // the one the wait began with
    const int64_t scadenza = attesa::OltreIlLimite(VlMaxTimeOut);
    attesa::Segni segni;
    const auto resto = [&] { return attesa::Resto(t0, scadenza); };  // a code frame read inside stays within it
    for (;;) {
        std::string c = Leggi();
        const uint32_t trascorso = Trascorso(t0, pf.timeGetTime());
        if (Oltre(trascorso, VlMaxTimeOut)) {
            Esito = esTempoScaduto;
            return;
        }
        segni.Passa(trascorso);
        if (c.empty() && raccolto.empty()) {
            // Nothing yet: sleep until a byte, the next mark or the deadline.
            attesa::DormiFino(*Seriale, t0, std::min(segni.Prossimo(), scadenza));
            continue;
        }
        // A badge presented meanwhile is delivered; the reply is still to come.
        if (raccolto.empty() && driver && driver->CodiceInRisposta(*this, c, resto)) continue;
        raccolto += c;
        pf.Sleep(10);
        if (!c.empty() && c != CR) continue;
        if (c.empty() && mCodiciInAttesa && driver && driver->CodiciARighe()) {
            // The line paused: it may be a code presented meanwhile, still on
            // its way (see PausaCodice). What came before the pause may be a
            // reply without its CR LF.
            Seriale->AttendiDati(std::min(PausaCodice, resto()));
            if (Seriale->InBufferCount() > 0) {
                pause.push_back(raccolto.size());
                continue;
            }
        }
        if (c == CR) {
            // The LF must follow within the time-out, counted from the CR;
            // anything else read meanwhile is dropped.
            const uint32_t tCR = pf.timeGetTime();
            for (;;) {
                c = Leggi();
                const uint32_t daCR = Trascorso(tCR, pf.timeGetTime());
                if (Oltre(daCR, VlMaxTimeOut)) {
                    Esito = esTempoScaduto;
                    return;
                }
                if (c == LF) break;
                if (c.empty()) attesa::DormiFino(*Seriale, tCR, scadenza);
            }
            raccolto += LF;
            std::string riga = raccolto.substr(0, raccolto.size() - 2);
            if (driver && driver->RigaDiCodice(*this, riga)) {
                raccolto.clear();
                pause.clear();
                continue;
            }
            // A reply ended by a quiet line, and a code after it.
            for (size_t p : pause) {
                std::string codice = riga.substr(p);
                if (driver->RigaDiCodice(*this, codice)) {
                    raccolto.resize(p);
                    break;
                }
            }
        }
        break;  // ended by CR LF, or the line went quiet
    }
    ConsegnaRisposta(raccolto);
    Risposta = raccolto;
    Esito = esRicevuta;
}

void clsComunicazioni::ConsegnaRisposta(std::string& risposta) {
    if (!ComRX) return;
    const Per risposta_(mRispostaInConsegna, true);
    ComRX(risposta);
}

}  // namespace talumbra
