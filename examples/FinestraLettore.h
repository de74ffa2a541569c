#pragma once
#include <QWidget>

#include "ui_FinestraLettore.h"

// The window of the form: it lists every code the reader delivers.
class FinestraLettore : public QWidget {
    Q_OBJECT
public:
    explicit FinestraLettore(QWidget* parent = nullptr);
    // Opens the reader on port N (1-256): the control looks the reader up and
    // raises Lettura for every badge from then on.
    void Apri(int porta);

private:
    void lettore_Lettura(QString& codice);
    void lettore_Stato(bool& attivo);
    void lettore_FindDevice(bool& trovato, ucTalumbra::TipoDispositivo_Enum& tipo);
    void lettore_Anomalia(QString& testo);

    Ui::FinestraLettore ui;
};
