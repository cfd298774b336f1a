// The real main window on the Virtual TV Card with three channels, its web
// server started from the "Web options" page on a port the system chose, for
// the tests that reach the program through its web pages.
#pragma once

#include "app/uFrmMain.h"
#include "tests/app/FreePort.h"
#include "tests/app/GuiTest.h"
#include "tests/settings/TempDir.h"

#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>

namespace qeltv::test {

struct Window {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    std::unique_ptr<TfrmMain> w;
    ModalAnswerer answerer;

    Window() {
        WriteFile(paths.machineStore(),
                  "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\TV System "
                  "Services\\TVAutoTune\\TS31-1]\n\"1\"=dword:02e03c90\n\"2\"=dword:034b0c50\n"
                  "\"3\"=dword:03b5dc10\n");
        w = std::make_unique<TfrmMain>(paths, std::nullopt, nullptr, App());
        w->findChild<QSpinBox*>("seWebcastPort")->setValue(FreePort());
    }
    ~Window() {
        w->close();
        w.reset();
    }
    template <class T> T* control(const char* name) { return w->findChild<T*>(name); }
    // Starts the server with a connection limit on port 0, so the system
    // picks a free port while it binds; returns the port the server got.
    int startServer(int limit) {
        WebOptions options = w->session().webcast().options();
        options.webServerPort = 0;
        w->session().webcast().setOptions(options);
        control<QSpinBox>("seWebcastClients")->setValue(limit);
        control<QPushButton>("btnStartWebserver")->click();
        EXPECT_TRUE(w->session().webServer().active())
            << w->statusBar()->currentMessage().toStdString();
        EXPECT_NE(w->session().webServer().port(), 0);
        return w->session().webServer().port();
    }
};

} // namespace qeltv::test
