// Ending recordings: every way a recording stops leaves a finished AVI, with
// its header and index, that a player can read and seek.
#include "capture/Devices.h"
#include "capture/GstRef.h"
#include "capture/VirtualSources.h"
#include "test_graph_support.h"
#include "tests/support/RecordingCheck.h"

#include <gst/pbutils/pbutils.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace qeltv {

template <> struct GstRefTraits<GstDiscoverer> : GObjectRefTraits<GstDiscoverer> {};
template <> struct GstRefTraits<GstDiscovererInfo> : GObjectRefTraits<GstDiscovererInfo> {};

namespace {

using test::GraphTest;
using test::kEndOfStreamUnderLoad_ms;
using test::RecordingObjects;
using test::Spin;
using test::StreamedTime;
using test::WireRecording;

constexpr GstClockTime kRecordBeforePause_ns = 1500 * GST_MSECOND;
constexpr int kPaused_ms = 500;
constexpr GstClockTime kDiscoverTimeout_ns = 5 * GST_SECOND;
// The shortest duration the header of a recording of kRecordBeforePause_ns
// may claim.
constexpr GstClockTime kShortestDuration_ns = 500 * GST_MSECOND;

struct AviFile {
    bool riffSizeMatches = false; // written into the header at end of stream
    bool hasIndex = false;        // the idx1 chunk, written at end of stream
    GstClockTime duration = 0;
    unsigned videoStreams = 0;
    unsigned audioStreams = 0;
    std::string failure;
};

std::uint32_t LittleEndian32(const char* bytes) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[i]);
    return value;
}

AviFile ReadAvi(const std::string& file) {
    AviFile result;
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    constexpr std::size_t kRiffHeaderSize = 12;
    if (bytes.size() >= kRiffHeaderSize && bytes.compare(0, 4, "RIFF") == 0) {
        result.riffSizeMatches = LittleEndian32(bytes.data() + 4) + 8 == bytes.size();
        // The top-level chunks after "RIFF size AVI ": the index is one of them.
        std::size_t at = kRiffHeaderSize;
        while (at + 8 <= bytes.size()) {
            if (bytes.compare(at, 4, "idx1") == 0)
                result.hasIndex = true;
            const std::uint32_t size = LittleEndian32(bytes.data() + at + 4);
            at += 8 + size + (size & 1);
        }
    }

    GstOwned<GError> error;
    auto discoverer =
        GstOwned<GstDiscoverer>::adopt(gst_discoverer_new(kDiscoverTimeout_ns, error.out()));
    if (!discoverer) {
        result.failure = error ? error->message : "no discoverer";
        return result;
    }
    const auto uri = GstOwned<gchar>::adopt(gst_filename_to_uri(file.c_str(), nullptr));
    const auto info = GstOwned<GstDiscovererInfo>::adopt(
        gst_discoverer_discover_uri(discoverer.get(), uri.get(), error.out()));
    if (!info || error) {
        result.failure = error ? error->message : "not discovered";
        return result;
    }
    result.duration = gst_discoverer_info_get_duration(info.get());
    GList* video = gst_discoverer_info_get_video_streams(info.get());
    GList* audio = gst_discoverer_info_get_audio_streams(info.get());
    result.videoStreams = g_list_length(video);
    result.audioStreams = g_list_length(audio);
    gst_discoverer_stream_info_list_free(video);
    gst_discoverer_stream_info_list_free(audio);
    return result;
}

// Regression: a paused recording that was then stopped kept no index and a
// header claiming no frames, as end-of-stream was only sent while playing.
// The sources must also record again afterwards, as a new recording would.
TEST_F(GraphTest, StoppingAPausedRecordingFinishesTheAvi) {
    RecordingObjects objects(*graph);
    card.tune(VirtualTvCard::stations()[0].frequency_hz);
    QString error;
    QObject::connect(graph.get(), &FilterGraph::streamError,
                     [&](const QString& message) { error = message; });

    const std::string paused = path("paused.avi");
    ASSERT_NO_FATAL_FAILURE(WireRecording(*graph, objects, paused));
    Pin* capture = FilterGraph::FindPinByName(objects.vcap.filter(), "Capture");
    Pin* soundCapture = FilterGraph::FindPinByName(objects.acap.filter(), "Capture");
    // Each stream against what its capture pin gave out: on a busy machine
    // the generated picture may fall behind the sound.
    const auto streamed = [](const StreamedTime& video, const StreamedTime& sound) {
        return test::Recorded{double(video.streamed()) / GST_SECOND,
                              double(sound.streamed()) / GST_SECOND};
    };
    test::Recorded recorded{0, 0};
    {
        StreamedTime video(capture->pad()), sound(soundCapture->pad());
        graph->Run();
        ASSERT_TRUE(video.waitFor(kRecordBeforePause_ns));
        graph->Pause();
        ASSERT_EQ(graph->state(), GST_STATE_PAUSED);
        Spin(kPaused_ms);
        EXPECT_TRUE(graph->StopAfterEndOfStream(kEndOfStreamUnderLoad_ms));
        recorded = streamed(video, sound);
    }
    EXPECT_EQ(graph->state(), GST_STATE_NULL);
    EXPECT_EQ(error, "");

    const AviFile first = ReadAvi(paused);
    EXPECT_EQ(first.failure, "");
    EXPECT_TRUE(first.riffSizeMatches);
    EXPECT_TRUE(first.hasIndex);
    EXPECT_GT(first.duration, kShortestDuration_ns);
    const test::RecordingCheck firstCheck = test::CheckRecording(paused, recorded);
    EXPECT_EQ(firstCheck.problems, "") << firstCheck.summary;

    // The same filters record the next file in full.
    const std::string next = path("next.avi");
    ASSERT_EQ(objects.out.filter().SetFileName(next), status::S_OK);
    {
        StreamedTime video(capture->pad()), sound(soundCapture->pad());
        graph->Run();
        ASSERT_TRUE(video.waitFor(kRecordBeforePause_ns));
        EXPECT_TRUE(graph->StopAfterEndOfStream(kEndOfStreamUnderLoad_ms));
        recorded = streamed(video, sound);
    }
    EXPECT_EQ(error, "");
    const AviFile second = ReadAvi(next);
    EXPECT_EQ(second.failure, "");
    EXPECT_TRUE(second.riffSizeMatches);
    EXPECT_TRUE(second.hasIndex);
    EXPECT_GT(second.duration, kShortestDuration_ns);
    const test::RecordingCheck secondCheck = test::CheckRecording(next, recorded);
    EXPECT_EQ(secondCheck.problems, "") << secondCheck.summary;
}

} // namespace
} // namespace qeltv
