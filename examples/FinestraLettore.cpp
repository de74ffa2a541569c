#include "FinestraLettore.h"

#include <cstdio>

FinestraLettore::FinestraLettore(QWidget* parent) : QWidget(parent) {
    ui.setupUi(this);
    connect(ui.lettore, &ucTalumbra::Lettura, this, &FinestraLettore::lettore_Lettura);
    connect(ui.lettore, &ucTalumbra::Stato, this, &FinestraLettore::lettore_Stato);
    connect(ui.lettore, &ucTalumbra::FindDevice, this, &FinestraLettore::lettore_FindDevice);
    connect(ui.lettore, &ucTalumbra::Anomalia, this, &FinestraLettore::lettore_Anomalia);
}

void FinestraLettore::Apri(int porta) {
    // The form's control opens its port when Attivo is set; a port that cannot
    // be opened shows in Stato.
    try {
        ui.lettore->setCommPort(porta);
        ui.lettore->setAttivo(true);
    } catch (const talumbra::Fallimento& f) {
        ui.lblStato->setText(
            QStringLiteral("Errore %1 %2").arg(f.Numero()).arg(QString::fromStdString(f.Descrizione())));
    }
}

void FinestraLettore::lettore_Lettura(QString& codice) {
    ui.lstCodici->insertItem(0, codice);
    std::printf("%s\n", qPrintable(codice));
    std::fflush(stdout);
}

void FinestraLettore::lettore_Stato(bool& attivo) {
    ui.lblStato->setText(attivo ? QStringLiteral("Porta %1 aperta").arg(ui.lettore->CommPort())
                                : QStringLiteral("Porta chiusa"));
}

void FinestraLettore::lettore_FindDevice(bool& trovato, ucTalumbra::TipoDispositivo_Enum& tipo) {
    ui.lblStato->setText(trovato ? QStringLiteral("Lettore di tipo %1 pronto").arg(int(tipo))
                                 : QStringLiteral("Nessun lettore sulla porta %1").arg(ui.lettore->CommPort()));
}

void FinestraLettore::lettore_Anomalia(QString& testo) { ui.lblStato->setText(testo); }
