// The webcast through the capture layer (Virtual TV Card, webcast writer with
// its network sink, profile 0) as clients on 127.0.0.1 see it:
//   - time from a client's connect to its first decoded frame while the
//     webcast runs, and from the start of the webcast to the first decoded
//     frame at a client that waits for the port;
//   - CPU seconds of the layer with 1, 50 and 255 clients reading for the
//     duration, and the ratios 50/1 and 255/1; of that, the socket sink's
//     own thread (writing and waking for clients, apart from the encoders,
//     whose time varies with the machine's load); and the writes each
//     client gets a second (every buffer that reaches the socket sink is at
//     least one write to every client);
//   - against the pipeline the layer built for the webcast, run bare in the
//     same process (the first station's picture, overlays and tone, the same
//     branches, encoders, muxer and socket sink with its settings), with one
//     client whose socket is handed to the sink as the layer hands its
//     clients'; both sides timed over the same interval once the client is
//     served, by the process's CPU time less the reading thread's.
//
//   webcast_bench [duration_s]   (default 30)

// Before any Qt header: Qt's "signals" keyword would break GIO's headers.
#include <gio/gio.h>

#include "bench/BenchSupport.h"
#include "capture/Devices.h"
#include "capture/FilterGraph.h"
#include "capture/GraphBuilder.h"
#include "capture/VirtualTvCard.h"
#include "capture/WebmWriter.h"
#include "common/UniqueFd.h"
#include "settings/AutoTuneStore.h"
#include "settings/RegStore.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultDuration_s = 30;
constexpr int kConnectSamples = 5;
constexpr int kStartSamples = 3;
constexpr int kProfile = 0;
constexpr int kSettle_s = 1;
constexpr int kFirstFrameTimeout_ms = 20000;
constexpr int kConnectRetry_ms = 5;
constexpr std::size_t kReadChunk = 65536;
constexpr int kClientCounts[] = {1, 50, 255};

double ThreadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of this process's threads named `name` (a socket sink's
// thread is "multihandlesink"), from /proc.
double NamedThreadsCpuSeconds(const std::string& name) {
    double total = 0;
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks)
        return -1;
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    while (const dirent* entry = ::readdir(tasks)) {
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        std::string comm;
        std::getline(std::ifstream(task + "/comm"), comm);
        if (comm != name)
            continue;
        std::string stat;
        std::getline(std::ifstream(task + "/stat"), stat);
        // Fields after the name in parentheses: state is the 3rd, utime
        // and stime the 14th and 15th.
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14)
                utime = std::stoull(field);
            else if (i == 15)
                stime = std::stoull(field);
        }
        total += static_cast<double>(utime + stime) / ticks;
    }
    ::closedir(tasks);
    return total;
}

// Counts the buffers that reach a socket sink: each one is written to every
// client at least once.
struct SinkBufferCount {
    std::atomic<std::uint64_t> buffers{0};
    std::atomic<std::uint64_t> bytes{0};

    static GstPadProbeReturn Count(GstPad*, GstPadProbeInfo* info, gpointer self) {
        auto* count = static_cast<SinkBufferCount*>(self);
        if (GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info)) {
            ++count->buffers;
            count->bytes += gst_buffer_get_size(buffer);
        }
        return GST_PAD_PROBE_OK;
    }
    void attach(GstElement* sink) {
        GstPad* pad = gst_element_get_static_pad(sink, "sink");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, Count, this, nullptr);
        gst_object_unref(pad);
    }
};

double MonotonicSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
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
    qeltv::WebmWriter writer;

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
    const double before = ThreadCpuSeconds();
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
    return ThreadCpuSeconds() - before;
}

// What serving the clients cost over the measured interval.
struct Serving {
    double cpu_s = 0;           // the process, less the reading thread
    double sinkCpu_s = 0;       // the socket sink's thread
    double writesPerSecond = 0; // per client
};

// What the process spent serving `clients` over duration_s after a settling
// second in which every client gets its first data; the reading thread's
// own time is taken off. The same measure for layer and baseline.
Serving Serve(std::vector<qeltv::UniqueFd>& clients, int duration_s, const SinkBufferCount& count) {
    ReadClients(clients, kSettle_s);
    // The measured interval on CLOCK_MONOTONIC, for a profile of it
    // (perf record -k CLOCK_MONOTONIC, perf report --time).
    std::fprintf(stderr, "%zu clients: measuring from %.6f\n", clients.size(), MonotonicSeconds());
    Serving serving;
    const std::uint64_t buffersBefore = count.buffers;
    const double sinkBefore = NamedThreadsCpuSeconds("multihandlesink");
    const auto wallStart = Clock::now();
    qeltv::bench::Interval interval;
    interval.start();
    const double reading = ReadClients(clients, duration_s);
    interval.stop();
    std::fprintf(stderr, "%zu clients: measured until %.6f\n", clients.size(), MonotonicSeconds());
    serving.cpu_s = interval.cpu_s - reading;
    serving.sinkCpu_s = NamedThreadsCpuSeconds("multihandlesink") - sinkBefore;
    serving.writesPerSecond =
        static_cast<double>(count.buffers - buffersBefore) / Seconds(Clock::now() - wallStart);
    return serving;
}

// The socket sink's "buffers-max" and "buffers-soft-max" read back its
// "units-max" and "units-soft-max" cut to 32 bits, and setting them sets
// those: written after them they would shrink the lag limits (5 s becomes
// 0.7 s). The units settings stay; the aliases go.
std::string WithoutUnitAliases(std::string description) {
    for (const std::string alias : {" buffers-max=", " buffers-soft-max="}) {
        for (std::size_t at = description.find(alias); at != std::string::npos;
             at = description.find(alias, at))
            description.erase(at, description.find(' ', at + 1) - at);
    }
    return description;
}

// One client of a bare socket sink, connected over loopback and served as
// the layer serves its clients: the accepted socket gets the same send
// buffer and a response head, then goes to the sink by its "add" signal.
// Returns the client's end; empty when the connection failed.
qeltv::UniqueFd AddBareClient(GstElement* socketSink) {
    qeltv::UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (!listener || ::bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener.get(), 1) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return {};
    qeltv::UniqueFd client = Connect(ntohs(a.sin_port));
    qeltv::UniqueFd served(
        ::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!client || !served)
        return {};
    const int sendBuffer = qeltv::kWebcastClientSendBuffer_bytes;
    static const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: video/webm\r\n"
                                    "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
    if (::setsockopt(served.get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer) != 0 ||
        ::send(served.get(), head.data(), head.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(head.size()))
        return {};
    GSocket* servedSocket = g_socket_new_from_fd(served.get(), nullptr);
    if (!servedSocket)
        return {};
    // The socket owns the descriptor now; the sink closes it with the socket.
    (void)served.release();
    g_signal_emit_by_name(socketSink, "add", servedSocket);
    g_object_unref(servedSocket);
    return client;
}

} // namespace

int main(int argc, char** argv) {
    const int duration_s = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultDuration_s;
    gst_init(&argc, &argv);
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const qeltv::WebcastProfile& profile = qeltv::WebcastProfileAt(kProfile);
    std::printf("duration: %d s; profile %s (%d kbps video at 320x240, %d kbps audio)\n",
                duration_s, profile.id, profile.videoBitrate_kbps, profile.audioBitrate_kbps);

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
    SinkBufferCount layerCount;
    if (GstElement* sink = qeltv::bench::FindByFactory(graph.pipeline(), "multisocketsink"))
        layerCount.attach(sink);
    std::vector<Serving> cost;
    for (int count : kClientCounts) {
        std::vector<qeltv::UniqueFd> clients;
        for (int i = 0; i < count; ++i) {
            clients.push_back(Connect(port));
            if (!clients.back() || !SendGet(clients.back())) {
                std::fprintf(stderr, "client %d of %d not connected\n", i + 1, count);
                return 1;
            }
        }
        cost.push_back(Serve(clients, duration_s, layerCount));
    }
    // The pipeline the layer built for the webcast, written out before the
    // layer takes it apart.
    const std::string description =
        WithoutUnitAliases(qeltv::bench::BareDescription(graph.pipeline()));
    GstElement* layerSink = qeltv::bench::FindByFactory(graph.pipeline(), "multisocketsink");
    const std::string sinkName = layerSink ? GST_OBJECT_NAME(layerSink) : "";
    layer.stop();
    graph.Deactivate();

    // The baseline: that pipeline bare, one client, the same measure.
    GError* error = nullptr;
    GstElement* bare = gst_parse_launch(description.c_str(), &error);
    if (!bare || error || sinkName.empty()) {
        std::fprintf(stderr, "the baseline cannot be made: %s\n%s\n",
                     error ? error->message : "no socket sink in the layer", description.c_str());
        return 1;
    }
    gst_element_set_state(bare, GST_STATE_PLAYING);
    if (!qeltv::bench::WaitForPlaying(bare)) {
        std::fprintf(stderr, "the baseline did not play\n");
        return 1;
    }
    GstElement* bareSink = gst_bin_get_by_name(GST_BIN(bare), sinkName.c_str());
    std::vector<qeltv::UniqueFd> bareClients;
    bareClients.push_back(bareSink ? AddBareClient(bareSink) : qeltv::UniqueFd{});
    if (!bareClients.back()) {
        std::fprintf(stderr, "the baseline's client not connected\n");
        return 1;
    }
    SinkBufferCount bareCount;
    bareCount.attach(bareSink);
    const Serving bareServing = Serve(bareClients, duration_s, bareCount);
    const double bareCpu = bareServing.cpu_s;
    // Live sources have no end: an error or end of stream on the bus means
    // the interval was cut short.
    GstBus* bareBus = gst_element_get_bus(bare);
    GstMessage* bareEnd =
        gst_bus_pop_filtered(bareBus, GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
    gst_object_unref(bareBus);
    if (bareEnd) {
        std::fprintf(stderr, "the baseline ended early: %s\n", GST_MESSAGE_TYPE_NAME(bareEnd));
        gst_message_unref(bareEnd);
        return 1;
    }
    g_signal_emit_by_name(bareSink, "clear");
    gst_element_set_state(bare, GST_STATE_NULL);
    gst_object_unref(bareSink);
    gst_object_unref(bare);

    std::printf("first frame after connect (webcast running), median of %d: %.3f s "
                "(goal < 1 s)\n",
                kConnectSamples, Median(fromConnect));
    std::printf("first frame after the webcast starts (client waiting), median of %d: %.3f s\n",
                kStartSamples, Median(fromStart));
    for (std::size_t i = 0; i < cost.size(); ++i)
        std::printf("layer with %3d clients: %.2f CPU s in %d s, socket sink thread %.2f CPU s, "
                    "%.1f writes a second per client\n",
                    kClientCounts[i], cost[i].cpu_s, duration_s, cost[i].sinkCpu_s,
                    cost[i].writesPerSecond);
    auto ratio = [](double part, double whole) { return whole > 0 ? part / whole : 0.0; };
    std::printf("ratio  50/1 clients:    %.2f (socket sink thread %.2f)\n",
                ratio(cost[1].cpu_s, cost[0].cpu_s), ratio(cost[1].sinkCpu_s, cost[0].sinkCpu_s));
    std::printf("ratio 255/1 clients:    %.2f (goal < 1.3; socket sink thread %.2f)\n",
                ratio(cost[2].cpu_s, cost[0].cpu_s), ratio(cost[2].sinkCpu_s, cost[0].sinkCpu_s));
    std::printf("baseline (in this process, gst_parse_launch, one client added to %s):\n  %s\n",
                sinkName.c_str(), description.c_str());
    std::printf("machine: %u cores\n", qeltv::bench::Cores());
    std::printf("bare pipeline, 1 client: %.2f CPU s in %d s, socket sink thread %.2f CPU s, "
                "%.1f writes a second per client\n",
                bareCpu, duration_s, bareServing.sinkCpu_s, bareServing.writesPerSecond);
    std::printf("ratio layer/bare, 1 client: %.2f (goal <= 1.1)\n",
                ratio(cost.front().cpu_s, bareCpu));
    return 0;
}
