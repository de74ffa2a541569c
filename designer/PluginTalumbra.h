#pragma once
// Puts ucTalumbra in Qt Designer's widget box. Controls made for a form being
// edited open no port; those of Designer's preview and of a form loaded at run
// time (QUiLoader) are ordinary.
#include <QObject>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>

class PluginTalumbra : public QObject, public QDesignerCustomWidgetInterface {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QDesignerCustomWidgetInterface")
    Q_INTERFACES(QDesignerCustomWidgetInterface)

public:
    explicit PluginTalumbra(QObject* parent = nullptr);

    QString name() const override;
    QString group() const override;
    QString toolTip() const override;
    QString whatsThis() const override;
    QString includeFile() const override;
    QIcon icon() const override;
    bool isContainer() const override;
    QWidget* createWidget(QWidget* parent) override;
    bool isInitialized() const override;
    void initialize(QDesignerFormEditorInterface* core) override;
    QString domXml() const override;

private:
    // Set only by Designer itself: a form loader never initialises its plugins.
    QDesignerFormEditorInterface* core_ = nullptr;
};
