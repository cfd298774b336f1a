// The webcast through the capture layer (Virtual TV Card, webcast writer with
// its network sink, profile 0) as clients on 127.0.0.1 see it:
//   - time from a client's connect to its first decoded frame while the
//     webcast runs, and from the start of the webcast to the first decoded
//     frame at a client that waits for the port;
//   - CPU seconds of the layer with 1, 50 and 255 clients reading for the
//     duration, and the ratio 255/1;
//   - against a bare gst-launch-1.0 pipeline of the same elements (the
//     card's test picture and tone, the same encoders, muxer and a
//     tcpserversink of the same family as the layer's sink) with one client
//     over the same interval.
//
//   webcast_bench [duration_s]   (default 30)
#include "capture/AsfWriter.h"
#include "capture/Devices.h"
#include "capture/FilterGraph.h"
#include "capture/GraphBuilder.h"
#include "capture/VirtualTvCard.h"
#include "common/UniqueFd.h"
#include "settings/AutoTuneStore.h"
#include "settings/RegStore.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultDuration_s = 30;
constexpr int kConnectSamples = 5;
constexpr int kStartSamples = 3;
constexpr int kProfile = 0;
constexpr int kFramesPerSecond = 25;
constexpr int kFirstFrameTimeout_ms = 20000;
constexpr int kConnectRetry_ms = 5;
constexpr std::size_t kReadChunk = 65536;
constexpr int kClientCounts[] = {1, 50, 255};

double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

int FreePort() {
    qeltv::UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

qeltv::UniqueFd Connect(int port) {
    qeltv::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return {};
    return fd;
}

bool SendGet(const qeltv::UniqueFd& fd) {
    static const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    return ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(request.size());
}

// Seconds from `since` to the first picture decoded from what the client
// receives after its response head; negative when none came in time.
double FirstFrame(const qeltv::UniqueFd& fd, Clock::time_point since) {
    GstElement* pipeline = gst_parse_launch(
        "appsrc name=in ! matroskademux ! vp8dec ! appsink name=out sync=false", nullptr);
    auto owned = qeltv::GstOwned<GstElement>::sink(pipeline);
    const auto in =
        qeltv::GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline), "in"));
    const auto out =
        qeltv::GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline), "out"));
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    std::string pending;
    bool headDone = false;
    double result = -1;
    const auto end = Clock::now() + std::chrono::milliseconds(kFirstFrameTimeout_ms);
    while (Clock::now() < end && result < 0) {
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, 10) > 0) {
            char buffer[kReadChunk];
            const ssize_t got = ::recv(fd.get(), buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            pending.append(buffer, static_cast<std::size_t>(got));
            if (!headDone) {
                const std::size_t head = pending.find("\r\n\r\n");
                if (head == std::string::npos)
                    continue;
                pending.erase(0, head + 4);
                headDone = true;
            }
            if (pending.empty())
                continue;
            GstBuffer* data = gst_buffer_new_memdup(pending.data(), pending.size());
            gst_app_src_push_buffer(GST_APP_SRC(in.get()), data);
            pending.clear();
        }
        if (auto sample = qeltv::GstOwned<GstSample>::adopt(
                gst_app_sink_try_pull_sample(GST_APP_SINK(out.get()), 0)))
            result = Seconds(Clock::now() - since);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    return result;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

// The capture layer wired as a webcast build wires it.
struct Layer {
    qeltv::FilterGraph& graph;
    qeltv::FilterObject videoCap, audioCap;
    qeltv::AsfWriter writer;

    explicit Layer(qeltv::FilterGraph& g)
        : graph(g), videoCap(g, "filterVideoCap"), audioCap(g, "filterAudioCap"), writer(g) {
        videoCap.setMoniker(qeltv::kVirtualCardMoniker);
        audioCap.setMoniker(qeltv::kVirtualCardAudioMoniker);
        videoCap.Attach();
        audioCap.Attach();
    }
    void start(int port) {
        writer.setPort(port);
        writer.setMaxUsers(qeltv::kMaxWebcastClients);
        writer.Attach();
        writer.ConfigureFilterUsingProfile(kProfile);
        qeltv::Pin* capture = qeltv::FilterGraph::FindPinByName(videoCap.filter(), "Capture");
        qeltv::MediaType format;
        capture->GetFormat(format);
        format.video.biWidth = qeltv::GraphBuilder::kWebcastWidth;
        format.video.biHeight = qeltv::GraphBuilder::kWebcastHeight;
        format.video.AvgTimePerFrame = qeltv::GraphBuilder::kWebcastFrameDuration;
        capture->SetFormat(format);
        graph.RenderStream(qeltv::PinCategory::Capture, qeltv::MediaKind::Video, &videoCap.filter(),
                           nullptr, &writer.filter());
        graph.RenderStream(qeltv::PinCategory::Capture, qeltv::MediaKind::Audio, &audioCap.filter(),
                           nullptr, &writer.filter());
        graph.Run();
    }
    void stop() {
        graph.Stop();
        graph.DisconnectAll();
        writer.Detach();
        graph.RemoveUnownedFilters();
    }
};

// Reads every client for duration_s; returns the CPU seconds this thread
// spent reading, which the caller takes off the process's.
double ReadClients(std::vector<qeltv::UniqueFd>& clients, int duration_s) {
    const double before = CpuSeconds(RUSAGE_THREAD);
    const auto end = Clock::now() + std::chrono::seconds(duration_s);
    std::vector<pollfd> fds;
    for (auto& c : clients)
        fds.push_back({c.get(), POLLIN, 0});
    char buffer[kReadChunk];
    while (Clock::now() < end) {
        if (::poll(fds.data(), fds.size(), 100) <= 0)
            continue;
        for (auto& f : fds)
            if (f.revents & POLLIN)
                (void)::recv(f.fd, buffer, sizeof buffer, 0);
    }
    return CpuSeconds(RUSAGE_THREAD) - before;
}

} // namespace

int main(int argc, char** argv) {
    const int duration_s = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultDuration_s;
    gst_init(&argc, &argv);
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const qeltv::WebcastProfile& profile = qeltv::WebcastProfileAt(kProfile);
    std::printf("cores: %u; duration %d s; profile %s (%d kbps video at 320x240, %d kbps audio)\n",
                std::thread::hardware_concurrency(), duration_s, profile.id,
                profile.videoBitrate_kbps, profile.audioBitrate_kbps);

    // Baseline: the card's picture and tone through the same encoders and
    // muxer into a sink of the same family, one client reading.
    const int barePort = FreePort();
    char baseline[4096];
    std::snprintf(
        baseline, sizeof baseline,
        "gst-launch-1.0 -q webmmux streamable=true name=m ! tcpserversink host=127.0.0.1 "
        "port=%d sync-method=latest-keyframe recover-policy=keyframe unit-format=time "
        "units-soft-max=%lld units-max=%lld timeout=%lld time-min=%lld sync=false async=false "
        "videotestsrc is-live=true pattern=ball horizontal-speed=2 num-buffers=%d ! "
        "video/x-raw,width=320,height=240,framerate=25/1 ! textoverlay text=Station "
        "font-desc=\"Sans Bold 20\" ! clockoverlay time-format=%%H:%%M:%%S ! queue leaky=2 "
        "max-size-buffers=0 max-size-bytes=0 max-size-time=1000000000 ! videoconvert ! vp8enc "
        "deadline=1 cpu-used=8 keyframe-max-dist=25 lag-in-frames=0 threads=%u end-usage=cbr "
        "target-bitrate=%d ! m. audiotestsrc is-live=true samplesperbuffer=1764 num-buffers=%d ! "
        "queue leaky=2 max-size-buffers=0 max-size-bytes=0 max-size-time=1000000000 ! "
        "audioconvert ! audioresample ! audio/x-raw,rate=%d,channels=%d ! vorbisenc bitrate=%d "
        "! m.",
        barePort, static_cast<long long>(qeltv::kWebcastClientSoftLag_ns),
        static_cast<long long>(qeltv::kWebcastClientHardLag_ns),
        static_cast<long long>(qeltv::kWebcastClientStall_ns),
        static_cast<long long>(2LL * qeltv::kWebcastKeyframeInterval_s * 1'000'000'000LL),
        duration_s * kFramesPerSecond, std::max(1u, std::thread::hardware_concurrency()),
        profile.videoBitrate_kbps * 1000, duration_s * kFramesPerSecond, profile.sampleRate_hz,
        profile.channels, profile.audioBitrate_kbps * 1000);
    std::printf("baseline: %s\n", baseline);
    std::atomic<bool> bareDone{false};
    std::thread bareClient([&] {
        qeltv::UniqueFd fd;
        while (!fd && !bareDone) {
            fd = Connect(barePort);
            if (!fd)
                std::this_thread::sleep_for(std::chrono::milliseconds(kConnectRetry_ms));
        }
        char buffer[kReadChunk];
        while (fd && ::recv(fd.get(), buffer, sizeof buffer, 0) > 0) {
        }
    });
    const double bareBefore = CpuSeconds(RUSAGE_CHILDREN);
    const bool bareOk = std::system(baseline) == 0;
    const double bareCpu = CpuSeconds(RUSAGE_CHILDREN) - bareBefore;
    bareDone = true;
    bareClient.join();
    if (!bareOk) {
        std::fprintf(stderr, "the baseline pipeline failed\n");
        return 1;
    }

    qeltv::RegFile machine((dir.path() + "/HKEY_LOCAL_MACHINE.reg").toStdString(),
                           "HKEY_LOCAL_MACHINE");
    qeltv::AutoTuneStore store(machine);
    qeltv::VirtualTvCard card;
    qeltv::CaptureContext context{card, store};
    qeltv::FilterGraph graph(context);
    graph.Activate();
    Layer layer(graph);
    card.tune(qeltv::VirtualTvCard::stations().front().frequency_hz);

    // From the start of the webcast to the first frame at a waiting client.
    std::vector<double> fromStart;
    for (int i = 0; i < kStartSamples; ++i) {
        const int port = FreePort();
        Clock::time_point started{};
        std::atomic<bool> go{false};
        double seconds = -1;
        std::thread client([&] {
            while (!go)
                std::this_thread::yield();
            qeltv::UniqueFd fd;
            const auto end = Clock::now() + std::chrono::milliseconds(kFirstFrameTimeout_ms);
            while (!fd && Clock::now() < end) {
                fd = Connect(port);
                if (!fd)
                    std::this_thread::sleep_for(std::chrono::milliseconds(kConnectRetry_ms));
            }
            if (fd && SendGet(fd))
                seconds = FirstFrame(fd, started);
        });
        started = Clock::now();
        go = true;
        layer.start(port);
        client.join();
        fromStart.push_back(seconds);
        layer.stop();
    }

    // From a client's connect to its first frame, the webcast running.
    const int port = FreePort();
    layer.start(port);
    std::vector<double> fromConnect;
    for (int i = 0; i < kConnectSamples; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 / kConnectSamples + 137));
        const auto connected = Clock::now();
        qeltv::UniqueFd fd = Connect(port);
        fromConnect.push_back(fd && SendGet(fd) ? FirstFrame(fd, connected) : -1);
    }

    // Cost of clients.
    std::vector<double> cpu;
    for (int count : kClientCounts) {
        std::vector<qeltv::UniqueFd> clients;
        for (int i = 0; i < count; ++i) {
            clients.push_back(Connect(port));
            if (!clients.back() || !SendGet(clients.back())) {
                std::fprintf(stderr, "client %d of %d not connected\n", i + 1, count);
                return 1;
            }
        }
        // Settled: every client has its head before the interval starts.
        ReadClients(clients, 1);
        const double before = CpuSeconds(RUSAGE_SELF);
        const double reading = ReadClients(clients, duration_s);
        cpu.push_back(CpuSeconds(RUSAGE_SELF) - before - reading);
    }
    layer.stop();
    graph.Deactivate();

    std::printf("first frame after connect (webcast running), median of %d: %.3f s "
                "(goal < 1 s)\n",
                kConnectSamples, Median(fromConnect));
    std::printf("first frame after the webcast starts (client waiting), median of %d: %.3f s\n",
                kStartSamples, Median(fromStart));
    for (std::size_t i = 0; i < cpu.size(); ++i)
        std::printf("layer with %3d clients: %.2f CPU s in %d s\n", kClientCounts[i], cpu[i],
                    duration_s);
    std::printf("ratio 255/1 clients:    %.2f (goal < 1.3)\n",
                cpu.front() > 0 ? cpu.back() / cpu.front() : 0.0);
    std::printf("bare gst-launch-1.0, 1 client: %.2f CPU s\n", bareCpu);
    std::printf("ratio layer/bare, 1 client:    %.2f (goal <= 1.1)\n",
                bareCpu > 0 ? cpu.front() / bareCpu : 0.0);
    return 0;
}
