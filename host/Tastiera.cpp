#include "Tastiera.h"

#include <QStringList>

namespace brelvo {

QString Stampabili(const QString& codice) {
    QString t;
    t.reserve(codice.size());
    for (QChar c : codice)
        if (c.category() != QChar::Other_Control) t += c;
    return t;
}

// Native Wayland first: on a Wayland session XTest reaches XWayland windows only.
// A third back end (uinput) would go here.
const std::vector<MotoreTastiera>& MotoriTastiera() {
    static const std::vector<MotoreTastiera> motori{
        {"wayland", CreaTastieraWayland},
        {"x11", CreaTastieraX11},
    };
    return motori;
}

std::unique_ptr<Tastiera> ScegliTastiera(const QString& forzato, QString* perche) {
    QString scarti;
    std::unique_ptr<Tastiera> ultima;
    QStringList nomi;
    for (const auto& m : MotoriTastiera()) {
        const QString nome = QString::fromLatin1(m.nome);
        nomi << nome;
        if (!forzato.isEmpty() && forzato != nome) continue;
        auto t = m.crea();
        if (!forzato.isEmpty()) {
            *perche = t->Disponibile() ? QStringLiteral("%1, scelta con --tastiera o $BRELVO_TASTIERA").arg(nome)
                                       : QStringLiteral("%1 (scelta): %2").arg(nome, t->Motivo());
            return t;
        }
        if (t->Disponibile()) {
            // On a Wayland session XTest reaches the XWayland windows only.
            if (nome == QLatin1String("x11") && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
                scarti += QStringLiteral(" (i tasti arrivano solo alle finestre X, XWayland)");
            *perche = scarti.isEmpty() ? QStringLiteral("%1, la prima disponibile").arg(nome)
                                       : QStringLiteral("%1, perché %2").arg(nome, scarti);
            return t;
        }
        if (!scarti.isEmpty()) scarti += QStringLiteral("; ");
        scarti += nome + QStringLiteral(": ") + t->Motivo();
        ultima = std::move(t);
    }
    if (!forzato.isEmpty()) {
        *perche =
            QStringLiteral("tastiera sconosciuta \"%1\" (sono: %2)").arg(forzato, nomi.join(QStringLiteral(", ")));
        return nullptr;
    }
    *perche = QStringLiteral("nessuna tastiera disponibile (%1)").arg(scarti);
    return ultima;
}

}  // namespace brelvo
