// CPU cost and completeness of a recording at 720x576, 25 frames per second
// through the capture layer, against the same pipeline run bare in the same
// process: the layer's elements with their settings (the first station's
// picture, speed, overlays and tone, the same encoder and muxer), timed on
// both sides from PLAYING to the end of stream after the same duration.
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

constexpr int kDefaultDuration_s = 60;
constexpr const char* kDefaultEncoder = "x264enc";
constexpr int kWidth = 720;
constexpr int kHeight = 576;
constexpr int kFramesPerSecond = 25;
constexpr std::int64_t kFrameDuration = 400000;
constexpr GstClockTime kFrameDuration_ns = GST_SECOND / kFramesPerSecond;
constexpr GstClockTime kReadTimeout_ns = 120 * GST_SECOND;
// How long the end of stream may take to reach the file on either side.
constexpr GstClockTime kEndOfStreamWait_ns = 120 * GST_SECOND;
constexpr int kEndOfStreamWait_ms = 120000;

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

GstPadProbeReturn NoteFrame(GstPad*, GstPadProbeInfo* info, gpointer frames) {
    static_cast<DeliveredFrames*>(frames)->add(GST_BUFFER_PTS(GST_PAD_PROBE_INFO_BUFFER(info)));
    return GST_PAD_PROBE_OK;
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
    // once the graph has stopped. The baseline is watched at the element
    // behind the pin.
    DeliveredFrames layerDelivered;
    gst_pad_add_probe(capture->pad(), GST_PAD_PROBE_TYPE_BUFFER, NoteFrame, &layerDelivered,
                      nullptr);
    GstPad* captureTarget = gst_ghost_pad_get_target(GST_GHOST_PAD(capture->pad()));
    GstElement* captureElement = gst_pad_get_parent_element(captureTarget);
    gst_object_unref(captureTarget);
    using qeltv::MediaKind;
    using qeltv::PinCategory;
    graph.RenderStream(PinCategory::Capture, MediaKind::Video, &videoCap.filter(),
                       &videoCompression.filter(), &mux.filter());
    graph.RenderStream(PinCategory::Capture, MediaKind::Audio, &audioCap.filter(),
                       &audioCompression.filter(), &mux.filter());
    graph.RenderStream(PinCategory::None, MediaKind::Any, &mux.filter(), nullptr, &out.filter());
    graph.Run();
    if (!qeltv::bench::WaitForPlaying(graph.pipeline())) {
        std::fprintf(stderr, "the layer's graph did not play\n");
        return 1;
    }
    qeltv::bench::Interval layer;
    layer.start();
    QTimer::singleShot(duration_s * 1000, Qt::PreciseTimer, &app, &QCoreApplication::quit);
    app.exec();
    const bool layerEnded = graph.StopAfterEndOfStream(kEndOfStreamWait_ms);
    layer.stop();

    // The baseline: the pipeline the layer ran, bare, into a file of its own.
    const std::string description = qeltv::bench::BareDescription(graph.pipeline());
    GstElement* layerWriter = qeltv::bench::FindByFactory(graph.pipeline(), "filesink");
    GError* error = nullptr;
    GstElement* bare = gst_parse_launch(description.c_str(), &error);
    if (!bare || error || !layerWriter) {
        std::fprintf(stderr, "the baseline cannot be made: %s\n%s\n",
                     error ? error->message : "no file writer in the layer", description.c_str());
        return 1;
    }
    const std::string bareFile = (dir.path() + "/bare.avi").toStdString();
    GstElement* bareWriter = qeltv::bench::Counterpart(bare, layerWriter);
    g_object_set(bareWriter, "location", bareFile.c_str(), nullptr);
    gst_object_unref(bareWriter);
    DeliveredFrames bareDelivered;
    GstElement* bareCapture = qeltv::bench::Counterpart(bare, captureElement);
    GstPad* bareCapturePad = gst_element_get_static_pad(bareCapture, "src");
    gst_pad_add_probe(bareCapturePad, GST_PAD_PROBE_TYPE_BUFFER, NoteFrame, &bareDelivered,
                      nullptr);
    gst_object_unref(bareCapturePad);
    gst_object_unref(bareCapture);
    gst_object_unref(captureElement);
    gst_element_set_state(bare, GST_STATE_PLAYING);
    if (!qeltv::bench::WaitForPlaying(bare)) {
        std::fprintf(stderr, "the baseline did not play\n");
        return 1;
    }
    qeltv::bench::Interval baseline;
    baseline.start();
    if (qeltv::bench::WaitForEndOfStream(bare, GstClockTime(duration_s) * GST_SECOND)) {
        std::fprintf(stderr, "the baseline ended early\n");
        return 1;
    }
    // The end of stream goes into the sources, as the layer sends it.
    gst_element_send_event(bare, gst_event_new_eos());
    const bool bareEnded = qeltv::bench::WaitForEndOfStream(bare, kEndOfStreamWait_ns);
    baseline.stop();
    gst_element_set_state(bare, GST_STATE_NULL);
    gst_object_unref(bare);

    std::printf("machine: %u cores\n", qeltv::bench::Cores());
    std::printf("duration: %d s from PLAYING, then end of stream; %dx%d at 25 fps on %s, video "
                "encoder %s, PCM audio\n",
                duration_s, kWidth, kHeight, qeltv::VirtualTvCard::stations().front().name.c_str(),
                encoder.c_str());
    std::printf("baseline (in this process, gst_parse_launch):\n  %s\n", description.c_str());
    // Both sides expect a frame for every frame duration from their source's
    // first to its last timestamp; wall time would also count the start-up
    // and the encoder's drain at end of stream.
    const long bareExpected = bareDelivered.expected();
    const long bareWritten = CountVideoFrames(bareFile);
    std::printf("bare pipeline: %.2f CPU s in %.1f s, %ld of %ld frames written, %ld lost%s\n",
                baseline.cpu_s, baseline.wall_s, bareWritten, bareExpected,
                std::max(0L, bareExpected - bareWritten),
                bareEnded ? "" : " (end of stream not reached in time)");
    const long layerExpected = layerDelivered.expected();
    const long layerWritten = CountVideoFrames(layerFile);
    std::printf("capture layer: %.2f CPU s in %.1f s, %ld of %ld frames written, %ld lost%s\n",
                layer.cpu_s, layer.wall_s, layerWritten, layerExpected,
                std::max(0L, layerExpected - layerWritten),
                layerEnded ? "" : " (end of stream not reached in time)");
    std::printf("ratio layer/bare: %.2f\n",
                baseline.cpu_s > 0 ? layer.cpu_s / baseline.cpu_s : 0.0);
    return 0;
}
