// Shared set-up of the graph tests: an offscreen application, temporary XDG
// folders, the Virtual TV Card with its auto-tune store, and a graph.
#pragma once

#include "capture/Devices.h"
#include "capture/FilterGraph.h"
#include "capture/VirtualTvCard.h"
#include "settings/AutoTuneStore.h"
#include "settings/RegStore.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <memory>

namespace qeltv::test {

// The application of the test program: its own one, or the one that the
// program made already (the window tests make theirs).
inline QGuiApplication& App() {
    static int argc = 1;
    static char name[] = "capture_test";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = [] {
        gst_init(nullptr, nullptr);
        if (auto* existing = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
            return existing;
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QGuiApplication(argc, argv);
    }();
    return *app;
}

// Runs the GUI event loop until cond holds or timeout_ms passes.
inline bool WaitUntil(const std::function<bool()>& cond, int timeout_ms) {
    QElapsedTimer timer;
    timer.start();
    while (!cond()) {
        if (timer.elapsed() > timeout_ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

inline void Spin(int duration_ms) {
    WaitUntil([] { return false; }, duration_ms);
}

// The main window's recording filters (JPEG video, PCM audio), attached.
struct RecordingObjects {
    FilterObject vcap, acap, vcomp, acomp, mux, out, null;

    explicit RecordingObjects(FilterGraph& graph)
        : vcap(graph, "filterVideoCap"), acap(graph, "filterAudioCap"),
          vcomp(graph, "filterVideoCompression"), acomp(graph, "filterAudioCompression"),
          mux(graph, "filterAVIMux"), out(graph, "filterAVIOut"), null(graph, "filterNull") {
        vcap.setMoniker(kVirtualCardMoniker);
        acap.setMoniker(kVirtualCardAudioMoniker);
        vcomp.setMoniker("encoder:jpegenc");
        acomp.setMoniker(kPcmMoniker);
        mux.setMoniker(kAviMuxMoniker);
        out.setMoniker(kFileWriterMoniker);
        null.setMoniker(kNullRendererMoniker);
        for (FilterObject* o : {&vcap, &acap, &vcomp, &acomp, &mux, &out, &null})
            o->Attach();
    }
};

class GraphTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        ASSERT_TRUE(dir.isValid());
        qputenv("XDG_CACHE_HOME", (dir.path() + "/cache").toUtf8());
        machine = std::make_unique<RegFile>((dir.path() + "/HKEY_LOCAL_MACHINE.reg").toStdString(),
                                            "HKEY_LOCAL_MACHINE");
        store = std::make_unique<AutoTuneStore>(*machine);
        context = std::make_unique<CaptureContext>(CaptureContext{card, *store});
        graph = std::make_unique<FilterGraph>(*context);
        graph->Activate();
    }
    void TearDown() override {
        if (graph)
            graph->Deactivate();
    }
    std::string path(const char* name) const { return (dir.path() + "/" + name).toStdString(); }

    QTemporaryDir dir;
    VirtualTvCard card;
    std::unique_ptr<RegFile> machine;
    std::unique_ptr<AutoTuneStore> store;
    std::unique_ptr<CaptureContext> context;
    std::unique_ptr<FilterGraph> graph;
};

} // namespace qeltv::test
