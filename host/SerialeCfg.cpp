#include "SerialeCfg.h"

#include <QFile>
#include <QSaveFile>
#include <cmath>
#include <limits>
#include <optional>

namespace brelvo {
namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

// One field as a 16-bit integer: an optional sign, digits, optionally a
// decimal part with "." (rounded to the nearest, halves to even), nothing else.
std::optional<int16_t> Numero(QByteArray campo) {
    int a = 0, b = static_cast<int>(campo.size());
    while (a < b && Blank(campo[a])) ++a;
    while (b > a && Blank(campo[b - 1])) --b;
    campo = campo.mid(a, b - a);
    if (campo.isEmpty()) return std::nullopt;
    int i = 0;
    if (campo[0] == '+' || campo[0] == '-') ++i;
    int cifre = 0, punti = 0;
    for (int k = i; k < campo.size(); ++k) {
        if (campo[k] >= '0' && campo[k] <= '9')
            ++cifre;
        else if (campo[k] == '.' && punti == 0)
            ++punti;
        else
            return std::nullopt;
    }
    if (cifre == 0) return std::nullopt;
    bool ok = false;
    const double v = campo.toDouble(&ok);
    if (!ok || !std::isfinite(v)) return std::nullopt;
    const double r = std::nearbyint(v);
    if (r < std::numeric_limits<int16_t>::min() || r > std::numeric_limits<int16_t>::max()) return std::nullopt;
    return static_cast<int16_t>(r);
}

}  // namespace

void LeggiSerialeCfg(const QByteArray& contenuto, SerialeCfg& cfg) {
    // Fields end at a comma or a line end; empty lines between values are skipped.
    int16_t* campi[] = {&cfg.NSeriale, &cfg.mACapo, &cfg.mScrivi, &cfg.mFrecciaGiu};
    qsizetype pos = 0;
    const qsizetype n = contenuto.size();
    for (int16_t* campo : campi) {
        while (pos < n) {
            qsizetype k = pos;
            while (k < n && Blank(contenuto[k])) ++k;
            if (k < n && (contenuto[k] == '\r' || contenuto[k] == '\n'))
                pos = k + 1;
            else
                break;
        }
        if (pos >= n) return;  // end of file: this and later fields keep their values
        qsizetype fine = pos;
        while (fine < n && contenuto[fine] != ',' && contenuto[fine] != '\r' && contenuto[fine] != '\n') ++fine;
        if (auto v = Numero(contenuto.mid(pos, fine - pos))) *campo = *v;
        pos = fine;
        if (pos < n && contenuto[pos] == ',')
            ++pos;
        else if (pos < n && contenuto[pos] == '\r')
            pos += (pos + 1 < n && contenuto[pos + 1] == '\n') ? 2 : 1;
        else if (pos < n)
            ++pos;
    }
}

void LeggiSerialeCfg(const QString& percorso, SerialeCfg& cfg) {
    QFile f(percorso);
    if (!f.open(QIODevice::ReadOnly)) return;
    LeggiSerialeCfg(f.readAll(), cfg);
}

QByteArray TestoSerialeCfg(const SerialeCfg& cfg) {
    QByteArray t;
    for (int v : {cfg.NSeriale, cfg.mACapo, cfg.mScrivi, cfg.mFrecciaGiu}) {
        t += v < 0 ? "-" : " ";
        t += QByteArray::number(v < 0 ? -v : v);
        t += " \r\n";
    }
    return t;
}

bool ScriviSerialeCfg(const QString& percorso, const SerialeCfg& cfg, QString* errore) {
    QSaveFile f(percorso);
    f.setDirectWriteFallback(true);  // a writable file in a read-only folder
    if (f.open(QIODevice::WriteOnly)) {
        const QByteArray t = TestoSerialeCfg(cfg);
        if (f.write(t) == t.size() && f.commit()) return true;
    }
    if (errore) *errore = f.errorString();
    return false;
}

}  // namespace brelvo
