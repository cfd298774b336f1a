// Shared set-up of the graph tests: an offscreen application, temporary XDG
// folders, the Virtual TV Card with its auto-tune store, and a graph.
#pragma once

#include "capture/Devices.h"
#include "capture/FilterGraph.h"
#include "capture/GstRef.h"
#include "capture/VirtualSources.h"
#include "capture/VirtualTvCard.h"
#include "settings/AutoTuneStore.h"
#include "settings/RegStore.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
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

// Bounds of waits for stream events: far beyond what they take on an idle
// machine, so that only a fault, never a loaded machine, reaches them.
constexpr int kStreamWait_ms = 60000;
// Ending a recording drains the raw frames queued ahead of the compressor
// first, which takes long when other processes hold the cores.
constexpr int kEndOfStreamUnderLoad_ms = 60000;

// Adds up the durations of the buffers that pass a pad: how much of a stream
// has gone by, by the stream's own timestamps rather than the wall clock.
class StreamedTime {
public:
    explicit StreamedTime(GstPad* pad)
        : probe_(GstOwnedPadProbe::add(pad, GST_PAD_PROBE_TYPE_BUFFER, &StreamedTime::Add, this)) {}
    // The probe goes before the count it adds to.
    ~StreamedTime() { probe_.reset(); }
    StreamedTime(const StreamedTime&) = delete;
    StreamedTime& operator=(const StreamedTime&) = delete;

    GstClockTime streamed() const { return streamed_ns_.load(); }
    // Runs the event loop until `duration_ns` has gone by.
    bool waitFor(GstClockTime duration_ns) {
        return WaitUntil([&] { return streamed() >= duration_ns; }, kStreamWait_ms);
    }

private:
    static GstPadProbeReturn Add(GstPad*, GstPadProbeInfo* info, gpointer self) {
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        if (GST_BUFFER_DURATION_IS_VALID(buffer))
            static_cast<StreamedTime*>(self)->streamed_ns_ += GST_BUFFER_DURATION(buffer);
        return GST_PAD_PROBE_OK;
    }

    std::atomic<GstClockTime> streamed_ns_{0};
    GstOwnedPadProbe probe_;
};

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

// Wires the main window's recording: both capture pins through their
// compressors into the mux, the mux into the file writer.
inline void WireRecording(FilterGraph& graph, RecordingObjects& objects, const std::string& file) {
    auto& [vcap, acap, vcomp, acomp, mux, out, null] = objects;
    (void)null;
    ASSERT_EQ(FilterGraph::FindPinByName(vcap.filter(), "Capture")
                  ->SetFormat(VideoFormat(subtype::YUY2, 320, 240, 400000)),
              status::S_OK);
    ASSERT_EQ(graph.RenderStream(PinCategory::Capture, MediaKind::Video, &vcap.filter(),
                                 &vcomp.filter(), &mux.filter()),
              status::S_OK);
    ASSERT_EQ(graph.RenderStream(PinCategory::Capture, MediaKind::Audio, &acap.filter(),
                                 &acomp.filter(), &mux.filter()),
              status::S_OK);
    ASSERT_EQ(graph.RenderStream(PinCategory::None, MediaKind::Any, &mux.filter(), nullptr,
                                 &out.filter()),
              status::S_OK);
    ASSERT_EQ(out.filter().SetFileName(file), status::S_OK);
}

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
