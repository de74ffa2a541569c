// Builds a control's port list with an empty port folder and prints how long
// the 256 probes took. The list is built by the first refresh of a closed
// control; assigning a colour is such a refresh.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "ucTalumbra.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir vuota;
    qputenv("TALUMBRA_PORTS", QDir(vuota.path()).absolutePath().toLocal8Bit());
    QApplication app(argc, argv);

    const int giri = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    std::vector<double> ms;
    int voci = 0;
    for (int i = 0; i < giri; ++i) {
        ucTalumbra c;
        QElapsedTimer t;
        t.start();
        c.setColoreErrore(c.ColoreErrore());
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
        voci = c.findChild<QComboBox*>("cmbSeriale")->count();
    }
    std::sort(ms.begin(), ms.end());
    std::printf("port list, 256 probes, empty TALUMBRA_PORTS: median %.2f ms, worst %.2f ms over %d runs (%d usable)\n",
                ms[ms.size() / 2], ms.back(), giri, voci);
    return 0;
}
