// Channel change to picture: a Virtual TV Card preview (640x480, 25 frames
// per second) through the capture layer and its video window, changed back
// and forth between two stations through the card's tuner. For each change
// it times, from the moment before the tune call:
//   - the tune call itself,
//   - the first frame of the new station at the renderer's sink (a probe on
//     the sink's input; a frame belongs to the station whose colours it is
//     nearest to),
//   - the first repaint of the window that shows the new station,
// and counts the old station's frames that still reached the sink after the
// tune (queued frames). The limit is two frames at 25 frames per second.
//
//   channel_change_bench [changes]     (default 20)
#include "app/VideoWindow.h"
#include "bench/BenchSupport.h"
#include "capture/Devices.h"
#include "capture/FilterGraph.h"
#include "capture/TvTuner.h"
#include "capture/VirtualSources.h"
#include "capture/VirtualTvCard.h"
#include "settings/AutoTuneStore.h"
#include "settings/RegStore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTemporaryDir>
#include <QTimer>

#include <gst/video/video.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

constexpr int kDefaultChanges = 20;
constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr std::int64_t kFrameDuration = 400000; // 25 frames per second
constexpr double kLimit_ms = 80.0;              // two frames at 25 frames per second
// Time each station is shown before the next change: long enough for every
// queue to hold only its frames.
constexpr int kSettle_ms = 600;
// Longest wait for the new station's picture.
constexpr int kChangeTimeout_ms = 3000;
// Pixels sampled for a frame's colour: a coarse grid over the picture.
constexpr int kGridStep_px = 16;

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

using Colour = std::array<double, 3>;

// The mean colour of a BGRx picture over a coarse grid.
Colour MeanColour(const uchar* data, int width, int height, int stride) {
    Colour sum{0, 0, 0};
    int n = 0;
    for (int y = 0; y < height; y += kGridStep_px)
        for (int x = 0; x < width; x += kGridStep_px) {
            const uchar* p = data + y * stride + x * 4;
            sum[0] += p[2];
            sum[1] += p[1];
            sum[2] += p[0];
            ++n;
        }
    for (double& c : sum)
        c /= std::max(n, 1);
    return sum;
}

double Distance(const Colour& a, const Colour& b) {
    double d = 0;
    for (int i = 0; i < 3; ++i)
        d += (a[i] - b[i]) * (a[i] - b[i]);
    return d;
}

// What the renderer's sink and the window saw, shared with the streaming
// thread.
struct Watch {
    std::mutex mutex;
    std::array<Colour, 2> reference{};
    bool classifying = false;
    int expected = 0; // the station a change went to
    Clock::time_point tuned;
    Clock::time_point firstAtSink;
    Clock::time_point firstPainted;
    int oldFramesAfterTune = 0;
    Colour last{};

    // Which of the two stations a colour is nearer to.
    int station(const Colour& colour) const {
        return Distance(colour, reference[0]) <= Distance(colour, reference[1]) ? 0 : 1;
    }
    void atSink(const Colour& colour) {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex);
        last = colour;
        if (!classifying || firstAtSink != Clock::time_point())
            return;
        if (station(colour) == expected)
            firstAtSink = now;
        else
            ++oldFramesAfterTune;
    }
};

GstPadProbeReturn AtSink(GstPad*, GstPadProbeInfo* info, gpointer data) {
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    GstMapInfo map;
    if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        if (map.size >= std::size_t(kWidth) * kHeight * 4)
            static_cast<Watch*>(data)->atSink(MeanColour(map.data, kWidth, kHeight, kWidth * 4));
        gst_buffer_unmap(buffer, &map);
    }
    return GST_PAD_PROBE_OK;
}

// Times the window's repaints that show the new station.
class PaintWatch : public QObject {
public:
    PaintWatch(qeltv::VideoWindow& window, Watch& watch) : window_(window), watch_(watch) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::Paint)
            return false;
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(watch_.mutex);
        if (!watch_.classifying || watch_.firstPainted != Clock::time_point())
            return false;
        const QImage frame = window_.currentFrame();
        if (frame.isNull())
            return false;
        const Colour colour = MeanColour(frame.constBits(), frame.width(), frame.height(),
                                         static_cast<int>(frame.bytesPerLine()));
        if (watch_.station(colour) == watch_.expected)
            watch_.firstPainted = now;
        return false;
    }

private:
    qeltv::VideoWindow& window_;
    Watch& watch_;
};

void Spin(QApplication& app, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        app.processEvents(QEventLoop::AllEvents, 5);
}

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    const int changes = argc > 1 ? std::max(2, std::atoi(argv[1])) : kDefaultChanges;
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    gst_init(&argc, &argv);
    QApplication app(argc, argv);
    QTemporaryDir dir;

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
    qeltv::TvTuner* tuner = graph.FindTuner(cap.filter());
    const auto& stations = qeltv::VirtualTvCard::stations();
    if (!tuner || stations.size() < 2) {
        std::fprintf(stderr, "no tuner on the Virtual TV Card\n");
        return 1;
    }
    // The channels of the first two stations in the tuner's table, tuned as
    // the program tunes them.
    std::array<long, 2> channel{0, 0};
    long lowest = 0, highest = 0;
    tuner->ChannelMinMax(lowest, highest);
    for (long c = lowest; c <= highest; ++c) {
        tuner->put_Channel(c, -1, -1);
        long tuned_hz = 0;
        tuner->get_VideoFrequency(tuned_hz);
        for (int s = 0; s < 2; ++s)
            if (!channel[s] && std::labs(tuned_hz - long(stations[s].frequency_hz)) <
                                   long(qeltv::kVirtualCaptureRange_hz))
                channel[s] = c;
    }
    if (!channel[0] || !channel[1]) {
        std::fprintf(stderr, "the stations have no channels in the tuner's table\n");
        return 1;
    }
    tuner->put_Channel(channel[0], -1, -1);
    qeltv::Pin* preview = qeltv::FilterGraph::FindPinByName(cap.filter(), "Preview");
    preview->SetFormat(qeltv::VideoFormat(qeltv::subtype::YUY2, kWidth, kHeight, kFrameDuration));
    graph.RenderStream(qeltv::PinCategory::Preview, qeltv::MediaKind::Video, &cap.filter(), nullptr,
                       &renderer.filter());
    Watch watch;
    GstElement* sink = qeltv::bench::FindByFactory(graph.pipeline(), "appsink");
    if (!sink) {
        std::fprintf(stderr, "no renderer sink in the graph\n");
        return 1;
    }
    GstPad* sinkPad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(sinkPad, GST_PAD_PROBE_TYPE_BUFFER, AtSink, &watch, nullptr);
    PaintWatch paints(window, watch);
    window.installEventFilter(&paints);
    graph.Run();
    if (!qeltv::bench::WaitForPlaying(graph.pipeline())) {
        std::fprintf(stderr, "the graph did not play\n");
        return 1;
    }
    // Each station's colours, from its settled picture.
    for (int s : {1, 0}) {
        tuner->put_Channel(channel[s], -1, -1);
        Spin(app, kSettle_ms);
        std::lock_guard<std::mutex> lock(watch.mutex);
        watch.reference[s] = watch.last;
    }
    if (Distance(watch.reference[0], watch.reference[1]) < 1.0) {
        std::fprintf(stderr, "the two stations' pictures cannot be told apart\n");
        return 1;
    }

    std::vector<double> tuneCall, atSink, painted, oldFrames;
    int timedOut = 0;
    for (int i = 0; i < changes; ++i) {
        const int to = (i + 1) % 2;
        {
            std::lock_guard<std::mutex> lock(watch.mutex);
            watch.expected = to;
            watch.firstAtSink = watch.firstPainted = Clock::time_point();
            watch.oldFramesAfterTune = 0;
            watch.tuned = Clock::now();
            watch.classifying = true;
        }
        tuner->put_Channel(channel[to], -1, -1);
        const auto called = Clock::now();
        QElapsedTimer wait;
        wait.start();
        bool shown = false;
        while (!shown && wait.elapsed() < kChangeTimeout_ms) {
            app.processEvents(QEventLoop::AllEvents, 1);
            std::lock_guard<std::mutex> lock(watch.mutex);
            shown = watch.firstPainted != Clock::time_point();
        }
        {
            std::lock_guard<std::mutex> lock(watch.mutex);
            watch.classifying = false;
            if (!shown || watch.firstAtSink == Clock::time_point()) {
                ++timedOut;
            } else {
                tuneCall.push_back(Ms(called - watch.tuned));
                atSink.push_back(Ms(watch.firstAtSink - watch.tuned));
                painted.push_back(Ms(watch.firstPainted - watch.tuned));
                oldFrames.push_back(watch.oldFramesAfterTune);
            }
        }
        Spin(app, kSettle_ms);
    }
    graph.Stop();
    gst_object_unref(sinkPad);

    std::printf("machine: %u cores\n", qeltv::bench::Cores());
    std::printf("changes: %d between channel %ld (%s) and %ld (%s), %dx%d at 25 fps\n", changes,
                channel[0], stations[0].name.c_str(), channel[1], stations[1].name.c_str(), kWidth,
                kHeight);
    if (painted.empty()) {
        std::fprintf(stderr, "no change showed the new station\n");
        return 1;
    }
    const auto range = [](const std::vector<double>& v) {
        return std::make_pair(*std::min_element(v.begin(), v.end()),
                              *std::max_element(v.begin(), v.end()));
    };
    std::printf("tune call: median %.2f ms\n", Median(tuneCall));
    std::printf("old station's frames at the sink after the tune: median %.1f, most %.0f\n",
                Median(oldFrames), range(oldFrames).second);
    std::printf("first frame of the new station at the sink: median %.1f ms (%.1f to %.1f)\n",
                Median(atSink), range(atSink).first, range(atSink).second);
    std::printf("first repaint showing it: median %.1f ms (%.1f to %.1f), limit %.0f ms\n",
                Median(painted), range(painted).first, range(painted).second, kLimit_ms);
    if (timedOut)
        std::printf("changes that showed no new picture within %d ms: %d\n", kChangeTimeout_ms,
                    timedOut);
    return 0;
}
