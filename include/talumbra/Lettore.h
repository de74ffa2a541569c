#pragma once
// talumbra::Lettore: one badge reader on one serial port, with no widget. It
// owns the port, the reader's settings and repeat filter, the identification
// of the reader and, when asked, the waiting for a lost port to come back.
// Several may run side by side in one program, each on its own port; all run
// on the thread that owns them, inside its Qt event loop.
#include <QList>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Fallimento.h"

namespace talumbra {

class TALUMBRA_EXPORT Lettore : public QObject {
    Q_OBJECT

public:
    // Device types and badge types: the values of the control's enumerations.
    enum Dispositivo : int32_t { dPELVAN = 0, dKez3 = 1, dEmulKez = 2, dMifareMAVO = 3 };

    explicit Lettore(QObject* parent = nullptr);
    ~Lettore() override;

    // ---- Settings. Failures come as Fallimento (see NumeriFallimento.h).
    int CommPort() const;
    // Takes the number for the next opening; an open port is closed first.
    void setCommPort(int numero);
    int32_t TipoBadge() const;
    void setTipoBadge(int32_t v);
    // Repeat suppression, in ms: the same code within this time is read once.
    int32_t TMantCode() const;
    void setTMantCode(int32_t v);
    bool CodificaQuendel() const;
    void setCodificaQuendel(bool v);
    int32_t TipoDispositivo() const;
    void setTipoDispositivo(int32_t v);
    // When true, a port lost (68), missing (8002) or busy (8010) is reported
    // once (Stato false, Anomalia) and then waited for: reopened when its
    // device comes back, or on a back-off for a busy one. Never asks the user.
    bool RiconnessioneAutomatica() const;
    void setRiconnessioneAutomatica(bool v);

    // ---- The port
    bool Attivo() const;
    // Opens or closes the port as asked by the program: closing ends any
    // waiting; a failed opening throws unless it is waited out.
    void setAttivo(bool v);
    // Closes, applies the line settings and reopens when `attivazione` or
    // when open already, then identifies the reader (FindDevice).
    void Riconnetti(bool attivazione);
    // Asks the reader for its version until it answers; after five failures
    // asks the Domanda whether to go on, else closes the port.
    void VerificaConnessione();
    bool VerificaInCorso() const;
    // Ends any waiting and closes the port, first saying goodbye to the reader
    // when `saluto`; failures are ignored.
    void Chiudi(bool saluto = true);

    // When true (a widget's session), the pauses of the identification hold
    // the thread; otherwise the program's events go on meanwhile.
    bool AttesaBloccante() const;
    void setAttesaBloccante(bool v);

    // The question asked when the reader does not answer ("Check connection.");
    // true goes on trying. Without one the answer is no.
    using Domanda = std::function<bool(const QString& testo)>;
    void setDomanda(Domanda domanda);

    // The port numbers (1 to 256) with a serial device now, in order.
    QList<int> Porte();

    // ---- The failure boundary for the owner's own event handlers: a loss
    // that is waited out starts the waiting, any other failure closes the port
    // and raises Anomalia.
    void Guasto(int32_t numero, const std::string& descrizione);
    // Runs `gestore`; what it throws goes to Guasto.
    void Protetto(const std::function<void()>& gestore);

signals:
    // A code read from a badge.
    void Lettura(const QString& codice);
    // A code frame dropped because its check character does not match.
    void Scartata(const QString& trama);
    // The port was just opened or closed; Stato follows.
    void Commutato();
    void Stato(bool attivo);
    void FindDevice(bool trovato, int32_t dispositivo);
    // "Errore N description".
    void Anomalia(const QString& testo);

private:
    void Assegna(bool v);
    bool Pausa(uint32_t ms);
    void ChiudiDopoGuasto();
    void Segnala(int32_t numero, const std::string& descrizione);
    void Perdita(int32_t numero, const std::string& descrizione, bool chiudi = true);
    void Attendi(int32_t numero);
    void FineAttesa();
    void Tentativo();

    struct Dati;
    std::unique_ptr<Dati> d;
};

}  // namespace talumbra
