// Builds a control's port list and prints how long the 256 probes took.
// The list is built by the first refresh of a closed control; assigning a
// colour is such a refresh. Two folders: empty (the machine's own serial
// devices are probed too), and one whose links mask those devices, so that
// no number is usable. The control answers no question and runs no presence
// check (type tdKez3), so only the probes (and, when a port is usable, its
// opening) are timed.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "talumbra/ucTalumbra.h"

namespace {

void Misura(const char* nome, const QString& cartella, int giri) {
    qputenv("TALUMBRA_PORTS", QDir(cartella).absolutePath().toLocal8Bit());
    std::vector<double> ms;
    int voci = 0;
    for (int i = 0; i < giri; ++i) {
        ucTalumbra c;
        c.setDomanda([](const QString&) { return false; });
        c.setTipoDispositivo(ucTalumbra::tdKez3);
        QElapsedTimer t;
        t.start();
        c.setColoreErrore(c.ColoreErrore());
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
        voci = int(c.findChild<QComboBox*>("cmbSeriale")->count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("port list, 256 probes, %s: median %.2f ms, worst %.2f ms over %d runs (%d usable)\n", nome,
                ms[ms.size() / 2], ms.back(), giri, voci);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int giri = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;

    QTemporaryDir vuota;
    Misura("empty TALUMBRA_PORTS", vuota.path(), giri);

    QTemporaryDir mascherata;
    const char* famiglie[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
    for (int f = 0; f < 3; ++f)
        for (int i = 0; i < 32; ++i)
            if (QFile::exists(QStringLiteral("%1%2").arg(famiglie[f]).arg(i)))
                QFile::link("/nonexistent/talumbra-masked",
                            QDir(mascherata.path()).filePath(QStringLiteral("com%1").arg(f * 32 + i + 1)));
    Misura("no usable device", mascherata.path(), giri);
    return 0;
}
