// Framings of the further reader families, the Zarnet transaction and BCCEba.
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "talumbra/Fallimento.h"
#include "channel/clsComunicazioni.h"

namespace talumbra {

namespace {

std::string SenzaSpazi(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

// The numeric value of a text, or nothing when it is not a number.
bool Numero(const std::string& testo, double& valore) {
    const std::string t = SenzaSpazi(testo);
    if (t.empty()) return false;
    char* fine = nullptr;
    valore = std::strtod(t.c_str(), &fine);
    return fine == t.c_str() + t.size() && std::isfinite(valore);
}

double Valore(const std::string& term) {
    double v = 0;
    if (!Numero(term, v)) throw Fallimento(errTipoErrato, "Terminal number is not numeric: \"" + term + "\"");
    return v;
}

// The character with code `codice` (rounded to the nearest integer, halves to even).
std::string Carattere(double codice) {
    const double r = std::nearbyint(codice);
    if (!(r >= 0 && r <= 255))
        throw Fallimento(errArgomentoNonValido, "Terminal character code out of range: " + std::to_string(codice));
    return std::string(1, static_cast<char>(static_cast<unsigned char>(r)));
}

// Terminal character of the K families: term + 64 for command type "S", else term + 32.
std::string Terminale(double term, const std::string& TipoComando) {
    return Carattere(term + (TipoComando == "S" ? 64 : 32));
}

int CifraEsa(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int CoppiaEsa(const std::string& coppia, const std::string& tutto) {
    int v = 0;
    for (char c : coppia) {
        const int d = CifraEsa(c);
        if (d < 0) throw Fallimento(errTipoErrato, "Not a hexadecimal text: \"" + tutto + "\"");
        v = v * 16 + d;
    }
    return v;
}

std::string DueCifre(unsigned valore) {
    const char* const esa = "0123456789ABCDEF";
    return std::string{esa[(valore >> 4) & 0x0F], esa[valore & 0x0F]};
}

}  // namespace

void clsComunicazioni::KELT(int16_t term, const std::string& TipoComando, const std::string& StrComando, int16_t& Esito,
                            std::string& Risposta, int32_t TimeOut) {
    const std::string t = Terminale(term, TipoComando);
    std::string filo = STX + t + t + StrComando + ETX;
    filo += CalcoloBCC(filo);
    if (term == 32) {
        SoloInvio(filo, Esito, Risposta);
    } else {
        InviaComando_RiceviRisposta(filo, Esito, Risposta, true, TimeOut);
    }
}

void clsComunicazioni::ZN001A(const std::string& StrComando, int16_t& Esito, std::string& Risposta) {
    InviaComando_RiceviRisposta(STX + StrComando + ETX, Esito, Risposta, true, 0);
}

namespace {
// The common shape of Tornello, Galder and ZNlight: STX, family letter,
// terminal character, command, ETX, BCC.
std::string TramaLettera(const clsComunicazioni& ch, const std::string& lettera, double term,
                         const std::string& TipoComando, const std::string& StrComando) {
    std::string filo = ch.STX + lettera + Terminale(term, TipoComando) + StrComando + ch.ETX;
    return filo + ch.CalcoloBCC(filo);
}
}  // namespace

void clsComunicazioni::Tornello(const std::string& term, const std::string& TipoComando, const std::string& StrComando,
                                int16_t& Esito, std::string& Risposta) {
    const double n = Valore(term);
    const std::string filo = TramaLettera(*this, "a", n, TipoComando, StrComando);
    if (n == 32) {
        SoloInvio(filo, Esito, Risposta);
    } else {
        InviaComando_RiceviRisposta(filo, Esito, Risposta, true, 0);
    }
}

void clsComunicazioni::Galder(const std::string& term, const std::string& TipoComando, const std::string& StrComando,
                              int16_t& Esito, std::string& Risposta) {
    const double n = Valore(term);
    const std::string filo = TramaLettera(*this, "g", n, TipoComando, StrComando);
    if (n == 32) {
        SoloInvio(filo, Esito, Risposta);
    } else {
        InviaComando_RiceviRisposta(filo, Esito, Risposta, true, 0);
    }
}

void clsComunicazioni::ZNlight(const std::string& term, const std::string& TipoComando, const std::string& StrComando,
                               int16_t& Esito, std::string& Risposta, int32_t /*TimeOut*/) {
    const double n = Valore(term);
    const std::string filo = TramaLettera(*this, "h", n, TipoComando, StrComando);
    if (n == 32 || StrComando == ACK) {
        SoloInvio(filo, Esito, Risposta);
    } else {
        InviaComando_RiceviRisposta(filo, Esito, Risposta, true, 0);
    }
}

void clsComunicazioni::Zarnet(const std::string& term, const std::string& TipoComando, const std::string& StrComando,
                              int16_t& Esito, std::string& Risposta) {
    const double n = Valore(term);
    const std::string t = Carattere(n + 48);
    const std::string filo = TipoComando == "S" ? EOT + EOT + STX + t + StrComando + ETX
                                                : EOT + EOT + t + std::string(1, '\x05');  // a poll: ENQ
    if (n == 32) {
        SoloInvio(filo, Esito, Risposta);
    } else {
        InviaComando_RiceviRisposta_ZARNET(filo, Esito, Risposta);
    }
}

namespace {
std::string TramaEot(const clsComunicazioni& ch, double term, const std::string& TipoComando,
                     const std::string& StrComando) {
    const std::string t = Terminale(term, TipoComando);
    const std::string corpo = ch.STX + t + t + StrComando + ch.ETX;
    return ch.EOT + ch.EOT + corpo + ch.CalcoloBCC(corpo);  // the check covers STX..ETX only
}
}  // namespace

void clsComunicazioni::ZNIO8(int16_t term, const std::string& TipoComando, const std::string& StrComando,
                             int16_t& Esito, std::string& Risposta, int32_t TimeOut) {
    const std::string filo = TramaEot(*this, term, TipoComando, StrComando);
    if (term == 32) {
        SoloInvio(filo, Esito, Risposta);
    } else {
        InviaComando_RiceviRisposta(filo, Esito, Risposta, true, TimeOut);
    }
}

void clsComunicazioni::Trivok(double term, const std::string& TipoComando, const std::string& StrComando,
                              int16_t& Esito, std::string& Risposta, int32_t TimeOut) {
    InviaComando_RiceviRisposta(TramaEot(*this, term, TipoComando, StrComando), Esito, Risposta, true, TimeOut);
}

void clsComunicazioni::USKO(const std::string& term, const std::string& TipoComando, int16_t& Esito,
                            std::string& Risposta, const std::string& Valore_, bool VerBCC) {
    const double n = std::nearbyint(Valore(term));
    if (std::fabs(n) > 2147483647.0) throw Fallimento(errArgomentoNonValido, "Terminal number out of range: " + term);
    // Last two hexadecimal digits: the low byte of the number.
    std::string filo = DueCifre(static_cast<uint32_t>(static_cast<int64_t>(n)) & 0xFF) + TipoComando;
    if (Valore_ != "-1") filo += Valore_;
    double v = 0;
    const bool senzaBcc = Numero(Valore_, v) && v == -2;
    if (!senzaBcc && !filo.empty()) filo += CalcoloBCC(filo);
    filo += '\r';
    InviaComando_RiceviRisposta(filo, Esito, Risposta, VerBCC, 0);
}

void clsComunicazioni::SoloInvio(const std::string& filo, int16_t& Esito, std::string& Risposta) {
    InviaComando(filo);
    Esito = esRicevuta;
    Risposta.clear();
}

void clsComunicazioni::InviaComando_RiceviRisposta_ZARNET(const std::string& comando, int16_t& Esito,
                                                          std::string& Risposta) {
    TransazioneTrama(comando, Esito, Risposta, &clsComunicazioni::Aspetta_Risposta_ZARNET);
}

void clsComunicazioni::Aspetta_Risposta_ZARNET(int16_t& Esito, std::string& Risposta) {
    // Frames between "<" and ">" (or ACK); an accepted one is acknowledged.
    AspettaTrama(ApriTrama, ChiudiTrama, false, true, Esito, Risposta);
}

std::string clsComunicazioni::BCCEba(const std::string& stringa) {
    if (stringa.empty()) throw Fallimento(errTipoErrato, "BCCEba: empty text");
    int x = CoppiaEsa(stringa.substr(0, 2), stringa);
    for (size_t i = 2; i < stringa.size(); i += 2) x ^= CoppiaEsa(stringa.substr(i, 2), stringa);
    return DueCifre(static_cast<unsigned>(x));
}

}  // namespace talumbra
