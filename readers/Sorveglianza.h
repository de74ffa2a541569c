#pragma once
// Waits for a lost serial port's device to come back, without polling: the
// folders that hold the comN entry, the links it leads through and the device
// node are watched with inotify (a missing file cannot be watched, its folder
// can). A port held by another program gives no file event when it is let go,
// so that one case is retried on a back-off instead.
#include <QObject>
#include <QStringList>
#include <string>

class QFileSystemWatcher;
class QTimer;

namespace talumbra {

class Sorveglianza final : public QObject {
    Q_OBJECT
public:
    explicit Sorveglianza(QObject* parent = nullptr);
    ~Sorveglianza() override;

    // Starts watching port `numero`. The device as `firma` describes it (the
    // one just lost), or else as it looks now, is the starting point: only a
    // change from it (gone, back, replaced) asks for an attempt, so a reader
    // that is there but silent is not tried again and again.
    void Avvia(int numero, const std::string& firma = {});
    // What the device of port `numero` looks like now (empty when it is not there).
    static std::string Firma(int numero);
    // Ends the watching: no folder watched, no timer armed.
    void Ferma();
    bool Attiva() const { return attiva_; }
    int Numero() const { return numero_; }

    // An attempt is starting: the device as it is now has had its try.
    void Tentato();
    // An attempt failed. `occupata` (another program holds the port) arms the
    // next back-off tick, 1 s doubling up to 30 s; any other failure drops the
    // back-off, and only a device event brings the next attempt.
    void Fallito(bool occupata);
    // Looks at the device again soon (e.g. after an event that came while an
    // attempt was running).
    void Rivaluta();

    // The folders watched now (for the tests and the figures).
    QStringList Cartelle() const;
    int RitardoMs() const { return ritardoMs_; }

    static constexpr int kPrimoRitardoMs = 1000;
    static constexpr int kUltimoRitardoMs = 30000;

signals:
    // The device may be back, or the back-off came round: time to try.
    void Riprova();

private:
    struct Impronta {
        bool presente = false;
        std::string firma;  // the entry, the links and the node as stat sees them
        QStringList cartelle;
    };
    static Impronta Osserva(int numero);
    void Valuta();
    void Guarda(const QStringList& cartelle);

    QFileSystemWatcher* osservatore_ = nullptr;
    QTimer* raccolta_ = nullptr;  // gathers a burst of events into one look
    QTimer* ritardo_ = nullptr;   // back-off for a busy port
    bool attiva_ = false;
    int numero_ = 0;
    int ritardoMs_ = kPrimoRitardoMs;
    std::string ultima_;  // signature of the device at the start or the last attempt
};

}  // namespace talumbra
