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
     <property name="ColoreErrore"><UInt>255</UInt></property>
     <property name="ColoreConnesso"><UInt>65280</UInt></property>
     <property name="ColoreLettura"><UInt>16711680</UInt></property>
     <property name="TipoDispositivo"><enum>ucTalumbra::tdMifareMAVO</enum></property>
     <property name="CheckVersion"><number>5000</number></property>
    </widget>
   </item>
  </layout>
 </widget>
</ui>
)";

TEST(Designer, PropertiesOfTheFormReachTheControl) {
    QUiLoader loader;
    loader.clearPluginPaths();
    loader.addPluginPath(QStringLiteral(TALUMBRA_PLUGIN_DIR));
    ASSERT_TRUE(loader.availableWidgets().contains(QStringLiteral("ucTalumbra")));

    QByteArray testo(kModulo);
    QBuffer buf(&testo);
    buf.open(QIODevice::ReadOnly);
    std::unique_ptr<QWidget> modulo(loader.load(&buf));
    ASSERT_TRUE(modulo) << qPrintable(loader.errorString());
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
    // Port 200 is in no table and has no entry: nothing could be opened.
    EXPECT_FALSE(c->Attivo());
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

TEST(Designer, InDesignerNoPortIsOpened) {
    int master = -1, slaveFd = -1;
    char nome[256] = {};
    ASSERT_EQ(::openpty(&master, &slaveFd, nome, nullptr, nullptr), 0);
    // The test's own descriptor keeps the pty alive; any other is the control's.
    const QString slave = QString::fromLocal8Bit(nome);
    ASSERT_TRUE(QFile::link(slave, cartellaPorte->filePath(QStringLiteral("com201"))));

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
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents();
        ::usleep(10000);
    }
    EXPECT_TRUE(c->Attivo());  // as designed, to be written into the form
    EXPECT_EQ(c->CommPort(), 201);
    EXPECT_EQ(Aperti(slave), 1);
    EXPECT_FALSE(DatiInArrivo(master));
    ASSERT_TRUE(c->setProperty("Attivo", false));  // would list the ports
    QApplication::processEvents();
    EXPECT_EQ(Aperti(slave), 1);
    w.reset();
    EXPECT_FALSE(DatiInArrivo(master));
    ::close(slaveFd);
    ::close(master);
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
