#pragma once
// ucTalumbra: the badge reader control. The library's public API is this
// control, its two enumerations and the failure type its setters throw.
#include <QColor>
#include <QString>
#include <QVariant>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Fallimento.h"

class QComboBox;
class QLineEdit;
class QTimer;

class TALUMBRA_EXPORT ucTalumbra : public QWidget {
    Q_OBJECT
    // Property types are ones Qt Designer edits: CommPort an int (1-256), the
    // colours QColor. The C++ accessors and the stored values keep the 16-bit
    // port and the colours as 0x00BBGGRR numbers. Attivo comes last, so that a
    // form opens the port with every other property already applied.
    Q_PROPERTY(int CommPort READ CommPort WRITE setCommPort)
    Q_PROPERTY(QString Codice READ Codice NOTIFY CodiceCambiato)
    Q_PROPERTY(TipoBadge_Enum TipoBadge READ TipoBadge WRITE setTipoBadge)
    Q_PROPERTY(qint32 TMantCode READ TMantCode WRITE setTMantCode)
    Q_PROPERTY(bool CodificaQuendel READ CodificaQuendel WRITE setCodificaQuendel)
    Q_PROPERTY(QColor ColoreErrore READ ColoreErroreQt WRITE setColoreErrore)
    Q_PROPERTY(QColor ColoreConnesso READ ColoreConnessoQt WRITE setColoreConnesso)
    Q_PROPERTY(QColor ColoreLettura READ ColoreLetturaQt WRITE setColoreLettura)
    Q_PROPERTY(TipoDispositivo_Enum TipoDispositivo READ TipoDispositivo WRITE setTipoDispositivo NOTIFY
                   TipoDispositivoCambiato)
    Q_PROPERTY(qint32 CheckVersion READ CheckVersion WRITE setCheckVersion)
    Q_PROPERTY(bool RiconnessioneAutomatica READ RiconnessioneAutomatica WRITE setRiconnessioneAutomatica)
    Q_PROPERTY(bool Attivo READ Attivo WRITE setAttivo NOTIFY AttivoCambiato)

public:
    enum TipoDispositivo_Enum : qint32 { tdPELVAN = 0, tdKez3 = 1, tdEmulKez = 2, tdMifareMAVO = 3 };
    Q_ENUM(TipoDispositivo_Enum)
    enum TipoBadge_Enum : qint32 { tb_EM_4x02 = 0, tb_EM_4x50 = 1, tb_ISO_FDXB = 2, tb_HITAG_1 = 3, tb_HITAG_2 = 4 };
    Q_ENUM(TipoBadge_Enum)

    // Services of the container that hosts the control.
    class TALUMBRA_EXPORT Container {
    public:
        virtual ~Container();
        // Colours are 0x00BBGGRR.
        virtual quint32 AmbientBackColor() const = 0;
        virtual void PropertyChanged(const QString& nome) = 0;
    };

    // Keyed property store: keys match without regard to case; a missing key
    // reads as its default; a value equal to its default may be left out.
    class TALUMBRA_EXPORT PropertyBag {
    public:
        virtual ~PropertyBag();
        virtual QVariant ReadProperty(const QString& chiave, const QVariant& predefinito) = 0;
        virtual void WriteProperty(const QString& chiave, const QVariant& valore, const QVariant& predefinito) = 0;
    };
    // A property store kept in a plain text file (INI form); writes go to disk
    // when the store is released. A read-only resource path works for reading.
    static std::unique_ptr<PropertyBag> FileProprieta(const QString& percorso);

    // Asks the user the "Check connection." question; true for OK. The default
    // is a modal message box with OK and Cancel and a question icon.
    using Domanda = std::function<bool(const QString& testo)>;
    void setDomanda(Domanda domanda);

    // On a form being designed (Qt Designer) the control opens no port and
    // lists none: the properties are only kept, to be written into the form.
    bool ModoProgetto() const;
    void setModoProgetto(bool v);

    // Two ways to start a control:
    // - Made by its constructor alone (a form from Qt Designer, through uic or
    //   QUiLoader, or plain code), it has the values of a new instance and
    //   opens no port and sends nothing. It keeps what a form sets (CommPort
    //   does not reopen) and lists no ports, until Attivo is first assigned:
    //   true opens CommPort and looks for the reader, as a form stored with
    //   Attivo does at loading, and reports a failure through Anomalia and
    //   Stato instead of throwing; false shows the closed state and the port
    //   list. From then on it is as any other: CommPort reopens.
    // - A container calls InitProperties (a new instance: port 1 is opened and
    //   the reader looked for, then the port closed again) or ReadProperties
    //   (stored properties), once, right after construction.
    // TipoBadge, TMantCode and CodificaQuendel are shared by every control in
    // the process: a control made while no other exists sets them to 0, 500
    // and true; one made beside a live control leaves them as the host set them.
    explicit ucTalumbra(QWidget* parent = nullptr, Container* container = nullptr);
    ~ucTalumbra() override;

    void InitProperties();
    void ReadProperties(PropertyBag& store);
    void WriteProperties(PropertyBag& store);

    qint16 CommPort() const;
    void setCommPort(qint16 v);
    // A number beyond 16 bits is an overflow (6), never another port.
    void setCommPort(int v) {
        if (v < -32768 || v > 32767) throw talumbra::Fallimento(talumbra::errOverflow, "Overflow");
        setCommPort(static_cast<qint16>(v));
    }
    QString Codice() const;
    TipoBadge_Enum TipoBadge() const;
    void setTipoBadge(TipoBadge_Enum v);
    qint32 TMantCode() const;
    void setTMantCode(qint32 v);
    bool CodificaQuendel() const;
    void setCodificaQuendel(bool v);
    // Colours as numbers, 0x00BBGGRR (as stored), or as QColor (as Qt shows
    // them; the alpha channel is dropped).
    quint32 ColoreErrore() const;
    void setColoreErrore(quint32 v);
    quint32 ColoreConnesso() const;
    void setColoreConnesso(quint32 v);
    quint32 ColoreLettura() const;
    void setColoreLettura(quint32 v);
    QColor ColoreErroreQt() const { return DaNumero(ColoreErrore()); }
    void setColoreErrore(const QColor& c) { setColoreErrore(ANumero(c)); }
    QColor ColoreConnessoQt() const { return DaNumero(ColoreConnesso()); }
    void setColoreConnesso(const QColor& c) { setColoreConnesso(ANumero(c)); }
    QColor ColoreLetturaQt() const { return DaNumero(ColoreLettura()); }
    void setColoreLettura(const QColor& c) { setColoreLettura(ANumero(c)); }
    // Qt::red would otherwise be taken as the number 7.
    void setColoreErrore(Qt::GlobalColor c) { setColoreErrore(QColor(c)); }
    void setColoreConnesso(Qt::GlobalColor c) { setColoreConnesso(QColor(c)); }
    void setColoreLettura(Qt::GlobalColor c) { setColoreLettura(QColor(c)); }
    static QColor DaNumero(quint32 v) { return QColor(int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF)); }
    static quint32 ANumero(const QColor& c) {
        const QColor rgb = c.toRgb();
        return quint32(rgb.red()) | (quint32(rgb.green()) << 8) | (quint32(rgb.blue()) << 16);
    }
    TipoDispositivo_Enum TipoDispositivo() const;
    void setTipoDispositivo(TipoDispositivo_Enum v);
    qint32 CheckVersion() const;
    void setCheckVersion(qint32 v);
    bool Attivo() const;
    void setAttivo(bool v);
    // Unattended operation (default false). When true, a port that is lost
    // (68), missing (8002) or busy (8010) is reported once (Stato false, the
    // port list, Anomalia; an assignment to Attivo does not throw for it) and
    // then waited for: the control reopens it by itself when its device comes
    // back, or, for a busy port, on a back-off of 1 s doubling up to 30 s. Its
    // own attempts never ask "Check connection.": a silent reader goes back to
    // waiting. Attivo := false stops the waiting until the port is opened again.
    bool RiconnessioneAutomatica() const;
    void setRiconnessioneAutomatica(bool v);

signals:
    void Lettura(QString& sCodice);
    void Stato(bool& bAttuale);
    void FindDevice(bool& bFind, ucTalumbra::TipoDispositivo_Enum& Dispositivo);
    void Anomalia(QString& stringa);
    // A framed code dropped because its check character does not match (the
    // frame as received).
    void Scartata(QString& sTrama);
    // Changes that happen without the setter: the port lost or reopened, a
    // code read, the device type found by the presence check.
    void AttivoCambiato(bool attivo);
    void CodiceCambiato(const QString& codice);
    void TipoDispositivoCambiato(ucTalumbra::TipoDispositivo_Enum tipo);

protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    // Procedures and handlers of the control.
    void Riconnetti(bool attivazione);
    void AggiornaStato();
    void CaricaSeriali();
    void cmbSeriale_Click();
    void MyLettori_Lettura(const QString& sCodice);
    void trLettura_Timer();
    void trCheck_Timer();
    // Runs an event handler; a failure closes the port and raises Anomalia.
    void Protetto(const std::function<void()>& gestore);
    bool Chiedi(const QString& testo);
    void Notifica(const char* nome);
    quint32 Ambiente() const;
    void ImpostaSfondo(quint32 colore);
    void ImpostaSfondoCodice(quint32 colore);
    void Disponi();
    void MostraCodice(const QString& testo);
    void SeguiCambiamenti();

    struct Stato_;
    std::unique_ptr<Stato_> d;
};
