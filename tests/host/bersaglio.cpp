// brelvo_bersaglio: a small text window that receives Brelvo's keystrokes.
// It shows what arrives and logs every key press on standard output, one line
// each, flushed at once:
//   pronto <window id>        once shown
//   tasto <key> <text as hex> for each key press (Return and Down have no text),
//                             followed by " ripetuto" when Qt takes it for auto-repeat
#include <QApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTimer>
#include <cstdio>

namespace {
class Bersaglio : public QPlainTextEdit {
protected:
    void keyPressEvent(QKeyEvent* e) override {
        std::printf("tasto %d %s%s\n", e->key(), e->text().isEmpty() ? "-" : e->text().toUtf8().toHex().constData(),
                    e->isAutoRepeat() ? " ripetuto" : "");
        std::fflush(stdout);
        QPlainTextEdit::keyPressEvent(e);
    }
};
}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Bersaglio b;
    b.setWindowTitle(QStringLiteral("Bersaglio"));
    b.setPlaceholderText(QStringLiteral("I codici digitati da Brelvo arrivano qui."));
    b.setGeometry(20, 160, 420, 240);
    b.show();
    b.activateWindow();
    QTimer::singleShot(0, &b, [&] {
        std::printf("pronto %llu\n", static_cast<unsigned long long>(b.winId()));
        std::fflush(stdout);
    });
    return app.exec();
}
