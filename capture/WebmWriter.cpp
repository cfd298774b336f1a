#include "capture/WebmWriter.h"

#include "web/HttpRequest.h"

// Before any Qt header: Qt's "signals" keyword would break GIO's headers.
#include <gio/gio.h>

#include <QLoggingCategory>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>
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
constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000LL;

GstElement* MakeWriterElement(const char* factory, const std::string& filterName) {
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (!element)
        throw CaptureError(filterName + ": the element " + factory + " is not installed",
                           status::E_NOTFOUND);
    return element;
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

// The refusal of a connection that found no free client slot in time.
std::string BusyText(int maxClients) {
    return "The webcast is serving its maximum of " + std::to_string(maxClients) +
           " clients. Please try again later.\r\n";
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

// The listener's slot of a client travels with its socket into the sink.
constexpr const char* kClientSlotKey = "qeltv-webcast-slot";

void DeleteSlot(gpointer slot) {
    delete static_cast<web::HttpSlot*>(slot);
}

// The sink let a client go (it left, lagged too far, or was cleared): its
// slot is free at that moment. Should the signal not come, the slot still
// goes with the socket.
void OnSocketRemoved(GstElement*, GSocket* socket, gpointer) {
    g_object_set_data(G_OBJECT(socket), kClientSlotKey, nullptr);
}

// Waits, at most until the request's deadline, for the sink to run: a
// request that comes while the graph is still being built is served once it
// is. False when it did not run in time or the listener stops.
bool WaitForStream(GstElement* sink, const web::HttpAcceptedConnection& connection) {
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock lock(mutex);
    for (;;) {
        GstState state = GST_STATE_NULL;
        gst_element_get_state(sink, &state, nullptr, 0);
        if (state >= GST_STATE_PAUSED)
            return true;
        const auto left = connection.requestDeadline() - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero() || connection.stopping())
            return false;
        never.wait_for(lock, connection.stopToken(),
                       std::min<std::chrono::steady_clock::duration>(
                           left, std::chrono::milliseconds(kWebcastWaitForStream_ms)),
                       [] { return false; });
    }
}

// One connection's request: HEAD gets the stream's head, GET the head and
// then the stream, from the sink that its socket and slot go to.
void AnswerWebcastRequest(GstElement* sink, web::HttpAcceptedConnection& connection,
                          const web::HttpRequest& request) {
    const int fd = connection.socket();
    if (request.command != "GET" && request.command != "HEAD") {
        if (!SendAll(fd, kMethodNotAllowed))
            qCDebug(lcWebcast) << "client left before its answer";
        return;
    }
    if (request.command == "HEAD") {
        if (!SendAll(fd, kStreamHead))
            qCDebug(lcWebcast) << "client left before its answer";
        return;
    }
    if (!WaitForStream(sink, connection)) {
        if (!SendAll(fd, NotStartedAnswer()))
            qCDebug(lcWebcast) << "client left before its answer";
        return;
    }
    const int sendBuffer = kWebcastClientSendBuffer_bytes;
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer) != 0)
        qCWarning(lcWebcast) << "client send buffer not set:" << std::strerror(errno);
    if (!SendAll(fd, kStreamHead))
        return;
    auto [client, slot] = connection.handOver();
    if (connection.stopping())
        return; // the webcast ends: the client goes with its socket
    GstOwned<GError> error;
    auto socket = GstOwned<GSocket>::adopt(g_socket_new_from_fd(client.get(), error.out()));
    if (!socket) {
        qCWarning(lcWebcast) << "client socket refused:"
                             << (error ? error->message : "unknown error");
        return;
    }
    // The socket owns the descriptor now; the sink closes it with the
    // socket when it lets the client go, and the slot is given back then.
    (void)client.release();
    g_object_set_data_full(G_OBJECT(socket.get()), kClientSlotKey,
                           new web::HttpSlot(std::move(slot)), DeleteSlot);
    g_signal_emit_by_name(sink, "add", socket.get());
}

} // namespace

// ---------------------------------------------------------- network sink

web::HttpListenerOptions WebcastListenerOptions() {
    web::HttpListenerOptions options;
    options.read_timeout_ms = kWebcastRequestTimeout_ms;
    options.first_byte_timeout_ms = kWebcastFirstByteTimeout_ms;
    options.queue_wait_ms = kWebcastQueueWait_ms;
    options.listen_backlog = kWebcastListenBacklog;
    return options;
}

WebcastNetworkSink::WebcastNetworkSink(GstElement* socketSink, int maxClients,
                                       web::HttpListenerOptions options)
    : sink_(GstOwned<GstElement>::ref(socketSink)), maxClients_(maxClients),
      removedHandler_(GstOwnedSignalHandler::connect(sink_.get(), "client-socket-removed",
                                                     G_CALLBACK(OnSocketRemoved), nullptr)),
      // The handler keeps a reference of its own to the sink: a connection
      // thread that outlives a failed stop still finds it.
      listener_(
          [sink = std::make_shared<GstOwned<GstElement>>(GstOwned<GstElement>::ref(socketSink))](
              web::HttpAcceptedConnection& connection, web::HttpRequest& request) {
              AnswerWebcastRequest(sink->get(), connection, request);
          },
          web::httpRefusal(BusyText(maxClients), "text/plain"), options) {}

WebcastNetworkSink::~WebcastNetworkSink() {
    Close();
}

std::string WebcastNetworkSink::Open(int port) {
    try {
        listener_.start(static_cast<std::uint16_t>(port), maxClients_);
    } catch (const web::HttpServerError& failure) {
        return failure.systemError() != 0 ? std::strerror(failure.systemError()) : failure.what();
    }
    return {};
}

void WebcastNetworkSink::Close() {
    try {
        listener_.stop();
    } catch (const web::HttpServerError& failure) {
        qCWarning(lcWebcast) << "the webcast listener did not stop:" << failure.what();
    }
    // Every client goes with the sink; their sockets close as the sink
    // lets them go.
    if (sink_)
        g_signal_emit_by_name(sink_.get(), "clear");
}

// ---------------------------------------------------------- writer filter

WebmWriterFilter::WebmWriterFilter(const std::string& name)
    : Filter(gst_bin_new(nullptr), name, kWebmWriterMoniker) {
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
    tee_ = MakeWriterElement("tee", name);
    socketSink_ = MakeWriterElement("multisocketsink", name);
    gst_bin_add_many(bin, mux_, tee_, socketSink_, nullptr);
    if (!gst_element_link_many(mux_, tee_, socketSink_, nullptr))
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

void WebmWriterFilter::ConfigureFilterUsingProfile(const WebcastProfile& profile) {
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

void WebmWriterFilter::dropBranch(Branch& branch) {
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

void WebmWriterFilter::prepareToRun() {
    for (Branch* branch : {&video_, &audio_}) {
        if (!branch->dropped && !gst_pad_is_linked(branch->ghost))
            dropBranch(*branch);
    }
}

std::shared_ptr<Filter> CreateWebmWriterFilter(const std::string& name) {
    auto writer = std::make_shared<WebmWriterFilter>(name);
    writer->ConfigureFilterUsingProfile(WebcastProfileAt(kWebcastDesignProfileIndex));
    return writer;
}

// ---------------------------------------------------------- filter object

WebmWriter::WebmWriter(FilterGraph& graph) : FilterObject(graph, "ASFWriter") {
    setMoniker(kWebmWriterMoniker);
}

WebmWriter::~WebmWriter() {
    Detach();
}

std::shared_ptr<Filter> WebmWriter::makeFilter() {
    return CreateWebmWriterFilter(name());
}

void WebmWriter::ConfigureFilterUsingProfile(int profileIndex) {
    auto* writer = dynamic_cast<WebmWriterFilter*>(&filter());
    if (!writer)
        throw CaptureError(name() + ": the filter is no webcast writer", status::E_POINTER);
    profileIndex_ = profileIndex;
    writer->ConfigureFilterUsingProfile(WebcastProfileAt(profileIndex));
}

void WebmWriter::filterTaken(Filter& filter) {
    networkSinkError_.clear();
    auto* writer = dynamic_cast<WebmWriterFilter*>(&filter);
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

void WebmWriter::filterReleased(Filter&) {
    networkSink_.reset();
}

} // namespace qeltv
