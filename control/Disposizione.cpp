// The control on screen: its colours and its layout in twips, the refresh
// after painting.
#include <QApplication>
#include <QComboBox>
#include <QPaintEvent>
#include <QResizeEvent>
#include <algorithm>

#include "control/Interno.h"

using namespace talumbra::controllo;

namespace {

// Twips of the layout: 1440 to the inch.
constexpr int kRigaTwips = 375;
constexpr int kTxtTop = 60, kTxtAltezza = 285;
constexpr int kCmbTop = 360, kCmbAltezza = 315;

}  // namespace

quint32 ucTalumbra::Ambiente() const {
    if (d->container) return d->container->AmbientBackColor();
    const QWidget* p = parentWidget();
    return AColore((p ? p->palette() : QApplication::palette()).color(QPalette::Window));
}

void ucTalumbra::ImpostaSfondo(quint32 colore) {
    QPalette pal = palette();
    QColor c = DaColore(colore);
    if (pal.color(QPalette::Window) == c) return;
    pal.setColor(QPalette::Window, c);
    setPalette(pal);
}

void ucTalumbra::ImpostaSfondoCodice(quint32 colore) {
    QPalette pal = d->txtCode->palette();
    QColor c = DaColore(colore);
    if (pal.color(QPalette::Base) == c) return;
    pal.setColor(QPalette::Base, c);
    d->txtCode->setPalette(pal);
}

void ucTalumbra::Disponi() {
    const bool lista = !d->cmbSeriale->isHidden();
    const int dpiY = logicalDpiY() > 0 ? logicalDpiY() : 96;
    auto px = [dpiY](int twips) { return (twips * dpiY + 720) / 1440; };
    const int altezza = px(kRigaTwips * (lista ? 2 : 1));
    if (height() != altezza) {
        setFixedHeight(altezza);
        resize(width(), altezza);
    }
    d->txtCode->setGeometry(0, px(kTxtTop), std::max(0, width()), px(kTxtAltezza));
    d->cmbSeriale->setGeometry(0, px(kCmbTop), std::max(0, width()), px(kCmbAltezza));
}

void ucTalumbra::paintEvent(QPaintEvent* e) {
    QWidget::paintEvent(e);
    // Refresh after the paint, never inside it: the refresh may build the
    // port list, reopen the port or ask the user.
    if (d->aggiornaInCoda) return;
    d->aggiornaInCoda = true;
    QTimer::singleShot(0, this, [this] {
        d->aggiornaInCoda = false;
        Protetto([this] { AggiornaStato(); });
    });
}

void ucTalumbra::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    Protetto([this] { Disponi(); });
}
