// CPU cost and completeness of a recording at 720x576, 25 frames per second
// through the capture layer, against the same work done by a bare
// gst-launch-1.0 pipeline in the same run.
//
//   recording_bench [duration_s] [video encoder factory]
#include "bench/BenchSupport.h"
#include "capture/Devices.h"
#include "capture/FilterGraph.h"
#include "capture/FilterObject.h"
#include "capture/GstRef.h"
#include "capture/VirtualSources.h"
#include "capture/VirtualTvCard.h"
#include "settings/AutoTuneStore.h"
#include "settings/RegStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>

namespace {

using qeltv::bench::CpuSeconds;

constexpr int kDefaultDuration_s = 60;
constexpr const char* kDefaultEncoder = "x264enc";
constexpr int kWidth = 720;
constexpr int kHeight = 576;
constexpr int kFramesPerSecond = 25;
constexpr std::int64_t kFrameDuration = 400000;
constexpr GstClockTime kFrameDuration_ns = GST_SECOND / kFramesPerSecond;
constexpr GstClockTime kReadTimeout_ns = 120 * GST_SECOND;

// The frames a source delivered, by their timestamps: from the first to the
// last, one every frame duration. A frame the source skipped or something
// downstream dropped leaves a gap that counts.
struct DeliveredFrames {
    GstClockTime first_ns = GST_CLOCK_TIME_NONE;
    GstClockTime last_ns = GST_CLOCK_TIME_NONE;

    void add(GstClockTime pts_ns) {
        if (!GST_CLOCK_TIME_IS_VALID(pts_ns))
            return;
        if (!GST_CLOCK_TIME_IS_VALID(first_ns))
            first_ns = pts_ns;
        last_ns = pts_ns;
    }
    long expected() const {
        if (!GST_CLOCK_TIME_IS_VALID(first_ns))
            return 0;
        return static_cast<long>((last_ns - first_ns + kFrameDuration_ns / 2) / kFrameDuration_ns) +
               1;
    }
};

// The bare pipeline's videotestsrc stamps frame n at n frame durations and
// stops after num-buffers: its first and last timestamps are known.
DeliveredFrames BareDelivered(long numBuffers) {
    DeliveredFrames frames;
    frames.add(0);
    frames.add(static_cast<GstClockTime>(numBuffers - 1) * kFrameDuration_ns);
    return frames;
}

// The video frames in an AVI file, counted by demuxing it.
long CountVideoFrames(const std::string& file) {
    qeltv::GstOwned<GError> error;
    const std::string description = "filesrc location=\"" + file +
                                    "\" ! avidemux name=d d.video_0 ! fakesink name=s "
                                    "signal-handoffs=true sync=false";
    const auto pipeline =
        qeltv::GstOwned<GstElement>::sink(gst_parse_launch(description.c_str(), error.out()));
    if (!pipeline) {
        std::fprintf(stderr, "cannot read %s: %s\n", file.c_str(), error ? error->message : "");
        return -1;
    }
    long frames = 0;
    const auto sink =
        qeltv::GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "s"));
    g_signal_connect(sink.get(), "handoff",
                     G_CALLBACK(+[](GstElement*, GstBuffer*, GstPad*, gpointer count) {
                         ++*static_cast<long*>(count);
                     }),
                     &frames);
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    const auto bus = qeltv::GstOwned<GstBus>::adopt(gst_element_get_bus(pipeline.get()));
    const auto msg = qeltv::GstOwned<GstMessage>::adopt(gst_bus_timed_pop_filtered(
        bus.get(), kReadTimeout_ns, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    if (!msg || GST_MESSAGE_TYPE(msg.get()) == GST_MESSAGE_ERROR) {
        std::fprintf(stderr, "cannot read %s to its end\n", file.c_str());
        frames = -1;
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return frames;
}

} // namespace

int main(int argc, char** argv) {
    const int duration_s = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultDuration_s;
    const std::string encoder = argc > 2 ? argv[2] : kDefaultEncoder;
    gst_init(&argc, &argv);
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const long expected = static_cast<long>(duration_s) * kFramesPerSecond;

    // Baseline: the card's elements (test picture with name and clock, tone)
    // into the same encoder, the AVI muxer and a file.
    const std::string bareFile = (dir.path() + "/bare.avi").toStdString();
    char baseline[2048];
    std::snprintf(baseline, sizeof baseline,
                  "gst-launch-1.0 -q -e avimux name=m ! filesink location=\"%s\" "
                  "videotestsrc is-live=true pattern=ball num-buffers=%ld ! "
                  "video/x-raw,format=YUY2,width=%d,height=%d,framerate=25/1 ! "
                  "textoverlay text=Station font-desc=\"Sans Bold 20\" ! clockoverlay "
                  "time-format=%%H:%%M:%%S ! queue ! videoconvert ! %s ! queue ! m. "
                  "audiotestsrc is-live=true freq=440 num-buffers=%d samplesperbuffer=4410 ! "
                  "audio/x-raw,format=S16LE,rate=44100,channels=2 ! queue ! m.",
                  bareFile.c_str(), expected, kWidth, kHeight, encoder.c_str(), duration_s * 10);
    const qeltv::bench::BaselineRun bare = qeltv::bench::RunBaseline(baseline);
    if (!bare.ok)
        return 1;
    const double bareCpu = bare.cpu_s;
    const double bareWall = bare.wall_s;
    QElapsedTimer wall;

    // The layer, wired as a recording build wires it.
    qeltv::RegFile machine((dir.path() + "/HKEY_LOCAL_MACHINE.reg").toStdString(),
                           "HKEY_LOCAL_MACHINE");
    qeltv::AutoTuneStore store(machine);
    qeltv::VirtualTvCard card;
    qeltv::CaptureContext context{card, store};
    qeltv::FilterGraph graph(context);
    graph.Activate();
    qeltv::FilterObject videoCap(graph, "filterVideoCap"), audioCap(graph, "filterAudioCap"),
        videoCompression(graph, "filterVideoCompression"),
        audioCompression(graph, "filterAudioCompression"), mux(graph, "filterAVIMux"),
        out(graph, "filterAVIOut");
    videoCap.setMoniker(qeltv::kVirtualCardMoniker);
    audioCap.setMoniker(qeltv::kVirtualCardAudioMoniker);
    videoCompression.setMoniker("encoder:" + encoder);
    audioCompression.setMoniker(qeltv::kPcmMoniker);
    mux.setMoniker(qeltv::kAviMuxMoniker);
    out.setMoniker(qeltv::kFileWriterMoniker);
    for (auto* o : {&videoCap, &audioCap, &videoCompression, &audioCompression, &mux, &out})
        o->Attach();
    card.tune(qeltv::VirtualTvCard::stations().front().frequency_hz);
    const std::string layerFile = (dir.path() + "/layer.avi").toStdString();
    out.filter().SetFileName(layerFile);
    qeltv::Pin* capture = qeltv::FilterGraph::FindPinByName(videoCap.filter(), "Capture");
    capture->SetFormat(qeltv::VideoFormat(qeltv::subtype::YUY2, kWidth, kHeight, kFrameDuration));
    // What the capture pin delivers, seen on the streaming thread; read
    // once the graph has stopped.
    DeliveredFrames layerDelivered;
    gst_pad_add_probe(
        capture->pad(), GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo* info, gpointer frames) {
            static_cast<DeliveredFrames*>(frames)->add(
                GST_BUFFER_PTS(GST_PAD_PROBE_INFO_BUFFER(info)));
            return GST_PAD_PROBE_OK;
        },
        &layerDelivered, nullptr);
    using qeltv::MediaKind;
    using qeltv::PinCategory;
    graph.RenderStream(PinCategory::Capture, MediaKind::Video, &videoCap.filter(),
                       &videoCompression.filter(), &mux.filter());
    graph.RenderStream(PinCategory::Capture, MediaKind::Audio, &audioCap.filter(),
                       &audioCompression.filter(), &mux.filter());
    graph.RenderStream(PinCategory::None, MediaKind::Any, &mux.filter(), nullptr, &out.filter());
    const double selfBefore = CpuSeconds(RUSAGE_SELF);
    wall.start();
    graph.Run();
    QTimer::singleShot(duration_s * 1000, &app, &QCoreApplication::quit);
    app.exec();
    const bool ended = graph.StopAfterEndOfStream();
    const double layerCpu = CpuSeconds(RUSAGE_SELF) - selfBefore;
    const double layerWall = wall.elapsed() / 1000.0;

    std::printf("duration: %d s, %dx%d at 25 fps, video encoder %s, PCM audio\n", duration_s,
                kWidth, kHeight, encoder.c_str());
    // Both sides expect a frame for every frame duration from their source's
    // first to its last timestamp; wall time would also count the start-up
    // and the encoder's drain at end of stream.
    const long bareExpected = BareDelivered(expected).expected();
    const long bareWritten = CountVideoFrames(bareFile);
    std::printf("bare gst-launch-1.0: %.2f CPU s in %.1f s, %ld of %ld frames written, "
                "%ld lost\n",
                bareCpu, bareWall, bareWritten, bareExpected,
                std::max(0L, bareExpected - bareWritten));
    const long layerExpected = layerDelivered.expected();
    const long layerWritten = CountVideoFrames(layerFile);
    std::printf("capture layer:       %.2f CPU s in %.1f s, %ld of %ld frames written, "
                "%ld lost%s\n",
                layerCpu, layerWall, layerWritten, layerExpected,
                std::max(0L, layerExpected - layerWritten),
                ended ? "" : " (end of stream not reached in time)");
    std::printf("ratio layer/bare:    %.2f\n", bareCpu > 0 ? layerCpu / bareCpu : 0.0);
    return 0;
}
