#pragma once
// frmMain: Brelvo's one window. It carries the reader control and the typing
// options, keeps them in "Seriale.cfg", and delivers every code read to the
// clipboard and, when asked, as keystrokes.
#include <QWidget>
#include <csignal>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

#include <talumbra/ucTalumbra.h>
#include "Tastiera.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

namespace brelvo {

class frmMain : public QWidget, public ucTalumbra::Container {
    Q_OBJECT
public:
    // Shows a message with only an OK button.
    using Messaggio = std::function<void(const QString& testo)>;

    // The window description built into the program: the control's stored properties.
    static QString DescrizioneFinestra();

    // Creates the window and its control and restores the control's stored
    // properties; start-up runs in Form_Load.
    explicit frmMain(std::unique_ptr<Tastiera> tastiera, QWidget* parent = nullptr);
    ~frmMain() override;

    // Start-up: reads "Seriale.cfg" and drives the control from it.
    void Form_Load();
    void setMessaggio(Messaggio m);
    // The settings file; "Seriale.cfg" in the working directory unless a test says otherwise.
    void setPercorsoCfg(const QString& p) { percorsoCfg_ = p; }

    // A close signal (SIGTERM, SIGINT, SIGHUP): the window closes as the user
    // would, at whatever point it comes. No question or message opens from
    // then on, an open one closes as Cancel, and a presence check that keeps
    // the program waiting on a silent reader is cut short by closing the port.
    void ChiudiPerSegnale();
    // True once a close signal came; `segnale` is set by the signal handler
    // itself, before the event loop hears of it.
    bool InChiusura() const { return chiusura_ || (segnale_ && *segnale_); }
    void setSegnale(const volatile std::sig_atomic_t* segnale) { segnale_ = segnale; }

    // ucTalumbra::Container
    quint32 AmbientBackColor() const override;
    void PropertyChanged(const QString& nome) override;

    ucTalumbra* ucTalumbra1 = nullptr;
    QComboBox* cmbTipoTag = nullptr;
    QLabel* lblAntiRimb = nullptr;
    QLineEdit* txtTMCode = nullptr;
    QCheckBox* chkattiva = nullptr;
    QCheckBox* chkCapo = nullptr;
    QCheckBox* chkScrivi = nullptr;
    QCheckBox* chkDownArrow = nullptr;

    int16_t NSeriale = 0;
    int16_t mACapo = 0;
    int16_t mScrivi = 0;
    int16_t mFrecciaGiu = 0;

protected:
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* o, QEvent* e) override;

private:
    void chkattiva_Click();
    void chkCapo_Click();
    void chkDownArrow_Click();
    void chkScrivi_Click();
    void cmbTipoTag_Click();
    void txtTMCode_LostFocus();
    void ucTalumbra1_Lettura(QString& sCodice);
    void ucTalumbra1_Stato(bool& bAttuale);
    void ucTalumbra1_FindDevice(bool& bFind, ucTalumbra::TipoDispositivo_Enum& Dispositivo);
    void Form_Unload();

    // Runs a handler for Qt: no exception leaves it. During start-up a failure
    // is kept for Form_Load to end on; otherwise it is shown.
    template <class F>
    void Gestore(F f);
    void MostraErrore(std::exception_ptr e);
    QRect DaTwip(int sinistra, int alto, int larghezza, int altezza) const;
    void Posiziona(QWidget* w, int sinistra, int alto, int larghezza, int altezza);
    void FaiSpazioAiTesti();

    std::unique_ptr<Tastiera> tastiera_;
    Messaggio messaggio_;
    QString percorsoCfg_ = QStringLiteral("Seriale.cfg");
    bool inAvvio_ = false;
    std::exception_ptr erroreAvvio_;
    bool scaricata_ = false;
    bool chiusura_ = false;
    bool portaAssegnata_ = false;
    bool cfgRifiutato_ = false;  // "Seriale.cfg" was refused: it is left as it is
    const volatile std::sig_atomic_t* segnale_ = nullptr;
};

// "Errore ", the number, a blank, the description.
QString TestoErrore(std::exception_ptr e);

}  // namespace brelvo
