// The control's properties in a property store: defaults for a new instance,
// typed reads of stored values, and writes that leave defaults out.
#include <limits>

#include "control/Interno.h"

using talumbra::Fallimento;
using namespace talumbra::controllo;

namespace {

// Typed reads from a property store: a value that does not fit its type is an
// error for the caller, never a silent zero.
[[noreturn]] void TipoErrato(const QString& chiave) {
    throw Fallimento(talumbra::errTipoErrato, "Type mismatch for property " + chiave.toStdString());
}

qint64 LeggiIntero(ucTalumbra::PropertyBag& b, const QString& chiave, qint64 predefinito, qint64 minimo,
                   qint64 massimo) {
    QVariant v = b.ReadProperty(chiave, QVariant(predefinito));
    bool ok = false;
    qint64 n = v.toLongLong(&ok);
    if (!ok) {
        // INI files give text; "500.0" is still a number.
        double d = v.toString().trimmed().toDouble(&ok);
        if (!ok) TipoErrato(chiave);
        n = qRound64(d);
    }
    if (n < minimo || n > massimo)
        throw Fallimento(talumbra::errOverflow, "Overflow in property " + chiave.toStdString());
    return n;
}

bool LeggiBooleano(ucTalumbra::PropertyBag& b, const QString& chiave, const QVariant& predefinito) {
    QVariant v = b.ReadProperty(chiave, predefinito);
    if (v.typeId() == QMetaType::QString) {
        QString s = v.toString().trimmed().toLower();
        if (s == "true" || s == "vero") return true;
        if (s == "false" || s == "falso" || s.isEmpty()) return false;
        bool ok = false;
        qint64 n = s.toLongLong(&ok);
        if (!ok) TipoErrato(chiave);
        return n != 0;
    }
    if (!v.canConvert<bool>()) TipoErrato(chiave);
    return v.toBool();
}

}  // namespace

void ucTalumbra::InitProperties() {
    d->avviato = true;
    ImpostaSfondo(Ambiente());
    setCommPort(1);
    MostraCodice(QString());
    setTipoBadge(tb_EM_4x02);
    setTMantCode(500);
    d->CheckVersion = 0;
    setCodificaQuendel(true);
    setColoreConnesso(kColoreConnesso);
    setColoreLettura(kColoreLettura);
    setColoreErrore(kColoreErrore);
    setRiconnessioneAutomatica(false);
    setAttivo(false);
    Riconnetti(false);
}

void ucTalumbra::ReadProperties(PropertyBag& store) {
    // The flag must drop however loading ends, or CommPort would stop reopening.
    struct Caricamento {
        bool& f;
        explicit Caricamento(bool& x) : f(x) { f = true; }
        ~Caricamento() { f = false; }
    } caricamento(d->mCaricamento);
    d->avviato = true;

    constexpr qint64 i32min = std::numeric_limits<qint32>::min(), i32max = std::numeric_limits<qint32>::max();
    ImpostaSfondo(Ambiente());
    MostraCodice(store.ReadProperty("Codice", QString()).toString());
    setTipoBadge(static_cast<TipoBadge_Enum>(LeggiIntero(store, "TipoBadge", 0, i32min, i32max)));
    setTMantCode(qint32(LeggiIntero(store, "TMantCode", 500, i32min, i32max)));
    setCodificaQuendel(LeggiBooleano(store, "CodificaQuendel", QVariant::fromValue<quint8>(1)));
    setColoreConnesso(quint32(LeggiIntero(store, "ColoreConnesso", kColoreConnesso, i32min, 0xFFFFFFFFLL)));
    setColoreLettura(quint32(LeggiIntero(store, "ColoreLettura", kColoreLettura, i32min, 0xFFFFFFFFLL)));
    setColoreErrore(quint32(LeggiIntero(store, "ColoreErrore", kColoreErrore, i32min, 0xFFFFFFFFLL)));
    // Stored only: the periodic check starts when the host assigns the property.
    d->CheckVersion = qint32(LeggiIntero(store, "CheckVersion", 0, i32min, i32max));
    // Before the port is opened, so that the opening already waits out a missing port.
    setRiconnessioneAutomatica(LeggiBooleano(store, "RiconnessioneAutomatica", QVariant(false)));
    setCommPort(qint16(
        LeggiIntero(store, "CommPort", 1, std::numeric_limits<qint16>::min(), std::numeric_limits<qint16>::max())));
    setAttivo(LeggiBooleano(store, "Attivo", QVariant(false)));
    Riconnetti(false);
}

void ucTalumbra::WriteProperties(PropertyBag& store) {
    store.WriteProperty("CommPort", QVariant::fromValue<qint16>(CommPort()), QVariant::fromValue<qint16>(1));
    store.WriteProperty("Codice", d->txtCode->Testo(), QString());
    store.WriteProperty("TipoBadge", qint32(TipoBadge()), qint32(0));
    store.WriteProperty("TMantCode", TMantCode(), qint32(500));
    store.WriteProperty("CodificaQuendel", CodificaQuendel(), QVariant::fromValue<quint8>(1));
    store.WriteProperty("ColoreConnesso", qint32(d->ColoreConnesso), qint32(kColoreConnesso));
    store.WriteProperty("ColoreLettura", qint32(d->ColoreLettura), qint32(kColoreLettura));
    store.WriteProperty("ColoreErrore", qint32(d->ColoreErrore), qint32(kColoreErrore));
    store.WriteProperty("CheckVersion", d->CheckVersion, qint32(0));
    store.WriteProperty("Attivo", Attivo(), false);
    store.WriteProperty("RiconnessioneAutomatica", RiconnessioneAutomatica(), false);
}
