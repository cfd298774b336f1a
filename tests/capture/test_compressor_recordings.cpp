// Every compressor the Preferences lists offer records a live recording with
// sound that GStreamer's discoverer reads back with its length: an encoder
// that stalls the AVI muxer or writes an unreadable file is never offered.
// Every video compressor keeps up with the capture format: the file holds a
// frame for each 40 ms recorded, give or take one second's frames. Every
// sound format an audio compressor offers records.
#include "capture/AudioEncoderTrials.h"
#include "capture/Devices.h"
#include "capture/GstRef.h"
#include "capture/VirtualSources.h"
#include "test_graph_support.h"
#include "tests/support/RecordingCheck.h"

#include <gst/pbutils/pbutils.h>

#include <algorithm>
#include <filesystem>

namespace qeltv {

template <> struct GstRefTraits<GstDiscoverer> : GObjectRefTraits<GstDiscoverer> {};
template <> struct GstRefTraits<GstDiscovererInfo> : GObjectRefTraits<GstDiscovererInfo> {};

namespace {

using test::GraphTest;
using test::Spin;

// Long enough for an encoder that cannot keep up to fall a second behind.
constexpr int kRecording_ms = 3000;
// The capture format of a first start.
constexpr int kCaptureWidth = 640;
constexpr int kCaptureHeight = 480;
constexpr std::int64_t kCaptureFrameDuration = 400000;
constexpr GstClockTime kDiscoverTimeout_ns = 5 * GST_SECOND;
// The sources start a little after Run, and the end of stream drains what
// the encoder holds: the file's length lies between these bounds.
constexpr GstClockTime kShortestDuration_ns = 300 * GST_MSECOND;
constexpr GstClockTime kLongestExtra_ns = 1500 * GST_MSECOND;

struct Discovered {
    bool ok = false;
    GstClockTime duration = 0;
    unsigned videoStreams = 0;
    unsigned audioStreams = 0;
    std::string failure;
};

Discovered Discover(const std::string& file) {
    Discovered result;
    GstOwned<GError> error;
    auto discoverer =
        GstOwned<GstDiscoverer>::adopt(gst_discoverer_new(kDiscoverTimeout_ns, error.out()));
    auto uri = GstOwned<gchar>::adopt(gst_filename_to_uri(file.c_str(), nullptr));
    auto info = GstOwned<GstDiscovererInfo>::adopt(
        gst_discoverer_discover_uri(discoverer.get(), uri.get(), error.out()));
    if (!info || gst_discoverer_info_get_result(info.get()) != GST_DISCOVERER_OK) {
        result.failure = error ? error->message : "not readable";
        return result;
    }
    result.ok = true;
    result.duration = gst_discoverer_info_get_duration(info.get());
    GList* video = gst_discoverer_info_get_video_streams(info.get());
    GList* audio = gst_discoverer_info_get_audio_streams(info.get());
    result.videoStreams = g_list_length(video);
    result.audioStreams = g_list_length(audio);
    gst_discoverer_stream_info_list_free(video);
    gst_discoverer_stream_info_list_free(audio);
    return result;
}

class CompressorRecordings : public GraphTest {
protected:
    // A short recording of the Virtual TV Card through the two compressors,
    // wired as the recording build wires it and ended as a Stop ends it.
    void Record(const std::string& videoMoniker, const std::string& audioMoniker,
                const std::string& file) {
        FilterObject vcap(*graph, "filterVideoCap"), acap(*graph, "filterAudioCap"),
            vcomp(*graph, "filterVideoCompression"), acomp(*graph, "filterAudioCompression"),
            mux(*graph, "filterAVIMux"), out(*graph, "filterAVIOut");
        vcap.setMoniker(kVirtualCardMoniker);
        acap.setMoniker(kVirtualCardAudioMoniker);
        vcomp.setMoniker(videoMoniker);
        acomp.setMoniker(audioMoniker);
        mux.setMoniker(kAviMuxMoniker);
        out.setMoniker(kFileWriterMoniker);
        for (FilterObject* o : {&vcap, &acap, &vcomp, &acomp, &mux, &out})
            o->Attach();
        ASSERT_EQ(FilterGraph::FindPinByName(vcap.filter(), "Capture")
                      ->SetFormat(VideoFormat(subtype::YUY2, kCaptureWidth, kCaptureHeight,
                                              kCaptureFrameDuration)),
                  status::S_OK);
        ASSERT_EQ(graph->RenderStream(PinCategory::Capture, MediaKind::Video, &vcap.filter(),
                                      &vcomp.filter(), &mux.filter()),
                  status::S_OK);
        ASSERT_EQ(graph->RenderStream(PinCategory::Capture, MediaKind::Audio, &acap.filter(),
                                      &acomp.filter(), &mux.filter()),
                  status::S_OK);
        ASSERT_EQ(graph->RenderStream(PinCategory::None, MediaKind::Any, &mux.filter(), nullptr,
                                      &out.filter()),
                  status::S_OK);
        ASSERT_EQ(out.filter().SetFileName(file), status::S_OK);
        // A station, so that the recording has a tone to find.
        card.tune(VirtualTvCard::stations()[0].frequency_hz);
        {
            test::StreamedTime video(FilterGraph::FindPinByName(vcap.filter(), "Capture")->pad());
            test::StreamedTime sound(FilterGraph::FindPinByName(acap.filter(), "Capture")->pad());
            graph->Run();
            Spin(kRecording_ms);
            EXPECT_TRUE(graph->StopAfterEndOfStream()) << "end of stream not reached in time";
            recorded_ = {double(video.streamed()) / GST_SECOND,
                         double(sound.streamed()) / GST_SECOND};
        }
        graph->DisconnectAll();
        graph->RemoveUnownedFilters();
    }

    void ExpectReadable(const std::string& file) {
        const Discovered d = Discover(file);
        std::error_code ec;
        ASSERT_TRUE(d.ok) << d.failure << " (" << std::filesystem::file_size(file, ec) << " bytes)";
        EXPECT_GE(d.duration, kShortestDuration_ns);
        EXPECT_LE(d.duration, kRecording_ms * GST_MSECOND + kLongestExtra_ns);
        // Every frame decodes and they cover the time the sources streamed.
        const test::RecordingCheck check = test::CheckRecording(file, recorded_);
        EXPECT_EQ(check.problems, "") << check.summary;
    }

    // What each capture pin gave out during the last recording: on a busy
    // machine the generated picture may fall behind the sound.
    test::Recorded recorded_{0, 0};
};

} // namespace

// Each video compressor with PCM sound, each audio compressor with the first
// video compressor; the lists are made by the enumeration's trial on this
// machine's plug-ins (the MPEG-4 part 2 encoder among them once stalled the
// muxer with frames stamped with libav's "no time").
TEST_F(CompressorRecordings, EveryListedCompressorRecordsAReadableFile) {
    DeviceEnumerator devices(path("cache"));
    const auto videoCompressors = devices.Enumerate(DeviceCategory::VideoCompressor);
    const auto audioCompressors = devices.Enumerate(DeviceCategory::AudioCompressor);
    ASSERT_FALSE(videoCompressors.empty());
    ASSERT_FALSE(audioCompressors.empty());
    int n = 0;
    for (const DeviceInfo& video : videoCompressors) {
        SCOPED_TRACE(video.moniker);
        const std::string file = path("video") + std::to_string(n++) + ".avi";
        Record(video.moniker, kPcmMoniker, file);
        ExpectReadable(file);
    }
    for (const DeviceInfo& audio : audioCompressors) {
        SCOPED_TRACE(audio.moniker);
        const std::string file = path("audio") + std::to_string(n++) + ".avi";
        Record(videoCompressors.front().moniker, audio.moniker, file);
        ExpectReadable(file);
    }
}

} // namespace qeltv

namespace qeltv {

namespace {

// Sound of a recording in miniature: generated, not live, so that a format
// is tried in a fraction of a second.
constexpr int kFormatTrialBuffers = 10;
constexpr int kFormatTrialBuffersPerSecond = 25;
constexpr int kFormatRecordingTimeout_ms = 10000;

// Records generated sound through an audio compressor set to format into an
// AVI file; empty when the file ends whole, otherwise what went wrong.
std::string RecordSound(Filter& compressor, const MediaType& format, const std::string& file) {
    Pin* input = FilterGraph::FindPinByName(compressor, "Input");
    Pin* output = FilterGraph::FindPinByName(compressor, "Output");
    if (!input || !output)
        return "no Input or Output pin";
    if (output->SetFormat(format) != status::S_OK)
        return "format not taken";
    auto pipeline = GstOwned<GstElement>::sink(gst_pipeline_new("format recording"));
    GstElement* source = gst_element_factory_make("audiotestsrc", nullptr);
    GstElement* mux = gst_element_factory_make("avimux", nullptr);
    GstElement* sink = gst_element_factory_make("filesink", nullptr);
    g_object_set(source, "num-buffers", kFormatTrialBuffers, "samplesperbuffer",
                 44100 / kFormatTrialBuffersPerSecond, nullptr);
    g_object_set(sink, "location", file.c_str(), nullptr);
    gst_bin_add_many(GST_BIN(pipeline.get()), source, compressor.element(), mux, sink, nullptr);
    auto sourcePad = GstOwned<GstPad>::adopt(gst_element_get_static_pad(source, "src"));
    auto muxPad = GstOwned<GstPad>::adopt(gst_element_request_pad_simple(mux, "audio_%u"));
    if (gst_pad_link(sourcePad.get(), input->pad()) != GST_PAD_LINK_OK ||
        gst_pad_link(output->pad(), muxPad.get()) != GST_PAD_LINK_OK ||
        !gst_element_link(mux, sink))
        return "not linked";
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    auto bus = GstOwned<GstBus>::adopt(gst_element_get_bus(pipeline.get()));
    auto message = GstOwned<GstMessage>::adopt(gst_bus_timed_pop_filtered(
        bus.get(), GstClockTime(kFormatRecordingTimeout_ms) * GST_MSECOND,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    std::string failure;
    if (!message) {
        failure = "no end of stream";
    } else if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR) {
        GstOwned<GError> error;
        gst_message_parse_error(message.get(), error.out(), nullptr);
        failure = error ? error->message : "error";
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    // The compressor's element stays with its filter.
    gst_bin_remove(GST_BIN(pipeline.get()), compressor.element());
    return failure;
}

} // namespace

// Every format an audio compressor's list offers records: the encoders' caps
// allow rates at which they refuse their own default bitrate (MPEG layer II
// at 22050 Hz takes at most 160 kbit/s), and a recording started there
// stopped at once. A format kept from before, at a bitrate the encoder
// refuses at that rate, records at the format's own bitrate instead.
TEST_F(CompressorRecordings, EveryOfferedAudioFormatRecords) {
    DeviceEnumerator devices(path("cache"));
    AudioEncoderTrials trials;
    context->audioTrials = &trials;
    const auto audioCompressors = devices.Enumerate(DeviceCategory::AudioCompressor);
    ASSERT_FALSE(audioCompressors.empty());
    int n = 0;
    int lowered = 0;
    for (const DeviceInfo& audio : audioCompressors) {
        SCOPED_TRACE(audio.moniker);
        const auto offered =
            FilterGraph::FindPinByName(*CreateFilter(audio.moniker, "formats", *context), "Output")
                ->GetStreamCaps();
        ASSERT_FALSE(offered.empty());
        std::uint32_t highest = 0;
        for (const MediaType& format : offered)
            highest = std::max(highest, format.audio.nAvgBytesPerSec);
        for (const MediaType& format : offered) {
            SCOPED_TRACE(std::to_string(format.audio.nSamplesPerSec) + " Hz, " +
                         std::to_string(format.audio.nChannels) + " channels, " +
                         std::to_string(format.audio.nAvgBytesPerSec) + " bytes/s");
            std::vector<MediaType> tries{format};
            if (format.audio.nAvgBytesPerSec != highest) {
                ++lowered;
                MediaType kept = format;
                kept.audio.nAvgBytesPerSec = highest;
                tries.push_back(kept);
            }
            for (const MediaType& wanted : tries) {
                auto compressor = CreateFilter(audio.moniker, "acomp", *context);
                const std::string file = path("format") + std::to_string(n++) + ".avi";
                EXPECT_EQ(RecordSound(*compressor, wanted, file), "");
                MediaType applied;
                EXPECT_EQ(FilterGraph::FindPinByName(*compressor, "Output")->GetFormat(applied),
                          status::S_OK);
                if (wanted.audio.nAvgBytesPerSec != format.audio.nAvgBytesPerSec) {
                    EXPECT_EQ(applied.audio.nAvgBytesPerSec, format.audio.nAvgBytesPerSec);
                }
                const Discovered d = Discover(file);
                EXPECT_TRUE(d.ok) << d.failure;
                EXPECT_EQ(d.audioStreams, 1u);
            }
        }
    }
    // This machine's MPEG layer II encoder offers its low rates below its
    // default bitrate; without it there is nothing lowered to check.
    if (GstOwned<GstElementFactory>::adopt(gst_element_factory_find("twolamemp2enc"))) {
        EXPECT_GT(lowered, 0);
    }
}

} // namespace qeltv
