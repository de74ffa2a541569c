#pragma once
// ucTalumbra: the badge reader control. The library's public API is this
// control, its two enumerations and the failure type its setters throw.
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
    Q_PROPERTY(qint16 CommPort READ CommPort WRITE setCommPort)
    Q_PROPERTY(QString Codice READ Codice)
    Q_PROPERTY(TipoBadge_Enum TipoBadge READ TipoBadge WRITE setTipoBadge)
    Q_PROPERTY(qint32 TMantCode READ TMantCode WRITE setTMantCode)
    Q_PROPERTY(bool CodificaQuendel READ CodificaQuendel WRITE setCodificaQuendel)
    Q_PROPERTY(quint32 ColoreErrore READ ColoreErrore WRITE setColoreErrore)
    Q_PROPERTY(quint32 ColoreConnesso READ ColoreConnesso WRITE setColoreConnesso)
    Q_PROPERTY(quint32 ColoreLettura READ ColoreLettura WRITE setColoreLettura)
    Q_PROPERTY(TipoDispositivo_Enum TipoDispositivo READ TipoDispositivo WRITE setTipoDispositivo)
    Q_PROPERTY(qint32 CheckVersion READ CheckVersion WRITE setCheckVersion)
    Q_PROPERTY(bool Attivo READ Attivo WRITE setAttivo)
    Q_PROPERTY(bool RiconnessioneAutomatica READ RiconnessioneAutomatica WRITE setRiconnessioneAutomatica)

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

    // Creation steps run here; then the container calls InitProperties (a new
    // instance) or ReadProperties (stored properties), once.
    explicit ucTalumbra(QWidget* parent = nullptr, Container* container = nullptr);
    ~ucTalumbra() override;

    void InitProperties();
    void ReadProperties(PropertyBag& store);
    void WriteProperties(PropertyBag& store);

    qint16 CommPort() const;
    void setCommPort(qint16 v);
    QString Codice() const;
    TipoBadge_Enum TipoBadge() const;
    void setTipoBadge(TipoBadge_Enum v);
    qint32 TMantCode() const;
    void setTMantCode(qint32 v);
    bool CodificaQuendel() const;
    void setCodificaQuendel(bool v);
    quint32 ColoreErrore() const;
    void setColoreErrore(quint32 v);
    quint32 ColoreConnesso() const;
    void setColoreConnesso(quint32 v);
    quint32 ColoreLettura() const;
    void setColoreLettura(quint32 v);
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

    struct Stato_;
    std::unique_ptr<Stato_> d;
};
