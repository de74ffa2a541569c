// The property store kept in an INI file. QSettings matches keys with regard
// to case, so the keys found in the file are indexed by their lower-case form.
#include <QHash>
#include <QSettings>

#include "talumbra/ucTalumbra.h"

namespace {

// Equal as stored: numbers by value (so true equals the byte 1), texts as text.
bool UgualeAlPredefinito(const QVariant& a, const QVariant& b) {
    bool okA = false, okB = false;
    const double x = a.toDouble(&okA), y = b.toDouble(&okB);
    const bool numA = okA && a.typeId() != QMetaType::QString, numB = okB && b.typeId() != QMetaType::QString;
    if (numA && numB) return x == y;
    return a.toString() == b.toString() && numA == numB;
}

class FileProprieta final : public ucTalumbra::PropertyBag {
public:
    explicit FileProprieta(const QString& percorso) : ini_(percorso, QSettings::IniFormat) {
        for (const QString& k : ini_.allKeys()) chiavi_.insert(k.toLower(), k);
    }
    ~FileProprieta() override { ini_.sync(); }

    QVariant ReadProperty(const QString& chiave, const QVariant& predefinito) override {
        auto it = chiavi_.constFind(chiave.toLower());
        if (it == chiavi_.constEnd()) return predefinito;
        return ini_.value(it.value(), predefinito);
    }

    void WriteProperty(const QString& chiave, const QVariant& valore, const QVariant& predefinito) override {
        const QString bassa = chiave.toLower();
        auto it = chiavi_.constFind(bassa);
        if (UgualeAlPredefinito(valore, predefinito)) {
            if (it != chiavi_.constEnd()) {
                ini_.remove(it.value());
                chiavi_.remove(bassa);
            }
            return;
        }
        const QString usata = it == chiavi_.constEnd() ? chiave : it.value();
        // Booleans as 0/1 and every integer as a plain number: QSettings writes
        // only int and the 64-bit types as text, a short or a byte as an
        // "@Variant(...)" blob. Files with such blobs still load.
        QVariant v = valore;
        switch (v.typeId()) {
            case QMetaType::Bool: v = v.toBool() ? 1 : 0; break;
            case QMetaType::Char:
            case QMetaType::SChar:
            case QMetaType::Short:
            case QMetaType::Int:
            case QMetaType::Long:
            case QMetaType::LongLong: v = v.toLongLong(); break;
            case QMetaType::UChar:
            case QMetaType::UShort:
            case QMetaType::UInt:
            case QMetaType::ULong:
            case QMetaType::ULongLong: v = v.toULongLong(); break;
            default: break;
        }
        ini_.setValue(usata, v);
        chiavi_.insert(bassa, usata);
    }

private:
    QSettings ini_;
    QHash<QString, QString> chiavi_;
};

}  // namespace

std::unique_ptr<ucTalumbra::PropertyBag> ucTalumbra::FileProprieta(const QString& percorso) {
    return std::make_unique<::FileProprieta>(percorso);
}
