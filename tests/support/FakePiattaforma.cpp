#include "tests/support/FakePiattaforma.h"

#include <algorithm>

namespace talumbra::test {

namespace {
// a at or before b on the wrapping clock
bool NonDopo(uint32_t a, uint32_t b) { return static_cast<int32_t>(b - a) >= 0; }
}  // namespace

FakePorta::FakePorta(FakePiattaforma& p) : p_(p) {
    for (int n = 1; n <= 256; ++n) esistenti.insert(static_cast<int16_t>(n));
}

FakePorta::~FakePorta() {
    auto& v = p_.porte;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
}

void FakePorta::Arriva(uint32_t quando, const std::string& byte) {
    auto it = futuri_.begin();
    while (it != futuri_.end() && NonDopo(it->quando, quando)) ++it;
    futuri_.insert(it, Futuro{quando, byte});
}

void FakePorta::ArrivaOra(const std::string& byte) { Arriva(p_.ora, byte); }

void FakePorta::Fallisci(const std::string& op, int32_t numero, int volte, const std::string& descrizione) {
    fallimenti_[op] = Guasto{numero, volte, descrizione.empty() ? "injected failure in " + op : descrizione};
}

void FakePorta::Controlla(const std::string& op) {
    auto it = fallimenti_.find(op);
    if (it == fallimenti_.end()) return;
    Guasto g = it->second;
    if (g.volte > 0 && --it->second.volte == 0) fallimenti_.erase(it);
    throw Fallimento(g.numero, g.descrizione);
}

void FakePorta::Consegna() {
    while (!futuri_.empty() && NonDopo(futuri_.front().quando, p_.ora)) {
        rx_ += futuri_.front().byte;
        futuri_.pop_front();
    }
}

bool FakePorta::Notifica() {
    Consegna();
    if (!aperta_ || soglia_ != 1 || rx_.empty() || !OnComm) return false;
    const auto gestore = OnComm;  // as the real port: the handler may clear it
    gestore();
    return true;
}

std::string FakePorta::Scritto() const {
    std::string tutto;
    for (const auto& s : scritture) tutto += s.byte;
    return tutto;
}

void FakePorta::setCommPort(int16_t numero) {
    Controlla("setCommPort");
    if (aperta_) throw Fallimento(errPortaGiaAperta, "Port already open");
    numero_ = numero;
}

void FakePorta::setSettings(const std::string& s) {
    Controlla("setSettings");
    impostazioni_ = s;
}

void FakePorta::setPortOpen(bool aperta) {
    if (aperta) {
        Controlla("Open");
        if (aperta_) throw Fallimento(errPortaGiaAperta, "Port already open");
        if (!esistenti.count(numero_)) throw Fallimento(errPortaInesistente, "Invalid port number");
        if (occupate.count(numero_)) throw Fallimento(errPortaOccupata, "Port already in use");
        aperta_ = true;
        ++aperture;
    } else {
        Controlla("Close");
        if (aperta_) ++chiusure;
        aperta_ = false;
    }
}

void FakePorta::setDTREnable(bool v) {
    Controlla("setDTREnable");
    dtr_ = v;
}

void FakePorta::setRTSEnable(bool v) {
    Controlla("setRTSEnable");
    rts_ = v;
}

void FakePorta::setRThreshold(int s) {
    Controlla("setRThreshold");
    soglia_ = s;
}

void FakePorta::setInputLen(int l) {
    Controlla("setInputLen");
    lunghezza_ = l;
}

void FakePorta::setInputMode(int m) {
    Controlla("setInputMode");
    modo_ = m;
}

std::string FakePorta::Input() {
    Controlla("Input");
    if (!aperta_) throw Fallimento(8012, "Port not open");
    ++letture;
    Consegna();
    size_t n = lunghezza_ == 0 ? rx_.size() : std::min<size_t>(rx_.size(), static_cast<size_t>(lunghezza_));
    std::string letto = rx_.substr(0, n);
    rx_.erase(0, n);
    return letto;
}

void FakePorta::Output(const std::string& testo) {
    Controlla("Output");
    if (!aperta_) throw Fallimento(8012, "Port not open");
    scritture.push_back(Scrittura{p_.ora, testo});
    if (suScrittura) suScrittura(testo);
}

int FakePorta::InBufferCount() {
    Controlla("InBufferCount");
    if (!aperta_) throw Fallimento(8012, "Port not open");
    Consegna();
    return static_cast<int>(rx_.size());
}

void FakePorta::AttendiDati(uint32_t ms) {
    Controlla("AttendiDati");
    Consegna();
    if (!rx_.empty() || ms == 0) return;
    uint32_t fine = p_.ora + ms;
    if (!futuri_.empty() && NonDopo(futuri_.front().quando, fine)) fine = futuri_.front().quando;
    p_.ora = fine;
}

FakePiattaforma::FakePiattaforma(uint32_t inizio) : ora(inizio), precedente_(setPiattaforma(this)) {}

FakePiattaforma::~FakePiattaforma() { setPiattaforma(precedente_); }

FakePorta& FakePiattaforma::porta() {
    if (porte.empty()) throw Fallimento(-1, "no fake port has been created");
    return *porte.back();
}

std::unique_ptr<PortaSeriale> FakePiattaforma::CreaPorta() {
    auto p = std::make_unique<FakePorta>(*this);
    porte.push_back(p.get());
    if (suCreazione) suCreazione(*p);
    return p;
}

void FakePiattaforma::Sleep(uint32_t ms) {
    pause.push_back(ms);
    ora += ms;
}

void FakePiattaforma::DoEvents() {
    eventi.push_back(ora);
    if (suEventi) suEventi();
}

}  // namespace talumbra::test
