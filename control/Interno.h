#pragma once
// What the control's source files share: its private state, the code box, the
// timer wrapper and the defaults.
#include <QLineEdit>
#include <QTimer>
#include <memory>
#include <optional>

#include "control/SessioneCorrente.h"
#include "talumbra/ucTalumbra.h"

namespace talumbra::controllo {

inline constexpr quint32 kColoreConnesso = 8454016;  // 128, 255, 128
inline constexpr quint32 kColoreLettura = 8454143;   // 255, 255, 128
inline constexpr quint32 kColoreErrore = 8421631;    // 255, 128, 128

// Colours are 0x00BBGGRR.
inline QColor DaColore(quint32 v) { return ucTalumbra::DaNumero(v); }
inline quint32 AColore(const QColor& c) { return ucTalumbra::ANumero(c); }

// The code box. A box that is not on screen (a headless host) does not lay
// out every code it is given, which would cost more than reading the code:
// its text is kept, and shown when the box is.
class CasellaCodice final : public QLineEdit {
public:
    using QLineEdit::QLineEdit;
    void Imposta(const QString& testo) {
        testo_ = testo;
        daMostrare_ = !isVisible();
        if (!daMostrare_) setText(testo);
    }
    const QString& Testo() const { return testo_; }

protected:
    void showEvent(QShowEvent* e) override {
        if (daMostrare_) setText(testo_);
        daMostrare_ = false;
        QLineEdit::showEvent(e);
    }

private:
    QString testo_;
    bool daMostrare_ = false;
};

// A timer as the control uses it: enabled and interval are separate, and an
// interval of 0 means it does not tick (QTimer would tick on every loop pass).
struct TimerControllo {
    QTimer* t = nullptr;
    bool abilitato = false;
    int intervallo = 0;

    void Applica() {
        if (abilitato && intervallo > 0)
            t->start(intervallo);
        else
            t->stop();
    }
    void Abilita(bool v) {
        if (v == abilitato) return;
        abilitato = v;
        Applica();
    }
    void Intervallo(int ms) {
        intervallo = ms;
        t->setInterval(ms);
        Applica();
    }
};

}  // namespace talumbra::controllo

struct ucTalumbra::Stato_ {
    Container* container = nullptr;
    // Our own session: its readings and its state are what this control shows.
    // The properties act on the current session (SessioneCorrente), which is
    // ours until another control is created.
    std::shared_ptr<talumbra::Lettore> mio;
    talumbra::controllo::CasellaCodice* txtCode = nullptr;
    QComboBox* cmbSeriale = nullptr;
    talumbra::controllo::TimerControllo trLettura, trCheck;

    quint32 ColoreConnesso = talumbra::controllo::kColoreConnesso;
    quint32 ColoreLettura = talumbra::controllo::kColoreLettura;
    quint32 ColoreErrore = talumbra::controllo::kColoreErrore;
    qint32 CheckVersion = 0;
    bool mCaricamento = false;
    bool modoProgetto = false;
    bool attivoProgetto = false;  // Attivo as designed, never applied to the port
    // InitProperties, ReadProperties or an assignment to Attivo has run. Until
    // then the control only keeps what a form sets: no port is opened or probed.
    bool avviato = false;
    // The values last announced by the change signals.
    std::optional<bool> attivoVisto;
    std::optional<TipoDispositivo_Enum> tipoVisto;

    Domanda domanda;
    bool aggiornaInCoda = false;
};
