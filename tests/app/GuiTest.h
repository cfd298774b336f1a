// Helpers for tests that run the main window in this process, headless.
#pragma once

#include "app/ErrorHandler.h"
#include "app/Paths.h"
#include "app/Resources.h"
#include "tests/support/CompressorCache.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

QT_BEGIN_NAMESPACE
// Readable QString values in test failures.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

namespace qeltv::test {

// Temporary folders in the shape the program uses. Their cache holds the
// test run's compressor trial results (tests/support/CompressorCache.h):
// without them every window would wait seconds for its own trials.
inline Paths TempPaths(const QTemporaryDir& dir) {
    const std::filesystem::path root = dir.path().toStdString();
    Paths p;
    p.runtimeDir = root / "run" / "qeltv";
    p.configDir = root / "config" / "qeltv";
    p.dataDir = root / "data" / "qeltv";
    p.cacheDir = root / "cache" / "qeltv";
    p.videosDir = root / "videos" / "qeltv";
    p.createRuntimeDir();
    SeedCompressorCache(QString::fromStdString(p.cacheDir.string()));
    return p;
}

// Answers the modal windows that appear: message boxes are read and
// confirmed; any other dialog goes to `onDialog`.
class ModalAnswerer : public QObject {
public:
    std::function<void(QDialog*)> onDialog = [](QDialog* d) { d->reject(); };
    QStringList messages;

    ModalAnswerer() {
        timer_.setInterval(20);
        connect(&timer_, &QTimer::timeout, this, [this] {
            QWidget* w = QApplication::activeModalWidget();
            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                messages << box->text();
                box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click()
                                             : box->reject();
            } else if (auto* dialog = qobject_cast<QDialog*>(w)) {
                onDialog(dialog);
            }
        });
        timer_.start();
    }

private:
    QTimer timer_;
};

inline QelApplication& App() {
    return *static_cast<QelApplication*>(QApplication::instance());
}

} // namespace qeltv::test

// The tests need the program's own application object.
#define QELTV_GUI_TEST_MAIN()                                                                      \
    int main(int argc, char** argv) {                                                              \
        qputenv("QT_QPA_PLATFORM", "offscreen");                                                   \
        qeltv::QelApplication app(argc, argv);                                                     \
        QApplication::setApplicationDisplayName("qEL TV");                                         \
        QApplication::setQuitOnLastWindowClosed(false);                                            \
        qeltv::RegisterResources();                                                                \
        testing::InitGoogleTest(&argc, argv);                                                      \
        return RUN_ALL_TESTS();                                                                    \
    }
