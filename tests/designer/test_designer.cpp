// The Designer plugin. A form loaded at run time hands every property written
// in the .ui to the control; a control made inside Designer never opens its
// port, whatever the form says, nor when it is thrown away.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <talumbra/ucTalumbra.h>
#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaProperty>
#include <QPluginLoader>
#include <QTemporaryDir>
#include <QUiLoader>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>
#include <cstddef>
#include <memory>

namespace {

QTemporaryDir* cartellaPorte = nullptr;

const char* const kModulo = R"(<ui version="4.0">
 <class>Modulo</class>
 <widget class="QWidget" name="Modulo">
  <layout class="QVBoxLayout" name="colonna">
   <item>
    <widget class="ucTalumbra" name="lettore">
     <property name="CommPort"><number>200</number></property>
     <property name="TipoBadge"><enum>ucTalumbra::tb_HITAG_2</enum></property>
     <property name="TMantCode"><number>750</number></property>
     <property name="CodificaQuendel"><bool>false</bool></property>
     <property name="ColoreErrore"><color><red>255</red><green>0</green><blue>0</blue></color></property>
     <property name="ColoreConnesso"><color><red>0</red><green>255</green><blue>0</blue></color></property>
     <property name="ColoreLettura"><color><red>0</red><green>0</green><blue>255</blue></color></property>
     <property name="TipoDispositivo"><enum>ucTalumbra::tdMifareMAVO</enum></property>
     <property name="CheckVersion"><number>5000</number></property>
    </widget>
   </item>
  </layout>
 </widget>
</ui>
)";

// A form of one control with the given properties.
QByteArray Modulo(const char* proprieta) {
    return QByteArray(R"(<ui version="4.0"><class>Modulo</class><widget class="QWidget" name="Modulo">)"
                      R"(<widget class="ucTalumbra" name="lettore">)") +
           proprieta + "</widget></widget></ui>";
}

std::unique_ptr<QWidget> Carica(QByteArray testo) {
    QUiLoader loader;
    loader.clearPluginPaths();
    loader.addPluginPath(QStringLiteral(TALUMBRA_PLUGIN_DIR));
    EXPECT_TRUE(loader.availableWidgets().contains(QStringLiteral("ucTalumbra")));
    QBuffer buf(&testo);
    buf.open(QIODevice::ReadOnly);
    std::unique_ptr<QWidget> modulo(loader.load(&buf));
    EXPECT_TRUE(modulo) << qPrintable(loader.errorString());
    return modulo;
}

// How many descriptors of this process are open on the pty's slave.
int Aperti(const QString& slave) {
    int n = 0;
    for (const QFileInfo& f : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::Files))
        if (f.symLinkTarget() == slave) ++n;
    return n;
}

bool DatiInArrivo(int master) {
    pollfd p{master, POLLIN, 0};
    return ::poll(&p, 1, 50) > 0 && (p.revents & POLLIN);
}

// A pty standing for the port comN of the tests' folder.
struct Pty {
    int master = -1, slaveFd = -1;
    QString slave;
    explicit Pty(int numero) {
        char nome[256] = {};
        if (::openpty(&master, &slaveFd, nome, nullptr, nullptr) != 0) return;
        slave = QString::fromLocal8Bit(nome);
        QFile::link(slave, cartellaPorte->filePath(QStringLiteral("com%1").arg(numero)));
    }
    ~Pty() {
        ::close(slaveFd);
        ::close(master);
    }
};

void Gira() {
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents();
        ::usleep(10000);
    }
}

TEST(Designer, PropertyTypesAreOnesDesignerEdits) {
    const QMetaObject& mo = ucTalumbra::staticMetaObject;
    const std::pair<const char*, int> tipi[] = {
        {"CommPort", QMetaType::Int},          {"TMantCode", QMetaType::Int},
        {"CheckVersion", QMetaType::Int},      {"ColoreErrore", QMetaType::QColor},
        {"ColoreConnesso", QMetaType::QColor}, {"ColoreLettura", QMetaType::QColor}};
    for (auto [nome, tipo] : tipi) {
        const QMetaProperty p = mo.property(mo.indexOfProperty(nome));
        EXPECT_EQ(p.typeId(), tipo) << nome;
        EXPECT_TRUE(p.isDesignable() && p.isWritable()) << nome;
    }
    for (const char* nome : {"Attivo", "Codice", "TipoDispositivo"})
        EXPECT_TRUE(mo.property(mo.indexOfProperty(nome)).hasNotifySignal()) << nome;
}

TEST(Designer, PropertiesOfTheFormReachTheControl) {
    std::unique_ptr<QWidget> modulo = Carica(kModulo);
    ASSERT_TRUE(modulo);
    auto* c = modulo->findChild<ucTalumbra*>(QStringLiteral("lettore"));
    ASSERT_NE(c, nullptr);
    EXPECT_FALSE(c->ModoProgetto());
    EXPECT_EQ(c->CommPort(), 200);
    EXPECT_EQ(c->TipoBadge(), ucTalumbra::tb_HITAG_2);
    EXPECT_EQ(c->TMantCode(), 750);
    EXPECT_FALSE(c->CodificaQuendel());
    EXPECT_EQ(c->ColoreErrore(), 255u);
    EXPECT_EQ(c->ColoreConnesso(), 65280u);
    EXPECT_EQ(c->ColoreLettura(), 16711680u);
    EXPECT_EQ(c->TipoDispositivo(), ucTalumbra::tdMifareMAVO);
    EXPECT_EQ(c->CheckVersion(), 5000);
    EXPECT_FALSE(c->Attivo());
    modulo.reset();

    // A port, a repeat time and a colour; the port is not opened without Attivo.
    Pty pty(5);
    ASSERT_FALSE(pty.slave.isEmpty());
    modulo = Carica(Modulo(R"(<property name="CommPort"><number>5</number></property>)"
                           R"(<property name="TMantCode"><number>800</number></property>)"
                           R"(<property name="ColoreConnesso"><color><red>1</red><green>2</green><blue>3</blue>)"
                           R"(</color></property>)"));
    ASSERT_TRUE(modulo);
    c = modulo->findChild<ucTalumbra*>();
    ASSERT_NE(c, nullptr);
    modulo->show();
    Gira();
    EXPECT_EQ(c->CommPort(), 5);
    EXPECT_EQ(c->TMantCode(), 800);
    EXPECT_EQ(c->ColoreConnesso(), 0x030201u);
    EXPECT_FALSE(c->Attivo());
    EXPECT_EQ(Aperti(pty.slave), 1);
    modulo.reset();
    EXPECT_FALSE(DatiInArrivo(pty.master));

    // No properties: a new instance's values, over those the last form left.
    modulo = Carica(Modulo(""));
    ASSERT_TRUE(modulo);
    c = modulo->findChild<ucTalumbra*>();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->CommPort(), 1);
    EXPECT_EQ(c->TipoBadge(), ucTalumbra::tb_EM_4x02);
    EXPECT_EQ(c->TMantCode(), 500);
    EXPECT_TRUE(c->CodificaQuendel());
    EXPECT_EQ(c->CheckVersion(), 0);
    EXPECT_EQ(c->property("ColoreConnesso").value<QColor>(), QColor(128, 255, 128));
    EXPECT_EQ(c->ColoreLettura(), 8454143u);
    EXPECT_EQ(c->ColoreErrore(), 8421631u);
    EXPECT_FALSE(c->Attivo());
}

TEST(Designer, InDesignerNoPortIsOpened) {
    // The test's own descriptor keeps the pty alive; any other is the control's.
    Pty pty(201);
    ASSERT_FALSE(pty.slave.isEmpty());
    const QString slave = pty.slave;
    const int master = pty.master;

    QPluginLoader plugin(QStringLiteral(TALUMBRA_PLUGIN));
    auto* interfaccia = qobject_cast<QDesignerCustomWidgetInterface*>(plugin.instance());
    ASSERT_NE(interfaccia, nullptr) << qPrintable(plugin.errorString());
    EXPECT_EQ(interfaccia->name(), QStringLiteral("ucTalumbra"));
    EXPECT_EQ(interfaccia->group(), QStringLiteral("Talumbra"));
    EXPECT_FALSE(interfaccia->icon().isNull());
    EXPECT_TRUE(interfaccia->domXml().contains(QStringLiteral("class=\"ucTalumbra\"")));

    // Designer hands its form editor over; the plugin only notes that there is one.
    alignas(std::max_align_t) static char editore[64];
    interfaccia->initialize(reinterpret_cast<QDesignerFormEditorInterface*>(editore));
    std::unique_ptr<QWidget> w(interfaccia->createWidget(nullptr));
    auto* c = qobject_cast<ucTalumbra*>(w.get());
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->ModoProgetto());
    // What Designer does when the form says so, then shows and repaints it.
    ASSERT_TRUE(c->setProperty("CommPort", 201));
    ASSERT_TRUE(c->setProperty("Attivo", true));
    ASSERT_TRUE(c->setProperty("CheckVersion", 100));
    c->show();
    Gira();
    EXPECT_TRUE(c->Attivo());  // as designed, to be written into the form
    EXPECT_EQ(c->CommPort(), 201);
    EXPECT_EQ(Aperti(slave), 1);
    EXPECT_FALSE(DatiInArrivo(master));
    ASSERT_TRUE(c->setProperty("Attivo", false));  // would list the ports
    QApplication::processEvents();
    EXPECT_EQ(Aperti(slave), 1);
    w.reset();
    EXPECT_FALSE(DatiInArrivo(master));

    // Designer's preview builds the form outside any form window: the control
    // there is an ordinary one, whose port a form's Attivo opens.
    QWidget anteprima;
    auto* p = qobject_cast<ucTalumbra*>(interfaccia->createWidget(&anteprima));
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(p->ModoProgetto());
    ASSERT_TRUE(p->setProperty("CommPort", 201));
    ASSERT_TRUE(p->setProperty("TipoDispositivo", ucTalumbra::tdKez3));  // opened without a search
    EXPECT_EQ(Aperti(slave), 1);
    ASSERT_TRUE(p->setProperty("Attivo", true));
    EXPECT_EQ(Aperti(slave), 2);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The tests' own ports folder; the machine's serial devices are masked by
    // dangling links, or a closed control listing the ports would open them.
    QTemporaryDir cartella;
    cartellaPorte = &cartella;
    qputenv("TALUMBRA_PORTS", cartella.path().toLocal8Bit());
    const char* famiglie[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
    for (int f = 0; f < 3; ++f)
        for (int i = 0; i < 32; ++i)
            if (QFile::exists(QStringLiteral("%1%2").arg(famiglie[f]).arg(i)))
                QFile::link(QStringLiteral("/nonexistent/talumbra-masked"),
                            cartella.filePath(QStringLiteral("com%1").arg(f * 32 + i + 1)));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
