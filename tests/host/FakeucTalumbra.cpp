#include "FakeucTalumbra.h"

#include <QSettings>

using brelvo::test::fake;

namespace brelvo::test {
FakeControllo& fake() {
    static FakeControllo f;
    return f;
}
void AzzeraFake() { fake() = FakeControllo{}; }
}  // namespace brelvo::test

struct ucTalumbra::Stato_ {
    Container* container = nullptr;
    qint16 commPort = 1;
    QString codice;
    TipoBadge_Enum tipoBadge = tb_EM_4x02;
    qint32 tMantCode = 500;
    bool quendel = true;
    quint32 errore = 8421631, connesso = 8454016, lettura = 8454143;
    TipoDispositivo_Enum tipo = tdPELVAN;
    qint32 checkVersion = 0;
    bool attivo = false;
    bool caricamento = false;
    bool riconnessione = false;
};

namespace {
void Annota(const char* nome, long long v, bool fallibile = true) {
    auto& f = fake();
    f.registro.push_back(std::string(nome) + "=" + std::to_string(v));
    if (!fallibile) return;
    auto it = f.fallisci.find(nome);
    if (it != f.fallisci.end()) throw talumbra::Fallimento(it->second, std::string("finto guasto in ") + nome);
}

class BorsaIni final : public ucTalumbra::PropertyBag {
public:
    explicit BorsaIni(const QString& p) : s_(p, QSettings::IniFormat) {}
    QVariant ReadProperty(const QString& k, const QVariant& d) override { return s_.value(k.toLower(), d); }
    void WriteProperty(const QString& k, const QVariant& v, const QVariant&) override { s_.setValue(k.toLower(), v); }

private:
    QSettings s_;
};
}  // namespace

ucTalumbra::Container::~Container() = default;
ucTalumbra::PropertyBag::~PropertyBag() = default;
std::unique_ptr<ucTalumbra::PropertyBag> ucTalumbra::FileProprieta(const QString& p) {
    return std::make_unique<BorsaIni>(p);
}
void ucTalumbra::setDomanda(Domanda) {}

ucTalumbra::ucTalumbra(QWidget* parent, Container* container) : QWidget(parent), d(std::make_unique<Stato_>()) {
    d->container = container;
    d->tipoBadge = fake().tipoBadgeIniziale;
    fake().ultimo = this;
}
ucTalumbra::~ucTalumbra() {
    if (fake().ultimo == this) fake().ultimo = nullptr;
}

void ucTalumbra::InitProperties() {}
void ucTalumbra::ReadProperties(PropertyBag& s) {
    d->caricamento = true;
    d->codice = s.ReadProperty("Codice", QString()).toString();
    setCommPort(static_cast<qint16>(s.ReadProperty("CommPort", 1).toInt()));
    d->riconnessione = s.ReadProperty("RiconnessioneAutomatica", false).toBool();
    setAttivo(s.ReadProperty("Attivo", false).toBool());
    d->caricamento = false;
}
void ucTalumbra::WriteProperties(PropertyBag& s) { s.WriteProperty("CommPort", d->commPort, 1); }

qint16 ucTalumbra::CommPort() const { return d->commPort; }
void ucTalumbra::setCommPort(qint16 v) {
    Annota("CommPort", v);
    d->commPort = v;
    if (d->caricamento) return;
    // Reopens with activation requested, then the presence check.
    setAttivo(true);
    if (d->attivo) {
        bool trovato = fake().lettoreRisponde;
        if (trovato)
            d->tipo = fake().trovato;
        else
            setAttivo(false);
        TipoDispositivo_Enum t = trovato ? d->tipo : tdPELVAN;
        emit FindDevice(trovato, t);
    }
}
QString ucTalumbra::Codice() const { return d->codice; }
ucTalumbra::TipoBadge_Enum ucTalumbra::TipoBadge() const { return d->tipoBadge; }
void ucTalumbra::setTipoBadge(TipoBadge_Enum v) { Annota("TipoBadge", v), d->tipoBadge = v; }
qint32 ucTalumbra::TMantCode() const { return d->tMantCode; }
void ucTalumbra::setTMantCode(qint32 v) { Annota("TMantCode", v), d->tMantCode = v; }
bool ucTalumbra::CodificaQuendel() const { return d->quendel; }
void ucTalumbra::setCodificaQuendel(bool v) { d->quendel = v; }
quint32 ucTalumbra::ColoreErrore() const { return d->errore; }
void ucTalumbra::setColoreErrore(quint32 v) { d->errore = v; }
quint32 ucTalumbra::ColoreConnesso() const { return d->connesso; }
void ucTalumbra::setColoreConnesso(quint32 v) { d->connesso = v; }
quint32 ucTalumbra::ColoreLettura() const { return d->lettura; }
void ucTalumbra::setColoreLettura(quint32 v) { d->lettura = v; }
ucTalumbra::TipoDispositivo_Enum ucTalumbra::TipoDispositivo() const { return d->tipo; }
void ucTalumbra::setTipoDispositivo(TipoDispositivo_Enum v) { d->tipo = v; }
qint32 ucTalumbra::CheckVersion() const { return d->checkVersion; }
void ucTalumbra::setCheckVersion(qint32 v) { d->checkVersion = v; }
bool ucTalumbra::Attivo() const { return d->attivo; }
void ucTalumbra::setAttivo(bool v) {
    Annota("Attivo", v);
    d->attivo = v && fake().porteApribili.count(d->commPort) > 0;
    bool b = d->attivo;
    emit Stato(b);
}
bool ucTalumbra::RiconnessioneAutomatica() const { return d->riconnessione; }
void ucTalumbra::setRiconnessioneAutomatica(bool v) { d->riconnessione = v; }
void ucTalumbra::paintEvent(QPaintEvent* e) { QWidget::paintEvent(e); }
void ucTalumbra::resizeEvent(QResizeEvent* e) { QWidget::resizeEvent(e); }

namespace brelvo::test {
void Leggi(ucTalumbra& c, const QString& codice) {
    QString s = codice;
    emit c.Lettura(s);
}
void TrovaDispositivo(ucTalumbra& c, bool trovato, ucTalumbra::TipoDispositivo_Enum d) {
    emit c.FindDevice(trovato, d);
}
}  // namespace brelvo::test
