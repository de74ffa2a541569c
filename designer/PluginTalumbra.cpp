#include "PluginTalumbra.h"

#include <talumbra/ucTalumbra.h>
#include <QIcon>
#include <QPainter>
#include <QPixmap>

namespace {
// By class name: a form loader that loads this plugin need not load Designer's library.
bool InFormWindow(const QWidget* w) {
    for (; w; w = w->parentWidget())
        if (w->inherits("QDesignerFormWindowInterface")) return true;
    return false;
}
}  // namespace

PluginTalumbra::PluginTalumbra(QObject* parent) : QObject(parent) {}

QString PluginTalumbra::name() const { return QStringLiteral("ucTalumbra"); }
QString PluginTalumbra::group() const { return QStringLiteral("Talumbra"); }
QString PluginTalumbra::toolTip() const { return QStringLiteral("Lettore di badge su porta seriale"); }

QString PluginTalumbra::whatsThis() const {
    return QStringLiteral(
        "Legge i badge da un lettore sulla porta seriale CommPort e solleva Lettura per ogni codice. "
        "Nel progetto del form la porta non viene aperta.");
}

QString PluginTalumbra::includeFile() const { return QStringLiteral("talumbra/ucTalumbra.h"); }
bool PluginTalumbra::isContainer() const { return false; }
bool PluginTalumbra::isInitialized() const { return core_ != nullptr; }
void PluginTalumbra::initialize(QDesignerFormEditorInterface* core) {
    if (!core_) core_ = core;
}

QIcon PluginTalumbra::icon() const {
    // A badge card with the reader's waves, drawn here: no image format plugin needed.
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x2b, 0x4c, 0x7e), 1.5));
    p.setBrush(QColor(0x80, 0xff, 0x80));
    p.drawRoundedRect(QRectF(2.5, 9.5, 19, 14), 2.5, 2.5);
    p.setBrush(QColor(0x2b, 0x4c, 0x7e));
    p.drawRect(QRectF(5.5, 13.5, 6, 5));
    p.setBrush(Qt::NoBrush);
    for (int r : {5, 9}) p.drawArc(QRectF(24 - r, 16 - r, 2 * r, 2 * r), -45 * 16, 90 * 16);
    return QIcon(pm);
}

QWidget* PluginTalumbra::createWidget(QWidget* parent) {
    auto* w = new ucTalumbra(parent);
    // Inside Designer, a control on a form being edited (or on none: the widget
    // box, the property defaults) is only designed. Form > Preview builds the
    // form outside any form window: there it runs as in the application.
    if (core_ && (!parent || InFormWindow(parent))) w->setModoProgetto(true);
    return w;
}

QString PluginTalumbra::domXml() const {
    return QStringLiteral(
        "<ui language=\"c++\" displayname=\"ucTalumbra\">\n"
        " <widget class=\"ucTalumbra\" name=\"ucTalumbra1\">\n"
        "  <property name=\"geometry\"><rect><x>0</x><y>0</y><width>160</width><height>45</height></rect>"
        "</property>\n"
        " </widget>\n"
        "</ui>\n");
}
