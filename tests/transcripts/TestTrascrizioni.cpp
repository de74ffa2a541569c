// Replays each recorded reader conversation (tests/transcripts/*.txt, format
// in README.md there) through a front end on the fake port and clock, and
// compares what the core did with what the transcript expects. Each runs
// twice: from clock 0 and from just before the 32-bit clock wraps.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "readers/clsLettori.h"
#include "tests/support/FakePiattaforma.h"

namespace talumbra::test {
namespace {

const std::map<std::string, char> kNomi = {{"STX", '\x02'}, {"ETX", '\x03'}, {"EOT", '\x04'}, {"ACK", '\x06'},
                                           {"NAK", '\x15'}, {"CR", '\r'},    {"LF", '\n'}};

// Bytes in the transcript form: printable runs quoted, the rest by name or in hex.
std::string Scrivi(const std::string& byte) {
    std::string out;
    bool inTesto = false;
    auto spazio = [&] {
        if (!out.empty()) out += ' ';
    };
    for (unsigned char c : byte) {
        if (c >= 0x20 && c < 0x7F) {
            if (!inTesto) {
                spazio();
                out += '"';
                inTesto = true;
            }
            if (c == '"' || c == '\\') out += '\\';
            out += static_cast<char>(c);
            continue;
        }
        if (inTesto) out += '"';
        inTesto = false;
        spazio();
        auto nome = std::find_if(kNomi.begin(), kNomi.end(), [&](const auto& n) { return n.second == char(c); });
        if (nome != kNomi.end()) {
            out += nome->first;
        } else {
            const char* esa = "0123456789ABCDEF";
            out += esa[c >> 4];
            out += esa[c & 0x0F];
        }
    }
    if (inTesto) out += '"';
    return out.empty() ? "\"\"" : out;
}

// Reads bytes written as Scrivi writes them (any spacing); false on bad syntax.
bool Leggi(const std::string& testo, std::string& byte) {
    byte.clear();
    size_t i = 0;
    while (i < testo.size()) {
        if (testo[i] == ' ' || testo[i] == '\t') {
            ++i;
        } else if (testo[i] == '"') {
            for (++i;; ++i) {
                if (i >= testo.size()) return false;
                if (testo[i] == '"') break;
                if (testo[i] == '\\' && ++i >= testo.size()) return false;
                byte += testo[i];
            }
            ++i;
        } else {
            size_t fine = testo.find_first_of(" \t\"", i);
            if (fine == std::string::npos) fine = testo.size();
            const std::string parola = testo.substr(i, fine - i);
            i = fine;
            if (auto n = kNomi.find(parola); n != kNomi.end()) {
                byte += n->second;
            } else if (parola.size() == 2 && std::isxdigit(static_cast<unsigned char>(parola[0])) &&
                       std::isxdigit(static_cast<unsigned char>(parola[1]))) {
                byte += static_cast<char>(std::stoi(parola, nullptr, 16));
            } else {
                return false;
            }
        }
    }
    return true;
}

struct Ingresso {
    uint32_t t;
    bool dalLettore;     // bytes on the wire, else a host action
    std::string byte;    // the bytes, or the action's argument text
    std::string azione;  // host action
    int riga;
};

struct Trascrizione {
    int32_t tipo = tlPELVAN, badge = 0, mantieni = 0, timeOut = 0;
    bool quendel = false;
    std::vector<Ingresso> ingressi;
    std::vector<std::string> attesi;  // "@T kind args", normalised
    std::string errore;               // a syntax error, with its line
};

// "@120 rest" -> 120 and "rest".
bool Tempo(const std::string& riga, uint32_t& t, std::string& resto) {
    size_t fine = riga.find_first_of(" \t");
    if (fine == std::string::npos) fine = riga.size();
    try {
        size_t n = 0;
        const unsigned long v = std::stoul(riga.substr(1, fine - 1), &n);
        if (n != fine - 1 || v > 0x7FFFFFFFu) return false;
        t = static_cast<uint32_t>(v);
    } catch (...) {
        return false;
    }
    resto = fine < riga.size() ? riga.substr(riga.find_first_not_of(" \t", fine)) : "";
    return true;
}

std::pair<std::string, std::string> Parola(const std::string& s) {
    size_t fine = s.find_first_of(" \t");
    if (fine == std::string::npos) return {s, ""};
    size_t resto = s.find_first_not_of(" \t", fine);
    return {s.substr(0, fine), resto == std::string::npos ? "" : s.substr(resto)};
}

bool Numero(const std::string& s, int32_t& v) {
    try {
        size_t n = 0;
        v = std::stoi(s, &n);
        return n == s.size();
    } catch (...) {
        return false;
    }
}

// An expected event in its normal form, or "" when malformed. Numbers come
// first, bytes last: "result 0 1 ...", "error 68".
std::string Evento(uint32_t t, const std::string& tipo, const std::string& argomenti) {
    static const std::map<std::string, std::pair<int, bool>> forme = {
        // kind -> (numbers, then bytes?)
        {"tx", {0, true}},    {"rx", {0, true}},       {"code", {0, true}},
        {"drop", {0, true}},  {"timeout", {0, false}}, {"error", {1, false}},
        {"fail", {1, false}}, {"result", {2, true}},   {"type", {1, false}},
    };
    auto f = forme.find(tipo);
    if (f == forme.end()) return "";
    std::string out = "@" + std::to_string(t) + " " + tipo;
    std::string resto = argomenti;
    for (int k = 0; k < f->second.first; ++k) {
        auto [n, dopo] = Parola(resto);
        int32_t v = 0;
        if (!Numero(n, v)) return "";
        out += " " + std::to_string(v);
        resto = dopo;
    }
    if (f->second.second) {
        std::string byte;
        if (!Leggi(resto, byte)) return "";
        out += " " + Scrivi(byte);
    } else if (!resto.empty()) {
        return "";
    }
    return out;
}

Trascrizione Carica(const std::filesystem::path& file) {
    Trascrizione tr;
    std::ifstream in(file, std::ios::binary);
    std::string riga;
    int n = 0;
    auto sbaglio = [&](const std::string& perche) {
        if (tr.errore.empty()) tr.errore = file.filename().string() + ":" + std::to_string(n) + ": " + perche;
    };
    if (!in) sbaglio("cannot be read");
    while (std::getline(in, riga)) {
        ++n;
        if (!riga.empty() && riga.back() == '\r') riga.pop_back();
        const size_t a = riga.find_first_not_of(" \t");
        if (a == std::string::npos || riga[a] == '#') continue;
        riga = riga.substr(a, riga.find_last_not_of(" \t") - a + 1);
        if (riga[0] != '@') {
            auto [chiave, valore] = Parola(riga);
            int32_t v = 0;
            if (chiave == "quendel" && (valore == "on" || valore == "off"))
                tr.quendel = valore == "on";
            else if (!Numero(valore, v))
                sbaglio("a setting needs a number");
            else if (chiave == "type")
                tr.tipo = v;
            else if (chiave == "badge")
                tr.badge = v;
            else if (chiave == "hold")
                tr.mantieni = v;
            else if (chiave == "timeout")
                tr.timeOut = v;
            else
                sbaglio("unknown setting \"" + chiave + "\"");
            continue;
        }
        uint32_t t = 0;
        std::string resto;
        if (!Tempo(riga, t, resto)) {
            sbaglio("bad time");
            continue;
        }
        auto [tipo, argomenti] = Parola(resto);
        if (tipo == "reader") {
            Ingresso i{t, true, "", "", n};
            if (!Leggi(argomenti, i.byte)) sbaglio("bad bytes");
            tr.ingressi.push_back(i);
        } else if (tipo == "host") {
            auto [azione, arg] = Parola(argomenti);
            tr.ingressi.push_back(Ingresso{t, false, arg, azione, n});
        } else {
            const std::string e = Evento(t, tipo, argomenti);
            if (e.empty()) sbaglio("unknown or malformed line");
            tr.attesi.push_back(e);
        }
    }
    std::stable_sort(tr.ingressi.begin(), tr.ingressi.end(),
                     [](const Ingresso& a, const Ingresso& b) { return a.t < b.t; });
    return tr;
}

// Runs the transcript from clock `inizio`; returns the events in normal form,
// or sets `errore` for an action the runner does not know.
std::vector<std::string> Riproduci(const Trascrizione& tr, uint32_t inizio, std::string& errore) {
    std::vector<std::string> eventi;
    {
        FakePiattaforma fp(inizio);
        auto lettori = std::make_shared<clsLettori>();
        clsComunicazioni& ch = *lettori->Comunicazione;
        clsPelvan& pelvan = lettori->PELVAN();
        FakePorta& porta = fp.porta();
        pelvan.setConType(tr.tipo);
        lettori->TipoBadgeCorrente = tr.badge;
        lettori->TempoMantCode = tr.mantieni;
        lettori->CodificaQuendelAttiva = tr.quendel;
        ch.VlMaxTimeOut = tr.timeOut;

        auto registra = [&](const std::string& tipo, const std::string& argomenti) {
            eventi.push_back("@" + std::to_string(fp.ora - inizio) + " " + tipo +
                             (argomenti.empty() ? "" : " " + argomenti));
        };
        ch.ComTX = [&](std::string& s) { registra("tx", Scrivi(s)); };
        ch.ComRX = [&, originale = ch.ComRX](std::string& s) {
            registra("rx", Scrivi(s));
            if (originale) originale(s);
        };
        ch.ComTO = [&] { registra("timeout", ""); };
        ch.Errore = [&](int16_t& n, std::string&) { registra("error", std::to_string(n)); };
        lettori->Lettura = [&](std::string& c) { registra("code", Scrivi(c)); };
        lettori->Scartata = [&](std::string& t) { registra("drop", Scrivi(t)); };

        size_t arrivati = 0;  // arrivals whose time has come, of those in order
        std::vector<uint32_t> arrivi;
        for (const auto& i : tr.ingressi)
            if (i.dalLettore) {
                porta.Arriva(inizio + i.t, i.byte);
                arrivi.push_back(i.t);
            }
        // The real port notifies once for bytes that are new since the last
        // notification, and again when notifications are switched back on.
        bool nuovi = false;
        auto notifica = [&] {
            while (arrivati < arrivi.size() && arrivi[arrivati] <= fp.ora - inizio) {
                ++arrivati;
                nuovi = true;
            }
            if (!nuovi) return;
            try {
                if (porta.Notifica() || porta.InAttesa().empty()) nuovi = false;
            } catch (const Fallimento& f) {
                nuovi = false;
                registra("fail", std::to_string(f.Numero()));
            }
        };
        auto esegui = [&](const Ingresso& i) {
            std::string byte;
            int32_t n = 0;
            int16_t sintassi = 9;
            std::string risposta;
            if (i.azione == "open" && i.byte.empty()) {
                ch.setAttivo(true);
            } else if (i.azione == "listen" && i.byte.empty()) {
                ch.OnComm_Attivato();
            } else if (i.azione == "close" && i.byte.empty()) {
                ch.setAttivo(false);
            } else if (i.azione == "send" && Leggi(i.byte, byte)) {
                ch.InviaComando(byte);
            } else if (i.azione == "type" && Numero(i.byte, n)) {
                pelvan.setConType(n);
            } else if (i.azione == "upper" && (i.byte == "on" || i.byte == "off")) {
                pelvan.Maiuscolo = i.byte == "on";
            } else if (i.azione == "GetVersion" && i.byte.empty()) {
                const int32_t esito = pelvan.GetVersion(risposta, sintassi);
                registra("result", std::to_string(esito) + " " + std::to_string(sintassi) + " " + Scrivi(risposta));
                registra("type", std::to_string(pelvan.ConType()));
            } else if (i.azione == "Reset" && i.byte.empty()) {
                const int32_t esito = pelvan.Reset(sintassi, risposta);
                registra("result", std::to_string(esito) + " " + std::to_string(sintassi) + " " + Scrivi(risposta));
            } else if (i.azione == "Continuos" && i.byte.empty()) {
                const int32_t esito = pelvan.Continuos(sintassi);
                registra("result", std::to_string(esito) + " " + std::to_string(sintassi) + " \"\"");
            } else {
                if (errore.empty()) errore = "line " + std::to_string(i.riga) + ": unknown host action";
            }
        };

        for (size_t k = 0; k < tr.ingressi.size() && errore.empty();) {
            const uint32_t t = tr.ingressi[k].t;
            // A command's wait may already have taken the clock past this moment.
            if (static_cast<int32_t>(inizio + t - fp.ora) > 0) fp.ora = inizio + t;
            notifica();
            for (; k < tr.ingressi.size() && tr.ingressi[k].t == t; ++k) {
                if (tr.ingressi[k].dalLettore) continue;
                try {
                    esegui(tr.ingressi[k]);
                } catch (const Fallimento& f) {
                    registra("fail", std::to_string(f.Numero()));
                }
                notifica();
            }
        }
    }
    return eventi;
}

std::vector<std::filesystem::path> Trascrizioni() {
    std::vector<std::filesystem::path> v;
    for (const auto& e : std::filesystem::directory_iterator(CARTELLA_TRASCRIZIONI))
        if (e.path().extension() == ".txt" && e.path().filename() != "CMakeLists.txt") v.push_back(e.path());
    std::sort(v.begin(), v.end());
    return v;
}

class Registrazioni : public ::testing::TestWithParam<std::tuple<std::filesystem::path, uint32_t>> {};

TEST_P(Registrazioni, Replay) {
    const auto& [file, inizio] = GetParam();
    const Trascrizione tr = Carica(file);
    ASSERT_EQ(tr.errore, "");
    std::string errore;
    const std::vector<std::string> eventi = Riproduci(tr, inizio, errore);
    ASSERT_EQ(errore, "") << file;
    auto unisci = [](const std::vector<std::string>& v) {
        std::string s;
        for (const auto& e : v) s += e + "\n";
        return s;
    };
    // On a difference the whole run is shown in the transcript's own form, so
    // a new capture's events can be checked and pasted in.
    const std::string avuto = unisci(eventi), atteso = unisci(tr.attesi);
    EXPECT_TRUE(avuto == atteso) << file.string() << "\n--- what happened:\n"
                                 << avuto << "--- what the transcript expects:\n"
                                 << atteso;
    EXPECT_FALSE(tr.attesi.empty()) << file << " expects nothing";
}

INSTANTIATE_TEST_SUITE_P(File, Registrazioni,
                         ::testing::Combine(::testing::ValuesIn(Trascrizioni()),
                                            ::testing::Values(0u, 0xFFFFFFFFu - 150)),
                         [](const auto& info) {
                             std::string nome = std::get<0>(info.param).stem().string();
                             for (char& c : nome)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return nome + (std::get<1>(info.param) == 0 ? "" : "_BeforeTheClockWraps");
                         });

}  // namespace
}  // namespace talumbra::test
