// The webcast writer's network side: the batches that the socket sink writes
// to each client, and what a client that joins a running webcast receives.

// Before any Qt header: Qt's "signals" keyword would break GIO's headers.
#include <gio/gio.h>

#include "capture/FilterObject.h"
#include "capture/WebmWriter.h"
#include "common/UniqueFd.h"
#include "tests/app/FreePort.h"
#include "tests/capture/test_graph_support.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <vector>

using namespace qeltv;
using namespace qeltv::test;

namespace qeltv {
template <> struct GstRefTraits<GSocket> : GObjectRefTraits<GSocket> {};
} // namespace qeltv

namespace {

constexpr GstClockTime kStep_ns = 10 * GST_MSECOND;
constexpr int kWait_ms = 20000;

struct Input {
    std::string bytes;
    GstClockTime pts = GST_CLOCK_TIME_NONE;
    bool header = false;
    bool keyframe = false;
};

GstBuffer* MakeBuffer(const Input& input) {
    GstBuffer* buffer = gst_buffer_new_memdup(input.bytes.data(), input.bytes.size());
    GST_BUFFER_PTS(buffer) = input.pts;
    GST_BUFFER_DURATION(buffer) = input.header ? GST_CLOCK_TIME_NONE : kStep_ns;
    if (input.header)
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_HEADER);
    if (!input.keyframe)
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    return buffer;
}

// Two header buffers, then `count` data buffers kStep_ns apart (each of its
// own length and byte), keyframes where `keyframes` says.
std::vector<Input> Stream(int count, const std::vector<int>& keyframes) {
    std::vector<Input> stream{{std::string(10, 'H'), 0, true, false},
                              {std::string(20, 'I'), 0, true, false}};
    for (int i = 0; i < count; ++i) {
        const bool key = std::find(keyframes.begin(), keyframes.end(), i) != keyframes.end();
        stream.push_back(
            {std::string(static_cast<std::size_t>(100 + i), static_cast<char>('a' + i % 26)),
             static_cast<GstClockTime>(i) * kStep_ns, false, key});
    }
    return stream;
}

struct Output {
    std::string bytes;
    GstClockTime pts = GST_CLOCK_TIME_NONE;
    GstClockTime duration = GST_CLOCK_TIME_NONE;
    bool header = false;
    bool keyframe = false;
};

// Counts the buffers that pass a pad.
struct BufferCount {
    explicit BufferCount(GstPad* pad)
        : probe(GstOwnedPadProbe::add(pad, GST_PAD_PROBE_TYPE_BUFFER, &BufferCount::Add, this)) {}
    ~BufferCount() { probe.reset(); }
    static GstPadProbeReturn Add(GstPad*, GstPadProbeInfo*, gpointer self) {
        ++static_cast<BufferCount*>(self)->buffers;
        return GST_PAD_PROBE_OK;
    }
    std::atomic<int> buffers{0};
    GstOwnedPadProbe probe;
};

// What the socket sink would be fed, read back from an appsink.
std::vector<Output> Batched(const std::vector<Input>& stream) {
    EXPECT_TRUE(RegisterWebcastBatcher());
    const std::string launch = std::string("appsrc name=in format=time caps=video/webm ! ") +
                               kWebcastBatcherFactory + " ! appsink name=out sync=false";
    auto pipeline = GstOwned<GstElement>::sink(gst_parse_launch(launch.c_str(), nullptr));
    EXPECT_TRUE(pipeline);
    if (!pipeline)
        return {};
    const auto in = GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "in"));
    const auto out =
        GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "out"));
    EXPECT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    for (const Input& input : stream)
        EXPECT_EQ(gst_app_src_push_buffer(GST_APP_SRC(in.get()), MakeBuffer(input)), GST_FLOW_OK);
    EXPECT_EQ(gst_app_src_end_of_stream(GST_APP_SRC(in.get())), GST_FLOW_OK);
    std::vector<Output> outputs;
    while (auto sample = GstOwned<GstSample>::adopt(
               gst_app_sink_try_pull_sample(GST_APP_SINK(out.get()), kWait_ms * GST_MSECOND))) {
        GstBuffer* buffer = gst_sample_get_buffer(sample.get());
        Output output;
        output.bytes.resize(gst_buffer_get_size(buffer));
        gst_buffer_extract(buffer, 0, output.bytes.data(), output.bytes.size());
        output.pts = GST_BUFFER_PTS(buffer);
        output.duration = GST_BUFFER_DURATION(buffer);
        output.header = GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_HEADER);
        output.keyframe = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
        outputs.push_back(std::move(output));
    }
    EXPECT_TRUE(gst_app_sink_is_eos(GST_APP_SINK(out.get())));
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return outputs;
}

UniqueFd Connect(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return UniqueFd();
    return fd;
}

// Reads into `text` until it holds `bytes`, the peer closes or timeout_ms
// passes without data.
bool ReadAtLeast(int fd, std::string& text, std::size_t bytes, int timeout_ms = kWait_ms) {
    while (text.size() < bytes) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0)
            return false;
        char buffer[16384];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return false;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
}

// The stream header of the sink's caps, as one text.
std::string StreamHeader(GstElement* socketSink) {
    const auto pad = GstOwned<GstPad>::adopt(gst_element_get_static_pad(socketSink, "sink"));
    const auto caps = GstOwned<GstCaps>::adopt(gst_pad_get_current_caps(pad.get()));
    if (!caps)
        return {};
    const GValue* headers =
        gst_structure_get_value(gst_caps_get_structure(caps.get(), 0), "streamheader");
    std::string text;
    for (guint i = 0; headers && i < gst_value_array_get_size(headers); ++i) {
        GstBuffer* buffer = gst_value_get_buffer(gst_value_array_get_value(headers, i));
        std::string part(gst_buffer_get_size(buffer), '\0');
        gst_buffer_extract(buffer, 0, part.data(), part.size());
        text += part;
    }
    return text;
}

// The video frames that a player decodes from `stream` (a WebM stream from
// its first byte): the demuxer's video buffers and the decoder's frames.
struct Decoded {
    std::vector<bool> keyframes;       // each video buffer the demuxer gave
    std::vector<GstClockTime> demuxed; // their times
    std::vector<GstClockTime> frames;  // the times of the decoded frames
};

Decoded Decode(const std::string& stream) {
    Decoded decoded;
    auto pipeline = GstOwned<GstElement>::sink(gst_parse_launch(
        "appsrc name=in ! matroskademux ! queue name=video ! vp8dec ! appsink name=out "
        "sync=false",
        nullptr));
    EXPECT_TRUE(pipeline);
    if (!pipeline)
        return decoded;
    const auto in = GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "in"));
    const auto out =
        GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "out"));
    const auto video =
        GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "video"));
    const auto videoPad = GstOwned<GstPad>::adopt(gst_element_get_static_pad(video.get(), "sink"));
    const auto probe = GstOwnedPadProbe::add(
        videoPad.get(), GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
            auto* seen = static_cast<Decoded*>(data);
            seen->keyframes.push_back(!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT));
            seen->demuxed.push_back(GST_BUFFER_PTS(buffer));
            return GST_PAD_PROBE_OK;
        },
        &decoded);
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    gst_app_src_push_buffer(GST_APP_SRC(in.get()),
                            gst_buffer_new_memdup(stream.data(), stream.size()));
    gst_app_src_end_of_stream(GST_APP_SRC(in.get()));
    while (auto sample = GstOwned<GstSample>::adopt(
               gst_app_sink_try_pull_sample(GST_APP_SINK(out.get()), kWait_ms * GST_MSECOND)))
        decoded.frames.push_back(GST_BUFFER_PTS(gst_sample_get_buffer(sample.get())));
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return decoded;
}

} // namespace

// The batches hold the stream's bytes in order, each batch a batch's time
// at most; the headers pass alone and keep their mark; a keyframe starts a
// batch, which keeps the key mark, and only such batches carry it; the end
// of the stream takes the last batch with it.
TEST(WebcastBatcher, JoinsStreamCutAtKeyframes) {
    App();
    constexpr int kBuffers = 60;
    const std::vector<int> keyframes{0, 33};
    const std::vector<Input> stream = Stream(kBuffers, keyframes);
    const std::vector<Output> outputs = Batched(stream);
    ASSERT_GE(outputs.size(), 3u);

    EXPECT_TRUE(outputs[0].header);
    EXPECT_EQ(outputs[0].bytes, stream[0].bytes);
    EXPECT_TRUE(outputs[1].header);
    EXPECT_EQ(outputs[1].bytes, stream[1].bytes);

    std::string sent, received;
    std::vector<std::size_t> keyframeOffsets;
    for (std::size_t i = 2; i < stream.size(); ++i) {
        if (stream[i].keyframe)
            keyframeOffsets.push_back(sent.size());
        sent += stream[i].bytes;
    }
    std::vector<std::size_t> keyBatchOffsets;
    for (std::size_t i = 2; i < outputs.size(); ++i) {
        const Output& batch = outputs[i];
        EXPECT_FALSE(batch.header) << i;
        if (batch.keyframe)
            keyBatchOffsets.push_back(received.size());
        // Its span: from its first buffer's time to its last buffer's end.
        ASSERT_TRUE(GST_CLOCK_TIME_IS_VALID(batch.pts)) << i;
        EXPECT_LE(batch.duration, static_cast<GstClockTime>(kWebcastBatch_ns)) << i;
        received += batch.bytes;
    }
    EXPECT_EQ(received, sent);
    EXPECT_EQ(keyBatchOffsets, keyframeOffsets);
    // Joined: a batch's time holds many buffers here.
    const std::size_t expectedBatches =
        static_cast<std::size_t>(kBuffers) * kStep_ns / kWebcastBatch_ns + keyframes.size();
    EXPECT_LE(outputs.size() - 2, expectedBatches);
}

// A keyframe that comes within a batch's time of the one before still
// starts a batch of its own, so that a client can start there; the pieces
// that start one keyframe (here the first two) stay together.
TEST(WebcastBatcher, KeyframeSoonAfterAnotherStartsItsBatch) {
    App();
    constexpr int kBuffers = 8;
    static_assert(kBuffers * kStep_ns < static_cast<GstClockTime>(kWebcastBatch_ns));
    const std::vector<Input> stream = Stream(kBuffers, {0, 1, 3});
    const std::vector<Output> outputs = Batched(stream);
    ASSERT_EQ(outputs.size(), 4u);
    std::string first, second;
    for (std::size_t i = 2; i < 5; ++i)
        first += stream[i].bytes;
    for (std::size_t i = 5; i < stream.size(); ++i)
        second += stream[i].bytes;
    EXPECT_EQ(outputs[2].bytes, first);
    EXPECT_TRUE(outputs[2].keyframe);
    EXPECT_EQ(outputs[3].bytes, second);
    EXPECT_TRUE(outputs[3].keyframe);
    EXPECT_EQ(outputs[3].pts, stream[5].pts);
}

// A client that the sink takes while a batch is being filled gets the
// stream at once, starting at the latest keyframe, without waiting for the
// batch to fill: here no further data comes within the batch's time.
TEST(WebcastBatcher, NewClientStartsAtOnce) {
    App();
    ASSERT_TRUE(RegisterWebcastBatcher());
    const std::string launch = std::string("appsrc name=in format=time caps=video/webm ! ") +
                               kWebcastBatcherFactory +
                               " name=batcher ! multisocketsink name=sink sync=false async=false "
                               "sync-method=latest-keyframe";
    auto pipeline = GstOwned<GstElement>::sink(gst_parse_launch(launch.c_str(), nullptr));
    ASSERT_TRUE(pipeline);
    const auto in = GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "in"));
    const auto batcher =
        GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "batcher"));
    const auto sink =
        GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    StartNewClientsAtOnce(batcher.get(), sink.get());
    const auto batcherInput =
        GstOwned<GstPad>::adopt(gst_element_get_static_pad(batcher.get(), "sink"));
    BufferCount taken(batcherInput.get());
    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);

    // A first batch (a keyframe and what follows) goes to the sink; the
    // start of a second one stays with the batcher; the client comes; the
    // last buffers, all within the second batch's time, follow.
    const std::vector<Input> stream = Stream(14, {0});
    const std::size_t held = 2;
    static_assert(14 * kStep_ns < 2 * static_cast<GstClockTime>(kWebcastBatch_ns));
    std::string expected;
    for (std::size_t i = 0; i < stream.size() - held; ++i)
        ASSERT_EQ(gst_app_src_push_buffer(GST_APP_SRC(in.get()), MakeBuffer(stream[i])),
                  GST_FLOW_OK);
    for (std::size_t i = 2; i < stream.size(); ++i)
        expected += stream[i].bytes;

    // The batcher has seen them all (appsrc pushes from a thread of its own).
    ASSERT_TRUE(WaitUntil([&] { return taken.buffers == static_cast<int>(stream.size() - held); },
                          kWait_ms));

    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFd client(pair[0]);
    auto served = GstOwned<GSocket>::adopt(g_socket_new_from_fd(pair[1], nullptr));
    ASSERT_TRUE(served);
    g_signal_emit_by_name(sink.get(), "add", served.get());
    for (std::size_t i = stream.size() - held; i < stream.size(); ++i)
        ASSERT_EQ(gst_app_src_push_buffer(GST_APP_SRC(in.get()), MakeBuffer(stream[i])),
                  GST_FLOW_OK);

    std::string data;
    EXPECT_TRUE(ReadAtLeast(client.get(), data, expected.size()));
    EXPECT_EQ(data, expected);
    g_signal_emit_by_name(sink.get(), "clear");
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
}

// A viewer that joins a running webcast gets the stream header and then a
// cluster that starts at a keyframe, and its player decodes from the first
// frame it receives; the sink writes far fewer, larger buffers than the
// muxer makes.
class WebcastWriterTest : public GraphTest {};

TEST_F(WebcastWriterTest, LateJoinerStartsAtKeyframeInBatches) {
    card.tune(VirtualTvCard::stations().front().frequency_hz);
    FilterObject videoCap(*graph, "filterVideoCap"), audioCap(*graph, "filterAudioCap");
    videoCap.setMoniker(kVirtualCardMoniker);
    audioCap.setMoniker(kVirtualCardAudioMoniker);
    videoCap.Attach();
    audioCap.Attach();
    WebmWriter writer(*graph);
    const int port = FreePort();
    writer.setPort(port);
    writer.setMaxUsers(2);
    writer.Attach();
    ASSERT_TRUE(writer.networkSink()) << writer.networkSinkError();
    ASSERT_EQ(FilterGraph::FindPinByName(videoCap.filter(), "Capture")
                  ->SetFormat(VideoFormat(subtype::YUY2, 320, 240, 400000)),
              status::S_OK);
    ASSERT_EQ(graph->RenderStream(PinCategory::Capture, MediaKind::Video, &videoCap.filter(),
                                  nullptr, &writer.filter()),
              status::S_OK);
    ASSERT_EQ(graph->RenderStream(PinCategory::Capture, MediaKind::Audio, &audioCap.filter(),
                                  nullptr, &writer.filter()),
              status::S_OK);
    auto* filter = dynamic_cast<WebmWriterFilter*>(&writer.filter());
    ASSERT_TRUE(filter);
    const auto teePad =
        GstOwned<GstPad>::adopt(gst_element_get_static_pad(filter->muxedStream(), "sink"));
    const auto sinkPad =
        GstOwned<GstPad>::adopt(gst_element_get_static_pad(filter->socketSink(), "sink"));
    BufferCount muxed(teePad.get());
    BufferCount written(sinkPad.get());
    StreamedTime streamed(sinkPad.get());
    graph->Run();
    // Past the first keyframe interval, so the viewer joins a running stream.
    ASSERT_TRUE(streamed.waitFor(2 * kWebcastKeyframeInterval_s * GST_SECOND + GST_SECOND / 2));

    UniqueFd viewer = Connect(port);
    ASSERT_TRUE(viewer);
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(::send(viewer.get(), request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    std::string data;
    ASSERT_TRUE(ReadAtLeast(viewer.get(), data, 4));
    const std::size_t bodyAt = data.find("\r\n\r\n");
    ASSERT_NE(bodyAt, std::string::npos);
    const std::string header = StreamHeader(filter->socketSink());
    ASSERT_FALSE(header.empty());
    // The header, then a cluster.
    const std::string cluster("\x1f\x43\xb6\x75", 4);
    ASSERT_TRUE(ReadAtLeast(viewer.get(), data, bodyAt + 4 + header.size() + cluster.size()));
    std::string body = data.substr(bodyAt + 4);
    EXPECT_EQ(body.substr(0, header.size()), header);
    EXPECT_EQ(body.substr(header.size(), cluster.size()), cluster);
    // Two keyframe intervals of stream.
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::seconds(2 * kWebcastKeyframeInterval_s);
    while (std::chrono::steady_clock::now() < end &&
           ReadAtLeast(viewer.get(), body, body.size() + 1))
        ;
    const int muxedBuffers = muxed.buffers;
    const int writtenBuffers = written.buffers;
    graph->Stop();

    const Decoded decoded = Decode(body);
    ASSERT_FALSE(decoded.keyframes.empty());
    EXPECT_TRUE(decoded.keyframes.front());
    ASSERT_FALSE(decoded.frames.empty());
    EXPECT_EQ(decoded.frames.front(), decoded.demuxed.front());
    EXPECT_EQ(decoded.frames.size(), decoded.demuxed.size());
    // Two buffers per frame and per sound block from the muxer; a batch
    // holds several of each.
    EXPECT_GT(writtenBuffers, 0);
    EXPECT_GE(muxedBuffers, 4 * writtenBuffers) << muxedBuffers << " " << writtenBuffers;
}
