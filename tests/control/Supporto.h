#pragma once
// Helpers for the control's tests: a scripted reader on the fake port, a
// property store in memory, and a wait on the real event loop.
#include <QCoreApplication>
#include <QHash>
#include <QString>
#include <QVariant>
#include <set>
#include <string>
#include <vector>

#include "tests/support/Attendi.h"
#include "tests/support/FakePiattaforma.h"
#include "talumbra/ucTalumbra.h"

namespace talumbra::test {

// A Pelvan reader behind every fake port: answers "V" with `versione` (none
// when it is empty) and "X" with "X".
struct LettoreFinto {
    std::string versione = "OMBRISK-125 PELVAN V2.1";
    int versioni = 0;
    std::set<int16_t> esistenti{1};

    void Installa(FakePiattaforma& fp) {
        fp.suCreazione = [this](FakePorta& p) {
            p.esistenti = esistenti;
            FakePorta* porta = &p;
            p.suScrittura = [this, porta](const std::string& s) {
                if (s == "V" || s == "v") {
                    ++versioni;
                    if (!versione.empty()) porta->ArrivaOra(versione + "\r\n");
                } else if (s == "X" || s == "x") {
                    porta->ArrivaOra("X\r\n");
                }
            };
        };
    }
};

class Borsa : public ucTalumbra::PropertyBag {
public:
    struct Scrittura {
        QString chiave;
        QVariant valore, predefinito;
    };
    std::vector<Scrittura> scritture;
    QHash<QString, QVariant> valori;  // lower-case keys
    QVariant ReadProperty(const QString& chiave, const QVariant& predefinito) override {
        return valori.value(chiave.toLower(), predefinito);
    }
    void WriteProperty(const QString& chiave, const QVariant& valore, const QVariant& predefinito) override {
        scritture.push_back({chiave, valore, predefinito});
        valori.insert(chiave.toLower(), valore);
    }
};

class ContenitoreFinto : public ucTalumbra::Container {
public:
    quint32 ambiente = 0x00C0C0C0;
    QStringList notifiche;
    quint32 AmbientBackColor() const override { return ambiente; }
    void PropertyChanged(const QString& nome) override { notifiche << nome; }
};

}  // namespace talumbra::test
