// CPU cost of a Virtual TV Card preview (640x480, 25 frames per second)
// through the capture layer and its video window, against the equivalent
// bare gst-launch-1.0 pipeline measured in the same run.
//
//   capture_preview_bench [duration_s]     (default 30)
#include "bench/BenchSupport.h"
#include "capture/Devices.h"
#include "capture/FilterGraph.h"
#include "app/VideoWindow.h"
#include "capture/VirtualSources.h"
#include "capture/VirtualTvCard.h"
#include "settings/AutoTuneStore.h"
#include "settings/RegStore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

namespace {

using qeltv::bench::CpuSeconds;

constexpr int kDefaultDuration_s = 30;
constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr std::int64_t kFrameDuration = 400000; // 25 frames per second

} // namespace

int main(int argc, char** argv) {
    const int duration_s = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultDuration_s;
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    gst_init(&argc, &argv);
    QApplication app(argc, argv);
    QTemporaryDir dir;

    // Baseline: the same elements, no layer, no widget (a fakesink stands in
    // for the appsink, which would wait at end of stream for a reader).
    char baseline[1024];
    std::snprintf(baseline, sizeof baseline,
                  "gst-launch-1.0 -q videotestsrc is-live=true pattern=ball horizontal-speed=2 "
                  "num-buffers=%d ! video/x-raw,format=YUY2,width=%d,height=%d,framerate=25/1 ! "
                  "textoverlay text=Station font-desc=\"Sans Bold 20\" ! clockoverlay "
                  "time-format=%%H:%%M:%%S ! videoconvert ! video/x-raw,format=BGRx ! "
                  "fakesink sync=true",
                  duration_s * 25, kWidth, kHeight);
    const qeltv::bench::BaselineRun bare = qeltv::bench::RunBaseline(baseline);
    if (!bare.ok)
        return 1;
    const double bareCpu = bare.cpu_s;
    const double bareWall = bare.wall_s;
    QElapsedTimer wall;

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
    const double selfBefore = CpuSeconds(RUSAGE_SELF);
    wall.start();
    graph.Run();
    QTimer::singleShot(duration_s * 1000, &app, &QApplication::quit);
    app.exec();
    graph.Stop();
    const double layerCpu = CpuSeconds(RUSAGE_SELF) - selfBefore;
    const double layerWall = wall.elapsed() / 1000.0;

    std::printf("duration: %d s, %dx%d at 25 fps\n", duration_s, kWidth, kHeight);
    std::printf("bare gst-launch-1.0: %.2f CPU s in %.1f s\n", bareCpu, bareWall);
    std::printf("capture layer:       %.2f CPU s in %.1f s, %llu frames shown\n", layerCpu,
                layerWall, static_cast<unsigned long long>(window.framesShown()));
    std::printf("ratio layer/bare:    %.2f\n", bareCpu > 0 ? layerCpu / bareCpu : 0.0);
    return 0;
}
