#include "capture/AsfWriter.h"

#include "web/HttpRequest.h"

// Before any Qt header: Qt's "signals" keyword would break GIO's headers.
#include <gio/gio.h>

#include <QLoggingCategory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <tuple>

Q_LOGGING_CATEGORY(lcWebcast, "qeltv.capture.webcast", QtWarningMsg)

namespace qeltv {

// GSocket is a plain GObject.
template <> struct GstRefTraits<GSocket> : GObjectRefTraits<GSocket> {};

namespace {

// The webcast captures at a frame duration of 400000 (25 frames a second).
constexpr int kWebcastFramesPerSecond = 25;
// Real-time encoding: the encoder may take no longer than one frame.
constexpr std::int64_t kVp8RealtimeDeadline = 1;
// Favours speed over quality, as real-time encoding must keep up.
constexpr int kVp8CpuUsed = 8;
// Queues in front of the encoders: at most this much is held; older
// frames go first when an encoder falls behind, so the source never waits.
constexpr guint64 kEncoderQueueTime_ns = 1'000'000'000ULL;
constexpr std::size_t kRequestReadChunk = 4096;
constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000LL;

GstElement* MakeWriterElement(const char* factory, const std::string& filterName) {
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (!element)
        throw CaptureError(filterName + ": the element " + factory + " is not installed",
                           status::E_NOTFOUND);
    return element;
}

// The system's text for the last failed call.
std::string SystemError() {
    return std::strerror(errno);
}

// Sends all of text on a socket whose send buffer is still empty (a short
// answer always fits); false when the peer is gone.
bool SendAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t sent = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

constexpr std::string_view kStreamHead = "HTTP/1.1 200 OK\r\n"
                                         "Content-Type: video/webm\r\n"
                                         "Cache-Control: no-cache\r\n"
                                         "Connection: close\r\n"
                                         "Server: qELTV-HTTP/1.0\r\n"
                                         "\r\n";

std::string BusyAnswer(int maxClients) {
    const std::string body = "The webcast is serving its maximum of " + std::to_string(maxClients) +
                             " clients. Please try again later.\r\n";
    return "HTTP/1.1 503 Service Unavailable\r\n"
           "Content-Type: text/plain\r\n"
           "Content-Length: " +
           std::to_string(body.size()) +
           "\r\n"
           "Connection: close\r\n"
           "Server: qELTV-HTTP/1.0\r\n"
           "\r\n" +
           body;
}

std::string NotStartedAnswer() {
    const std::string body = "The webcast has not started.\r\n";
    return "HTTP/1.1 503 Service Unavailable\r\n"
           "Content-Type: text/plain\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

constexpr std::string_view kMethodNotAllowed = "HTTP/1.1 405 Method Not Allowed\r\n"
                                               "Allow: GET, HEAD\r\n"
                                               "Content-Length: 0\r\n"
                                               "Connection: close\r\n"
                                               "\r\n";

void OnSocketRemoved(GstElement*, GSocket*, gpointer counter) {
    static_cast<std::shared_ptr<std::atomic<int>>*>(counter)->get()->fetch_sub(1);
}

void ReleaseCounter(gpointer counter, GClosure*) {
    delete static_cast<std::shared_ptr<std::atomic<int>>*>(counter);
}

} // namespace

// ---------------------------------------------------------- network sink

struct WebcastNetworkSink::Pending {
    UniqueFd fd;
    web::HttpRequestParser parser;
    std::chrono::steady_clock::time_point deadline;
    bool complete = false;
};

WebcastNetworkSink::WebcastNetworkSink(GstElement* socketSink, int maxClients)
    : sink_(GstOwned<GstElement>::ref(socketSink)), maxClients_(maxClients),
      clients_(std::make_shared<std::atomic<int>>(0)) {
    // The sink says when it lets a client go (it left, lagged too far, or
    // was cleared); its slot is free at that moment.
    removedHandler_ = GstOwnedSignalHandler::connect(
        sink_.get(), "client-socket-removed", G_CALLBACK(OnSocketRemoved),
        new std::shared_ptr<std::atomic<int>>(clients_), ReleaseCounter);
}

WebcastNetworkSink::~WebcastNetworkSink() {
    Close();
}

std::string WebcastNetworkSink::Open(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        return SystemError();
    // A new webcast may listen again at once on the port the last one left.
    const int on = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        return SystemError();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return SystemError();
    if (::listen(fd.get(), kWebcastListenBacklog) != 0)
        return SystemError();
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake)
        return SystemError();
    listener_ = std::move(fd);
    wake_ = std::move(wake);
    thread_ = std::thread([this] { serve(); });
    return {};
}

void WebcastNetworkSink::Close() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        if (::write(wake_.get(), &one, sizeof one) != static_cast<ssize_t>(sizeof one))
            qCWarning(lcWebcast) << "could not wake the webcast listener:" << std::strerror(errno);
        thread_.join();
    }
    listener_.reset();
    wake_.reset();
    // Every client goes with the sink; their sockets close as the sink
    // lets them go.
    if (sink_)
        g_signal_emit_by_name(sink_.get(), "clear");
}

bool WebcastNetworkSink::answer(Pending& pending) {
    const web::HttpRequest& request = pending.parser.request();
    const int fd = pending.fd.get();
    if (request.command != "GET" && request.command != "HEAD") {
        if (!SendAll(fd, kMethodNotAllowed))
            qCDebug(lcWebcast) << "client left before its answer";
        return true;
    }
    if (request.command == "HEAD") {
        if (!SendAll(fd, kStreamHead))
            qCDebug(lcWebcast) << "client left before its answer";
        return true;
    }
    if (clients_->load() >= maxClients_) {
        if (!SendAll(fd, BusyAnswer(maxClients_)))
            qCDebug(lcWebcast) << "client left before its answer";
        return true;
    }
    // The sink serves only while it runs: a request that comes while the
    // graph is still being built waits for it.
    GstState state = GST_STATE_NULL;
    gst_element_get_state(sink_.get(), &state, nullptr, 0);
    if (state < GST_STATE_PAUSED) {
        if (std::chrono::steady_clock::now() < pending.deadline)
            return false;
        if (!SendAll(fd, NotStartedAnswer()))
            qCDebug(lcWebcast) << "client left before its answer";
        return true;
    }
    const int sendBuffer = kWebcastClientSendBuffer_bytes;
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer) != 0)
        qCWarning(lcWebcast) << "client send buffer not set:" << std::strerror(errno);
    if (!SendAll(fd, kStreamHead))
        return true;
    GstOwned<GError> error;
    auto socket = GstOwned<GSocket>::adopt(g_socket_new_from_fd(fd, error.out()));
    if (!socket) {
        qCWarning(lcWebcast) << "client socket refused:"
                             << (error ? error->message : "unknown error");
        return true;
    }
    // The socket owns the descriptor now; the sink closes it with the
    // socket when it lets the client go.
    (void)pending.fd.release();
    clients_->fetch_add(1);
    g_signal_emit_by_name(sink_.get(), "add", socket.get());
    return true;
}

void WebcastNetworkSink::serve() {
    using Clock = std::chrono::steady_clock;
    std::vector<std::unique_ptr<Pending>> pending;
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({wake_.get(), POLLIN, 0});
        // Beyond the pending limit new connections wait in the backlog.
        const bool accepting = pending.size() < kMaxPendingWebcastRequests;
        fds.push_back({accepting ? listener_.get() : -1, POLLIN, 0});
        Clock::time_point next =
            Clock::now() + std::chrono::milliseconds(kWebcastRequestTimeout_ms);
        bool waiting = false;
        for (const auto& p : pending) {
            fds.push_back({p->complete ? -1 : p->fd.get(), POLLIN, 0});
            next = std::min(next, p->deadline);
            waiting = waiting || p->complete;
        }
        auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
        if (waiting)
            timeout = std::min(timeout, std::chrono::milliseconds(kWebcastWaitForStream_ms));
        const int ready = ::poll(fds.data(), fds.size(),
                                 static_cast<int>(std::max<std::int64_t>(0, timeout.count())));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            qCWarning(lcWebcast) << "the webcast listener stopped:" << std::strerror(errno);
            return;
        }
        if (fds[0].revents)
            return;
        if (fds[1].revents & POLLIN) {
            while (pending.size() < kMaxPendingWebcastRequests) {
                UniqueFd client(
                    ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
                if (!client) {
                    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                        errno != ECONNABORTED)
                        qCWarning(lcWebcast) << "accept failed:" << std::strerror(errno);
                    break;
                }
                auto p = std::make_unique<Pending>();
                p->fd = std::move(client);
                p->deadline = Clock::now() + std::chrono::milliseconds(kWebcastRequestTimeout_ms);
                pending.push_back(std::move(p));
            }
        }
        const auto now = Clock::now();
        std::vector<std::unique_ptr<Pending>> still;
        for (std::size_t i = 0; i < pending.size(); ++i) {
            Pending& p = *pending[i];
            bool done = false;
            const std::size_t slot = i + 2;
            if (!p.complete && slot < fds.size() && fds[slot].revents) {
                char buffer[kRequestReadChunk];
                const ssize_t got = ::recv(p.fd.get(), buffer, sizeof buffer, 0);
                try {
                    if (got > 0)
                        p.parser.feed(std::string_view(buffer, static_cast<std::size_t>(got)));
                    else if (got == 0)
                        p.parser.finishInput();
                    else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                        done = true;
                } catch (const web::HttpRequestError& e) {
                    // Not a request of HTTP: closed without an answer.
                    qCDebug(lcWebcast) << "not a webcast request:" << e.what();
                    done = true;
                }
                p.complete = !done && p.parser.complete();
            }
            if (!done && p.complete)
                done = answer(p);
            else if (!done && now >= p.deadline)
                done = true; // no whole request in time: closed
            if (!done)
                still.push_back(std::move(pending[i]));
        }
        pending = std::move(still);
    }
}

// ---------------------------------------------------------- writer filter

AsfWriterFilter::AsfWriterFilter(const std::string& name)
    : Filter(gst_bin_new(nullptr), name, kAsfWriterMoniker) {
    GstBin* bin = GST_BIN(element());
    auto add = [&](Branch& branch, const char* factory) {
        GstElement* e = MakeWriterElement(factory, name);
        gst_bin_add(bin, e);
        if (!branch.elements.empty())
            gst_element_link(branch.elements.back(), e);
        branch.elements.push_back(e);
        return e;
    };
    for (const char* factory : {"queue", "videoconvert", "vp8enc"})
        add(video_, factory);
    for (const char* factory :
         {"queue", "audioconvert", "audioresample", "capsfilter", "vorbisenc"})
        add(audio_, factory);
    vp8_ = video_.elements.back();
    vorbis_ = audio_.elements.back();
    audioCaps_ = audio_.elements[3];
    mux_ = MakeWriterElement("webmmux", name);
    socketSink_ = MakeWriterElement("multisocketsink", name);
    gst_bin_add_many(bin, mux_, socketSink_, nullptr);
    if (!gst_element_link(mux_, socketSink_))
        throw CaptureError(name + ": the muxer does not link to the network sink",
                           status::VFW_E_CANNOT_CONNECT);

    for (Branch* branch : {&video_, &audio_}) {
        branch->first = branch->elements.front();
        branch->last = branch->elements.back();
        g_object_set(branch->first, "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time",
                     kEncoderQueueTime_ns, "leaky", kLeakyDownstream, nullptr);
    }
    // A keyframe at least every second, so that a new client starts within
    // one; no frames held back for look-ahead.
    g_object_set(
        vp8_, "deadline", static_cast<gint64>(kVp8RealtimeDeadline), "cpu-used", kVp8CpuUsed,
        "keyframe-max-dist", kWebcastKeyframeInterval_s * kWebcastFramesPerSecond, "lag-in-frames",
        0, "threads", static_cast<int>(std::max(1u, std::thread::hardware_concurrency())), nullptr);
    g_object_set(mux_, "streamable", TRUE, nullptr);
    // A new client starts at the latest keyframe, with the stream headers
    // first; the sink keeps a keyframe interval queued for it. A client
    // that lags skips to the latest keyframe, then is dropped.
    gst_util_set_object_arg(G_OBJECT(socketSink_), "sync-method", "latest-keyframe");
    gst_util_set_object_arg(G_OBJECT(socketSink_), "recover-policy", "keyframe");
    gst_util_set_object_arg(G_OBJECT(socketSink_), "unit-format", "time");
    g_object_set(socketSink_, "units-soft-max", static_cast<gint64>(kWebcastClientSoftLag_ns),
                 "units-max", static_cast<gint64>(kWebcastClientHardLag_ns), "time-min",
                 static_cast<gint64>(2 * kWebcastKeyframeInterval_s * kNanosecondsPerSecond),
                 "timeout", static_cast<guint64>(kWebcastClientStall_ns), "sync", FALSE, "async",
                 FALSE, nullptr);

    video_.muxPad = GstOwned<GstPad>::adopt(gst_element_request_pad_simple(mux_, "video_%u"));
    audio_.muxPad = GstOwned<GstPad>::adopt(gst_element_request_pad_simple(mux_, "audio_%u"));
    for (auto [branch, pinName, kind] : {std::tuple{&video_, "Video", MediaKind::Video},
                                         std::tuple{&audio_, "Audio", MediaKind::Audio}}) {
        const auto source =
            GstOwned<GstPad>::adopt(gst_element_get_static_pad(branch->last, "src"));
        if (!branch->muxPad || gst_pad_link(source.get(), branch->muxPad.get()) != GST_PAD_LINK_OK)
            throw CaptureError(name + ": the muxer refuses the " + pinName + " stream",
                               status::VFW_E_CANNOT_CONNECT);
        const auto target =
            GstOwned<GstPad>::adopt(gst_element_get_static_pad(branch->first, "sink"));
        branch->ghost = gst_ghost_pad_new(pinName, target.get());
        gst_pad_set_active(branch->ghost, TRUE);
        gst_element_add_pad(element(), branch->ghost);
        addPin(pinName, PinDirection::Input, kind, branch->ghost);
    }
}

void AsfWriterFilter::ConfigureFilterUsingProfile(const WebcastProfile& profile) {
    if (profile.hasVideo()) {
        g_object_set(vp8_, "target-bitrate", profile.videoBitrate_kbps * 1000, nullptr);
        gst_util_set_object_arg(G_OBJECT(vp8_), "end-usage",
                                profile.variableBitrate ? "vbr" : "cbr");
    }
    if (profile.hasAudio()) {
        CapsRef caps(gst_caps_new_simple("audio/x-raw", "rate", G_TYPE_INT, profile.sampleRate_hz,
                                         "channels", G_TYPE_INT, profile.channels, nullptr));
        g_object_set(audioCaps_, "caps", caps.get(), nullptr);
        g_object_set(vorbis_, "bitrate", profile.audioBitrate_kbps * 1000, nullptr);
    }
}

void AsfWriterFilter::dropBranch(Branch& branch) {
    if (branch.dropped)
        return;
    branch.dropped = true;
    GstBin* bin = GST_BIN(element());
    for (GstElement* e : branch.elements) {
        gst_element_set_state(e, GST_STATE_NULL);
    }
    const auto source = GstOwned<GstPad>::adopt(gst_element_get_static_pad(branch.last, "src"));
    gst_pad_unlink(source.get(), branch.muxPad.get());
    gst_element_release_request_pad(mux_, branch.muxPad.get());
    branch.muxPad.reset();
    gst_ghost_pad_set_target(GST_GHOST_PAD(branch.ghost), nullptr);
    for (GstElement* e : branch.elements)
        gst_bin_remove(bin, e);
    branch.elements.clear();
}

void AsfWriterFilter::prepareToRun() {
    for (Branch* branch : {&video_, &audio_}) {
        if (!branch->dropped && !gst_pad_is_linked(branch->ghost))
            dropBranch(*branch);
    }
}

std::shared_ptr<Filter> CreateAsfWriterFilter(const std::string& name) {
    auto writer = std::make_shared<AsfWriterFilter>(name);
    writer->ConfigureFilterUsingProfile(WebcastProfileAt(kWebcastDesignProfileIndex));
    return writer;
}

// ---------------------------------------------------------- filter object

AsfWriter::AsfWriter(FilterGraph& graph) : FilterObject(graph, "ASFWriter") {
    setMoniker(kAsfWriterMoniker);
}

AsfWriter::~AsfWriter() {
    Detach();
}

std::shared_ptr<Filter> AsfWriter::makeFilter() {
    return CreateAsfWriterFilter(name());
}

void AsfWriter::ConfigureFilterUsingProfile(int profileIndex) {
    auto* writer = dynamic_cast<AsfWriterFilter*>(&filter());
    if (!writer)
        throw CaptureError(name() + ": the filter is no webcast writer", status::E_POINTER);
    profileIndex_ = profileIndex;
    writer->ConfigureFilterUsingProfile(WebcastProfileAt(profileIndex));
}

void AsfWriter::filterTaken(Filter& filter) {
    networkSinkError_.clear();
    auto* writer = dynamic_cast<AsfWriterFilter*>(&filter);
    if (!writer || port_ <= 0 || maxUsers_ <= 0)
        return;
    auto sink = std::make_unique<WebcastNetworkSink>(writer->socketSink(), maxUsers_);
    if (std::string error = sink->Open(port_); !error.empty()) {
        // The build goes on without a sink; the builder shows why.
        qCWarning(lcWebcast) << "port" << port_ << "not opened:" << error.c_str();
        networkSinkError_ = std::move(error);
        return;
    }
    networkSink_ = std::move(sink);
}

void AsfWriter::filterReleased(Filter&) {
    networkSink_.reset();
}

} // namespace qeltv
