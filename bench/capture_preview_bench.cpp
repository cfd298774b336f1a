// CPU cost of a Virtual TV Card preview (640x480, 25 frames per second)
// through the capture layer and its video window, against the same pipeline
// run bare in the same process: the layer's elements with their settings on
// the first station (its pattern, overlays and the tee, convert, scale and
// rate branch), ending in the renderer's converter and a sink that takes each
// frame in the format the window paints. Both sides are timed from PLAYING
// over the same duration.
//
//   capture_preview_bench [duration_s]     (default 30)
#include "app/VideoWindow.h"
#include "bench/BenchSupport.h"
#include "capture/Devices.h"
#include "capture/FilterGraph.h"
#include "capture/VirtualSources.h"
#include "capture/VirtualTvCard.h"
#include "settings/AutoTuneStore.h"
#include "settings/RegStore.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <gst/app/gstappsink.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kDefaultDuration_s = 30;
constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr std::int64_t kFrameDuration = 400000; // 25 frames per second
// A baseline that ran less than this part of its time failed.
constexpr double kEarlyEnd = 0.9;

// The baseline's sink takes every frame as the renderer does, and drops it.
GstFlowReturn TakeSample(GstAppSink* sink, gpointer frames) {
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (!sample)
        return GST_FLOW_EOS;
    gst_sample_unref(sample);
    ++*static_cast<std::atomic<long>*>(frames);
    return GST_FLOW_OK;
}

} // namespace

int main(int argc, char** argv) {
    const int duration_s = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultDuration_s;
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    gst_init(&argc, &argv);
    QApplication app(argc, argv);
    QTemporaryDir dir;

    // The layer: graph, Virtual TV Card filter, video window widget.
    qeltv::RegFile machine((dir.path() + "/HKEY_LOCAL_MACHINE.reg").toStdString(),
                           "HKEY_LOCAL_MACHINE");
    qeltv::AutoTuneStore store(machine);
    qeltv::VirtualTvCard card;
    qeltv::CaptureContext context{card, store};
    qeltv::FilterGraph graph(context);
    graph.Activate();
    QWidget pnlBack;
    pnlBack.resize(kWidth, kHeight);
    qeltv::FilterObject cap(graph, "filterVideoCap");
    cap.setMoniker(qeltv::kVirtualCardMoniker);
    cap.Attach();
    qeltv::VideoRenderer renderer(graph);
    qeltv::VideoWindow window(renderer, &pnlBack);
    renderer.Attach();
    pnlBack.show();
    card.tune(qeltv::VirtualTvCard::stations().front().frequency_hz);
    qeltv::Pin* preview = qeltv::FilterGraph::FindPinByName(cap.filter(), "Preview");
    preview->SetFormat(qeltv::VideoFormat(qeltv::subtype::YUY2, kWidth, kHeight, kFrameDuration));
    graph.RenderStream(qeltv::PinCategory::Preview, qeltv::MediaKind::Video, &cap.filter(), nullptr,
                       &renderer.filter());
    graph.Run();
    if (!qeltv::bench::WaitForPlaying(graph.pipeline())) {
        std::fprintf(stderr, "the layer's graph did not play\n");
        return 1;
    }
    qeltv::bench::Interval layer;
    const quint64 shownBefore = window.framesShown();
    layer.start();
    QTimer::singleShot(duration_s * 1000, Qt::PreciseTimer, &app, &QApplication::quit);
    app.exec();
    layer.stop();
    const quint64 shown = window.framesShown() - shownBefore;
    graph.Stop();

    // The baseline: the pipeline the layer ran, bare.
    const std::string description = qeltv::bench::BareDescription(graph.pipeline());
    GstElement* layerSink = qeltv::bench::FindByFactory(graph.pipeline(), "appsink");
    GError* error = nullptr;
    GstElement* bare = gst_parse_launch(description.c_str(), &error);
    if (!bare || error || !layerSink) {
        std::fprintf(stderr, "the baseline cannot be made: %s\n%s\n",
                     error ? error->message : "no sink in the layer", description.c_str());
        return 1;
    }
    std::atomic<long> bareFrames = 0;
    GstElement* bareSink = qeltv::bench::Counterpart(bare, layerSink);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = TakeSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(bareSink), &callbacks, &bareFrames, nullptr);
    gst_element_set_state(bare, GST_STATE_PLAYING);
    if (!qeltv::bench::WaitForPlaying(bare)) {
        std::fprintf(stderr, "the baseline did not play\n");
        return 1;
    }
    qeltv::bench::Interval baseline;
    const long framesBefore = bareFrames;
    baseline.start();
    // Live sources have no end: only an error ends the wait early.
    const bool ended =
        qeltv::bench::WaitForEndOfStream(bare, GstClockTime(duration_s) * GST_SECOND);
    baseline.stop();
    if (ended || baseline.wall_s < duration_s * kEarlyEnd) {
        std::fprintf(stderr, "the baseline ended early\n");
        return 1;
    }
    const long bareTaken = bareFrames - framesBefore;
    gst_element_set_state(bare, GST_STATE_NULL);
    gst_object_unref(bareSink);
    gst_object_unref(bare);

    std::printf("machine: %u cores\n", qeltv::bench::Cores());
    std::printf("duration: %d s from PLAYING, %dx%d at 25 fps, on %s\n", duration_s, kWidth,
                kHeight, qeltv::VirtualTvCard::stations().front().name.c_str());
    std::printf("baseline (in this process, gst_parse_launch):\n  %s\n", description.c_str());
    std::printf("bare pipeline: %.2f CPU s in %.1f s, %ld frames taken\n", baseline.cpu_s,
                baseline.wall_s, bareTaken);
    std::printf("capture layer: %.2f CPU s in %.1f s, %llu frames shown\n", layer.cpu_s,
                layer.wall_s, static_cast<unsigned long long>(shown));
    std::printf("ratio layer/bare: %.2f\n",
                baseline.cpu_s > 0 ? layer.cpu_s / baseline.cpu_s : 0.0);
    return 0;
}
