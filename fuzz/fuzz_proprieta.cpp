// The property-store reader: a stored-properties file of any content, loaded
// into a control over the fake port. Loading may refuse a value with a
// failure, but never crashes, hangs or leaves the control unusable.
#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

#include "control/SessioneCorrente.h"
#include "fuzz/FuzzComune.h"
#include "talumbra/ucTalumbra.h"

using namespace talumbra;

namespace {
QApplication& App() {
    static int argc = 1;
    static char nome[] = "fuzz_proprieta";
    static char* argv[] = {nome, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(argc, argv);
    return app;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dati, size_t n) {
    App();
    static QTemporaryDir cartella;
    const QString percorso = cartella.filePath("ctl.ini");
    {
        QFile f(percorso);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 0;
        f.write(reinterpret_cast<const char*>(dati), static_cast<qint64>(n));
    }
    test::FakePiattaforma fp;
    {
        ucTalumbra ctl;
        ctl.setDomanda([](const QString&) { return false; });
        auto store = ucTalumbra::FileProprieta(percorso);
        try {
            ctl.ReadProperties(*store);
        } catch (const Fallimento&) {
            // A value of the wrong type or range is refused with a failure.
        }
        // Whatever was loaded can be saved again.
        auto uscita = ucTalumbra::FileProprieta(cartella.filePath("out.ini"));
        ctl.WriteProperties(*uscita);
        FUZZ_VERIFICA(ctl.CheckVersion() == ctl.CheckVersion());
    }
    // The session holds a fake port of this run's platform.
    setSessioneCorrente(nullptr);
    return 0;
}
