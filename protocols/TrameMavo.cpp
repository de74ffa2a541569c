// Frame checks and the collection of STX/ETX framed replies.
#include "channel/Attesa.h"
#include "channel/Piattaforma.h"
#include "channel/clsComunicazioni.h"
#include "protocols/DriverMavo.h"
#include "talumbra/Fallimento.h"

namespace talumbra {

std::string clsComunicazioni::CalcoloBCC(const std::string& testo) const {
    if (testo.empty()) throw Fallimento(errArgomentoNonValido, "CalcoloBCC: empty text, no character to check");
    unsigned char x = static_cast<unsigned char>(testo[0]);
    for (size_t i = 1; i < testo.size(); ++i) x ^= static_cast<unsigned char>(testo[i]);
    return std::string(1, static_cast<char>(x));
}

bool clsComunicazioni::VerificaRisposta(const std::string& testo) const { return DriverMavo::RispostaValida(testo); }

void clsComunicazioni::InviaComando_RiceviRisposta_MAVO(const std::string& comando, int16_t& Esito,
                                                        std::string& Risposta) {
    TransazioneTrama(comando, Esito, Risposta, &clsComunicazioni::Aspetta_Risposta_MAVO);
}

void clsComunicazioni::Aspetta_Risposta_MAVO(int16_t& Esito, std::string& Risposta) {
    AspettaTrama(STX, ETX, true, false, Esito, Risposta);
}

// One framed reply: a lone ACK or NAK, or a frame from `apre` to `chiude` (or ACK),
// within VlMaxTimeOut of the start (of the command, in a transaction); the
// time-out bounds the whole wait.
void clsComunicazioni::AspettaTrama(const std::string& apre, const std::string& chiude, bool unCarattere,
                                    bool confermaConAck, int16_t& Esito, std::string& Risposta, std::string* raccolta) {
    const uint32_t t0 = InizioAttesa();
    const auto vivo = weak_from_this().lock();  // host events may release the owner
    Risposta.clear();
    if (unCarattere) Seriale->setInputLen(1);
    Piattaforma& pf = piattaforma();
    const std::shared_ptr<Driver> driver = mDriver;  // the one the wait began with
    const int64_t scadenza = attesa::OltreIlLimite(VlMaxTimeOut);
    attesa::Segni segni;
    std::string trama;
    bool inTrama = false;
    for (;;) {
        const std::string c = Leggi();
        const uint32_t trascorso = Trascorso(t0, pf.timeGetTime());
        if (Oltre(trascorso, VlMaxTimeOut)) {
            Esito = esTempoScaduto;  // a character read in this pass, and a partial frame, are dropped
            return;
        }
        segni.Passa(trascorso);
        if (c.empty()) {
            attesa::DormiFino(*Seriale, t0, std::min(segni.Prossimo(), scadenza));
            continue;
        }
        if (!inTrama) {
            if (c == NAK || c == ACK) {
                Risposta = c;
                if (raccolta) *raccolta = c;
                Esito = esRicevuta;
                return;
            }
            if (c == apre) {
                trama = c;
                inTrama = true;
            }
            continue;  // noise before the frame
        }
        if (apre == STX && c == STX) {
            trama = c;  // an STX always begins a frame: the one before was cut
            continue;
        }
        trama += c;
        if (c != chiude && c != ACK) continue;
        if (apre == STX && c == ETX && driver && driver->TramaDiCodice(*this, trama, attesa::Resto(t0, scadenza))) {
            // A badge presented while a command waits: delivered, and the
            // reply is still to come.
            if (unCarattere) Seriale->setInputLen(1);
            trama.clear();
            inTrama = false;
            continue;
        }
        break;
    }
    if (raccolta) *raccolta = trama;
    mControlloRisposta = apre == STX && trama.back() == ETX[0];
    if (!VerificaRisposta(trama)) {
        Esito = esRifiutata;
        return;
    }
    // Within what is left of the reply's time-out.
    if (confermaConAck) Scrivi(ACK, attesa::Resto(t0, scadenza));
    Esito = esRicevuta;
    Risposta = trama;
}

}  // namespace talumbra
