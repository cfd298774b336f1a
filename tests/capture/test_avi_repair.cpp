// Repairing recordings that their writer never finished: files written by
// the recording graph, copied while it records (the state a kill leaves) and
// cut at random places, and a file in OpenDML parts over 1 GB. A repaired
// file claims the frames it holds, lasts the time recorded, and every frame
// decodes.
#include "capture/AviRepair.h"
#include "capture/GstRef.h"
#include "test_graph_support.h"

#include <QProcess>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>

namespace qeltv {
namespace {

using test::GraphTest;
using test::kEndOfStreamUnderLoad_ms;
using test::RecordingObjects;
using test::StreamedTime;
using test::WaitUntil;
using test::WireRecording;

constexpr GstClockTime kRecorded_ns = 3 * GST_SECOND;
constexpr double kFrameRate = 25.0;
constexpr double kDurationTolerance_s = 1.0;
constexpr int kCutsPerFile = 4;
// Each cut of a large file is a copy of more than 1 GB.
constexpr int kCutsOfLargeFile = 1;
constexpr int kProbeTimeout_ms = 120000;
// Past the first RIFF, which avimux closes at 1 GB.
constexpr std::uintmax_t kOpenDmlSize_bytes = 1'150'000'000;

struct Probe {
    long framesRead = -1;    // frames that decoded
    long framesClaimed = -1; // frames the header claims
    double duration_s = -1;
    QString output;
};

// ffprobe decodes every video frame of the file.
Probe ProbeFile(const std::filesystem::path& file) {
    QProcess ffprobe;
    ffprobe.start("ffprobe",
                  {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                   "stream=nb_read_frames,nb_frames:format=duration", "-of",
                   "default=noprint_wrappers=1", QString::fromStdString(file.string())});
    Probe probe;
    if (!ffprobe.waitForFinished(kProbeTimeout_ms))
        return probe;
    probe.output =
        QString::fromUtf8(ffprobe.readAllStandardOutput() + ffprobe.readAllStandardError());
    for (const QString& line : probe.output.split('\n')) {
        const QString value = line.section('=', 1);
        if (line.startsWith("nb_read_frames="))
            probe.framesRead = value.toLong();
        else if (line.startsWith("nb_frames="))
            probe.framesClaimed = value.toLong();
        else if (line.startsWith("duration="))
            probe.duration_s = value.toDouble();
    }
    return probe;
}

// The frames GStreamer's own demuxer and decoders give of the file.
long DecodedFrames(const std::filesystem::path& file) {
    GstOwned<GError> error;
    const std::string description = "filesrc location=\"" + file.string() +
                                    "\" ! avidemux name=d d.video_0 ! queue ! decodebin ! "
                                    "fakesink name=sink signal-handoffs=true";
    auto pipeline = GstOwned<GstElement>::sink(gst_parse_launch(description.c_str(), error.out()));
    if (!pipeline)
        return -1;
    std::atomic<long> frames{0};
    auto sink = GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    g_signal_connect(sink.get(), "handoff",
                     G_CALLBACK(+[](GstElement*, GstBuffer*, GstPad*, gpointer count) {
                         ++*static_cast<std::atomic<long>*>(count);
                     }),
                     &frames);
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    auto bus = GstOwned<GstBus>::adopt(gst_element_get_bus(pipeline.get()));
    auto message = GstOwned<GstMessage>::adopt(gst_bus_timed_pop_filtered(
        bus.get(), kProbeTimeout_ms * GST_MSECOND,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    const bool ended = message && GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_EOS;
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return ended ? frames.load() : -1;
}

// Cuts copies of an unfinished recording at random places after its header,
// repairs each and checks what it holds.
void RepairCopiesCutAtRandom(const std::filesystem::path& unfinished, std::uintmax_t cutFrom,
                             double recorded_s, std::mt19937& random, int cuts) {
    const std::uintmax_t size = std::filesystem::file_size(unfinished);
    std::uniform_int_distribution<std::uintmax_t> cut(cutFrom, size - 1);
    for (int n = 0; n <= cuts; ++n) {
        // The first copy is whole: a kill between two writes.
        const std::uintmax_t length = n == 0 ? size : cut(random);
        SCOPED_TRACE("cut at " + std::to_string(length) + " of " + std::to_string(size));
        const std::filesystem::path copy = unfinished.parent_path() / "cut.avi";
        std::filesystem::copy_file(unfinished, copy,
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::resize_file(copy, length);
        EXPECT_FALSE(AviIsFinished(copy));
        int lastPercent = -1;
        const AviRepairResult result = RepairAvi(copy, [&](int percent) {
            EXPECT_GE(percent, lastPercent);
            lastPercent = percent;
        });
        ASSERT_EQ(result.error, "");
        EXPECT_TRUE(result.repaired);
        EXPECT_EQ(lastPercent, 100);
        EXPECT_TRUE(AviIsFinished(copy));
        ASSERT_GT(result.videoFrames, 0u);
        const Probe probe = ProbeFile(copy);
        EXPECT_EQ(probe.framesClaimed, long(result.videoFrames)) << probe.output.toStdString();
        EXPECT_EQ(probe.framesRead, long(result.videoFrames)) << probe.output.toStdString();
        EXPECT_NEAR(probe.duration_s, result.videoFrames / kFrameRate, kDurationTolerance_s)
            << probe.output.toStdString();
        if (n == 0) {
            EXPECT_NEAR(probe.duration_s, recorded_s, kDurationTolerance_s)
                << probe.output.toStdString();
        }
        EXPECT_EQ(DecodedFrames(copy), long(result.videoFrames));
        // Repaired once is repaired: a second run changes nothing.
        EXPECT_FALSE(RepairAvi(copy).repaired);
    }
}

// Where the first video chunk ("00dc" compressed, "00db" raw, its
// little-endian size after it) ends; 0 when there is none.
std::uintmax_t EndOfFirstVideoChunk(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t movi = bytes.find("movi");
    const std::size_t chunk = movi == std::string::npos
                                  ? movi
                                  : std::min(bytes.find("00dc", movi), bytes.find("00db", movi));
    if (chunk == std::string::npos || chunk + 8 > bytes.size())
        return 0;
    std::uint32_t size = 0;
    for (int i = 3; i >= 0; --i)
        size = (size << 8) | static_cast<unsigned char>(bytes[chunk + 4 + i]);
    return chunk + 8 + size + (size & 1);
}

std::mt19937 SeededRandom() {
    const unsigned seed = std::random_device{}();
    std::cout << "random seed " << seed << "\n";
    return std::mt19937(seed);
}

TEST_F(GraphTest, RecordingCutAtRandomIsRepaired) {
    RecordingObjects objects(*graph);
    card.tune(VirtualTvCard::stations()[0].frequency_hz);
    const std::filesystem::path working = path("capture.avi");
    ASSERT_NO_FATAL_FAILURE(WireRecording(*graph, objects, working.string()));
    Pin* capture = FilterGraph::FindPinByName(objects.vcap.filter(), "Capture");
    const std::filesystem::path killed = path("killed.avi");
    double recorded_s = 0;
    {
        StreamedTime video(capture->pad());
        graph->Run();
        ASSERT_TRUE(video.waitFor(kRecorded_ns));
        // What a kill leaves: the file as written so far, header unfinished.
        std::filesystem::copy_file(working, killed);
        recorded_s = double(video.streamed()) / GST_SECOND;
    }
    EXPECT_TRUE(graph->StopAfterEndOfStream(kEndOfStreamUnderLoad_ms));
    // The finished file needs no repair and gets none.
    EXPECT_TRUE(AviIsFinished(working));
    EXPECT_FALSE(RepairAvi(working).repaired);
    // Cuts anywhere past the first whole video frame (a cut before it leaves
    // no picture to keep; with PCM sound that can be well into the file).
    std::mt19937 random = SeededRandom();
    const std::uintmax_t firstFrameEnd = EndOfFirstVideoChunk(killed);
    ASSERT_GT(firstFrameEnd, 0u);
    ASSERT_NO_FATAL_FAILURE(
        RepairCopiesCutAtRandom(killed, firstFrameEnd, recorded_s, random, kCutsPerFile));
}

// avimux starts a RIFF AVIX part at 1 GB; raw full-HD frames get there in
// seconds without a live source.
TEST(AviRepair, OpenDmlFileCutAtRandomIsRepaired) {
    test::App();
    QTemporaryDir dir;
    const std::filesystem::path file = (dir.path() + "/big.avi").toStdString();
    GstOwned<GError> error;
    const std::string description =
        "videotestsrc pattern=ball ! video/x-raw,format=I420,width=1920,height=1080,"
        "framerate=25/1 ! queue ! avimux name=mux ! filesink location=\"" +
        file.string() +
        "\" audiotestsrc ! audio/x-raw,format=S16LE,rate=44100,channels=2 ! queue ! mux.";
    auto pipeline = GstOwned<GstElement>::sink(gst_parse_launch(description.c_str(), error.out()));
    ASSERT_TRUE(pipeline) << (error ? error->message : "");
    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::error_code ec;
            return std::filesystem::file_size(file, ec) > kOpenDmlSize_bytes && !ec;
        },
        kProbeTimeout_ms));
    // Stopped without an end of stream: nothing finishes the header.
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    std::mt19937 random = SeededRandom();
    // Cuts in the second part, so the first keeps its index.
    const double frames_s =
        double(std::filesystem::file_size(file)) / (1920 * 1080 * 3 / 2) / kFrameRate;
    ASSERT_NO_FATAL_FAILURE(
        RepairCopiesCutAtRandom(file, 1'075'000'000, frames_s, random, kCutsOfLargeFile));
}

} // namespace
} // namespace qeltv
