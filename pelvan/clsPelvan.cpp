// The Pelvan command set: one letter command per method, the reply judged by
// its first character, and the reader model recognised from its version text.
#include "pelvan/clsPelvan.h"

#include <memory>

#include "channel/clsComunicazioni.h"
#include "protocols/DriverPelvan.h"
#include "protocols/TabellaDriver.h"

namespace talumbra {

namespace {

// ASCII only: the reader's texts are bytes, and the letters that matter are ASCII.
std::string InMaiuscolo(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string InMinuscolo(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// 1 refused ("N"/"n"), 2 syntax error ("?"), 0 accepted. An empty reply leaves
// `Sintassi` alone, so the caller decides what no reply text means.
void Giudica(const std::string& risposta, int16_t& Sintassi) {
    if (!risposta.empty()) Sintassi = DriverPelvan::Giudizio(risposta);
}

constexpr int32_t kTimeOutComando = 500;

}  // namespace

// Runs one command and its reply; the link is held for the whole transaction.
int16_t clsPelvan::Transazione(const std::string& lettere, const std::string& pag, const std::string& dati,
                               int32_t timeOut, std::string& Risposta, bool datiInRisposta) {
    const Collegamento link = mCollega();
    link.Canale->OnComm_Disattivato();
    // An acknowledgement is judged by its first letter and is never a code:
    // a badge presented meanwhile is one. A page's data may look like anything.
    if (!datiInRisposta) link.Canale->RispostaMaiCodice();
    int16_t esito = esRicevuta;
    link.Canale->PELVAN(lettere, pag, dati, esito, Risposta, timeOut, true);
    return esito;
}

void clsPelvan::setConType(int32_t v) {
    mConType = v;
    if (TipoCambiato) TipoCambiato(v);
}

std::string clsPelvan::SettaComando(const std::string& comando) const {
    return Maiuscolo ? InMaiuscolo(comando) : InMinuscolo(comando);
}

// ---- AntennaPowerOff: "p", the channel's default time-out

int32_t clsPelvan::AntennaPowerOff() {
    int16_t sintassi = 0;
    return AntennaPowerOff(sintassi);
}

int32_t clsPelvan::AntennaPowerOff(int16_t& Sintassi) {
    std::string risposta;
    const int16_t esito = Transazione(SettaComando("p"), "", "", 0, risposta);
    Sintassi = 1;
    Giudica(risposta, Sintassi);
    return esito;
}

// ---- ReadPage: "r" and the page

int32_t clsPelvan::ReadPage(const std::string& NPage, std::string& Risposta) {
    int16_t sintassi = 0;
    return ReadPage(NPage, Risposta, sintassi);
}

int32_t clsPelvan::ReadPage(const std::string& NPage, std::string& Risposta, int16_t& Sintassi) {
    const int16_t esito = Transazione(SettaComando("r"), NPage, "", kTimeOutComando, Risposta, true);
    Sintassi = 1;
    Giudica(Risposta, Sintassi);
    return esito;
}

// ---- SetLed: "dr" (1), "dg" (0), "dn" (2), "d" otherwise

int32_t clsPelvan::SetLed(int16_t value) {
    int16_t sintassi = 0;
    return SetLed(value, sintassi);
}

int32_t clsPelvan::SetLed(int16_t value, int16_t& Sintassi) {
    std::string lettere = "d";
    switch (value) {
        case 1: lettere += "r"; break;
        case 0: lettere += "g"; break;
        case 2: lettere += "n"; break;
        default: break;
    }
    std::string risposta;
    const int16_t esito = Transazione(SettaComando(lettere), "", "", kTimeOutComando, risposta);
    Sintassi = 1;
    Giudica(risposta, Sintassi);
    return esito;
}

// ---- WritePage: "w", the page and the data. Without a reply text the
// caller's Sintassi is kept.

int32_t clsPelvan::WritePage(const std::string& NPage, const std::string& Dati) {
    int16_t sintassi = 0;
    return WritePage(NPage, Dati, sintassi);
}

int32_t clsPelvan::WritePage(const std::string& NPage, const std::string& Dati, int16_t& Sintassi) {
    std::string risposta;
    const int16_t esito = Transazione(SettaComando("w"), NPage, Dati, kTimeOutComando, risposta);
    Giudica(risposta, Sintassi);
    return esito;
}

// ---- Reset: "x"

int32_t clsPelvan::Reset() {
    int16_t sintassi = 0;
    return Reset(sintassi);
}

int32_t clsPelvan::Reset(int16_t& Sintassi) {
    std::string risposta;
    return Reset(Sintassi, risposta);
}

int32_t clsPelvan::Reset(int16_t& Sintassi, std::string& Risposta) {
    Sintassi = 1;
    const int16_t esito = Transazione(SettaComando("x"), "", "", kTimeOutComando, Risposta);
    Sintassi = 1;
    Giudica(Risposta, Sintassi);
    return esito;
}

// ---- GetVersion: "v"; without an accepted reply, the version request of the
// readers that answer only in framed texts.

int32_t clsPelvan::GetVersion(std::string& Risposta) {
    int16_t sintassi = 0;
    return GetVersion(Risposta, sintassi);
}

int32_t clsPelvan::GetVersion(std::string& Risposta, int16_t& Sintassi) {
    const Collegamento link = mCollega();
    clsComunicazioni& canale = *link.Canale;
    canale.OnComm_Disattivato();
    int16_t esito = esRicevuta;
    // A version text is never a code, in either form of the request.
    canale.RispostaMaiCodice();
    canale.PELVAN(SettaComando("v"), "", "", esito, Risposta, kTimeOutComando, true);
    if (esito == esRicevuta) {
        Sintassi = 1;
        Giudica(Risposta, Sintassi);
        if (!Risposta.empty()) setConType(RiconosciLettore(Risposta, false, mConType));
    } else {
        // The framed request waits with the time-out the request above set.
        Risposta.clear();
        canale.RispostaMaiCodice();
        canale.MAVO("f", "", esito, Risposta, 0, true);
        if (Risposta.size() > 16) setConType(RiconosciLettore(Risposta, true, mConType));
    }
    return esito;
}

// ---- Continuos: "c", sent without waiting; the reader then sends codes on
// its own, so the receive notification is switched on first.

int32_t clsPelvan::Continuos() {
    int16_t sintassi = 0;
    return Continuos(sintassi);
}

int32_t clsPelvan::Continuos(int16_t& Sintassi) {
    const Collegamento link = mCollega();
    link.Canale->OnComm_Attivato();
    int16_t esito = esRicevuta;
    std::string risposta;
    link.Canale->PELVAN(SettaComando("c"), "", "", esito, risposta, kTimeOutComando, false);
    Sintassi = 0;
    return 0;
}

// ---- LogIn: "l" and the password, sent as given

int32_t clsPelvan::LogIn(const std::string& Password) {
    int16_t sintassi = 0;
    return LogIn(Password, sintassi);
}

int32_t clsPelvan::LogIn(const std::string& Password, int16_t& Sintassi) {
    std::string risposta;
    const int16_t esito = Transazione(SettaComando("l"), "", Password, kTimeOutComando, risposta);
    Sintassi = 1;
    Giudica(risposta, Sintassi);
    return esito;
}

}  // namespace talumbra
