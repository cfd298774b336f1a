#include "capture/WebmWriter.h"

#include "web/HttpRequest.h"

// Before any Qt header: Qt's "signals" keyword would break GIO's headers.
#include <gio/gio.h>

#include <QLoggingCategory>

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

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

// ---------------------------------------------------------- batcher
//
// Joins the muxed stream into batches for the network sink: one buffer per
// batch, so the sink queues, wakes for and writes each client once per
// batch. The stream's headers pass alone (the sink keeps them apart for new
// clients); a buffer that starts a keyframe starts a batch, which keeps the
// key mark; events pass in their place in the stream, after what came
// before them.

namespace {

struct PendingBatch {
    std::vector<GstOwned<GstBuffer>> buffers;
    std::size_t bytes = 0;
    GstClockTime start = GST_CLOCK_TIME_NONE; // first timestamp in the batch
    GstClockTime end = GST_CLOCK_TIME_NONE;   // latest timestamp or its end
    // Something in the batch is no keyframe start: a keyframe after it
    // starts the next batch.
    bool holdsDeltaUnit = false;
    // A client came: the sink starts it with its next buffer.
    std::atomic<bool> clientWaiting{false};
    // Up to this stream time every buffer goes on at once, so that a
    // client that came has its first frames as they come.
    GstClockTime unbatchedUntil = GST_CLOCK_TIME_NONE;

    void clear() {
        buffers.clear();
        bytes = 0;
        start = end = GST_CLOCK_TIME_NONE;
        holdsDeltaUnit = false;
    }
    // For a stream that starts again (its times start again too).
    void restart() {
        clear();
        unbatchedUntil = GST_CLOCK_TIME_NONE;
    }
};

struct WebcastBatcher {
    GstElement element;
    GstPad* sinkPad;   // owned by the element
    GstPad* sourcePad; //
    PendingBatch* pending;
};

struct WebcastBatcherClass {
    GstElementClass elementClass;
    GstElementClass* parentClass;
};

GstStaticPadTemplate batcherSinkTemplate =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);
GstStaticPadTemplate batcherSourceTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

WebcastBatcher* AsBatcher(gpointer instance) {
    return static_cast<WebcastBatcher*>(instance);
}

WebcastBatcherClass* BatcherClassOf(gpointer instance) {
    return reinterpret_cast<WebcastBatcherClass*>(G_OBJECT_GET_CLASS(instance));
}

bool IsKeyframeStart(GstBuffer* buffer) {
    return !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
}

// Whether `next` must start a new batch after what is pending. The pieces
// that start a keyframe (the cluster's start, the frame) stay together; a
// keyframe after anything else starts a batch, however short the pending
// one is, so that every keyframe is where a client can start.
bool StartsNewBatch(const PendingBatch& batch, GstBuffer* next) {
    if (IsKeyframeStart(next) && batch.holdsDeltaUnit)
        return true;
    if (batch.bytes + gst_buffer_get_size(next) > kWebcastBatchMax_bytes)
        return true;
    const GstClockTime time = GST_BUFFER_DTS_OR_PTS(next);
    return GST_CLOCK_TIME_IS_VALID(time) && GST_CLOCK_TIME_IS_VALID(batch.start) &&
           time >= batch.start + static_cast<GstClockTime>(kWebcastBatch_ns);
}

void AddToBatch(PendingBatch& batch, GstOwned<GstBuffer> buffer) {
    const GstClockTime time = GST_BUFFER_DTS_OR_PTS(buffer.get());
    if (GST_CLOCK_TIME_IS_VALID(time)) {
        if (!GST_CLOCK_TIME_IS_VALID(batch.start))
            batch.start = time;
        const GstClockTime end = GST_BUFFER_DURATION_IS_VALID(buffer.get())
                                     ? time + GST_BUFFER_DURATION(buffer.get())
                                     : time;
        if (!GST_CLOCK_TIME_IS_VALID(batch.end) || end > batch.end)
            batch.end = end;
    }
    batch.bytes += gst_buffer_get_size(buffer.get());
    batch.holdsDeltaUnit = batch.holdsDeltaUnit || !IsKeyframeStart(buffer.get());
    batch.buffers.push_back(std::move(buffer));
}

// The pending batch as one buffer: the bytes in order, the first buffer's
// key and discontinuity marks and offset, the batch's time span.
GstOwned<GstBuffer> JoinBatch(PendingBatch& batch) {
    if (batch.buffers.size() == 1)
        return std::move(batch.buffers.front());
    auto joined =
        GstOwned<GstBuffer>::adopt(gst_buffer_new_allocate(nullptr, batch.bytes, nullptr));
    if (!joined)
        return joined;
    GstMapInfo map;
    if (!gst_buffer_map(joined.get(), &map, GST_MAP_WRITE))
        return {};
    std::size_t at = 0;
    for (const auto& part : batch.buffers)
        at += gst_buffer_extract(part.get(), 0, map.data + at, map.size - at);
    gst_buffer_unmap(joined.get(), &map);
    GstBuffer* first = batch.buffers.front().get();
    GstBuffer* last = batch.buffers.back().get();
    GstBuffer* out = joined.get();
    GST_BUFFER_FLAGS(out) =
        GST_BUFFER_FLAGS(first) & (GST_BUFFER_FLAG_DELTA_UNIT | GST_BUFFER_FLAG_DISCONT);
    GST_BUFFER_PTS(out) = batch.start;
    GST_BUFFER_DTS(out) = batch.start;
    GST_BUFFER_DURATION(out) =
        GST_CLOCK_TIME_IS_VALID(batch.start) ? batch.end - batch.start : GST_CLOCK_TIME_NONE;
    GST_BUFFER_OFFSET(out) = GST_BUFFER_OFFSET(first);
    GST_BUFFER_OFFSET_END(out) = GST_BUFFER_OFFSET_END(last);
    return joined;
}

GstFlowReturn PushBatch(WebcastBatcher* self) {
    PendingBatch& batch = *self->pending;
    if (batch.buffers.empty())
        return GST_FLOW_OK;
    GstOwned<GstBuffer> joined = JoinBatch(batch);
    batch.clear();
    if (!joined) {
        GST_ELEMENT_ERROR(&self->element, RESOURCE, FAILED,
                          ("The webcast could not join the stream into a batch."), (nullptr));
        return GST_FLOW_ERROR;
    }
    return gst_pad_push(self->sourcePad, joined.release());
}

GstFlowReturn BatcherChain(GstPad*, GstObject* parent, GstBuffer* buffer) {
    WebcastBatcher* self = AsBatcher(parent);
    auto owned = GstOwned<GstBuffer>::adopt(buffer);
    PendingBatch& batch = *self->pending;
    if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_HEADER)) {
        const GstFlowReturn result = PushBatch(self);
        return result == GST_FLOW_OK ? gst_pad_push(self->sourcePad, owned.release()) : result;
    }
    // A new client waits for the sink's next buffer before it starts at the
    // latest keyframe: the batch goes on now, and so does every buffer for
    // a batch's time after it.
    const GstClockTime time = GST_BUFFER_DTS_OR_PTS(buffer);
    const bool clientCame = batch.clientWaiting.exchange(false);
    if (clientCame)
        batch.unbatchedUntil = GST_CLOCK_TIME_IS_VALID(time)
                                   ? time + static_cast<GstClockTime>(kWebcastBatch_ns)
                                   : GST_CLOCK_TIME_NONE;
    if (!batch.buffers.empty() && StartsNewBatch(batch, buffer)) {
        if (const GstFlowReturn result = PushBatch(self); result != GST_FLOW_OK)
            return result;
    }
    AddToBatch(batch, std::move(owned));
    const bool unbatched = GST_CLOCK_TIME_IS_VALID(time) &&
                           GST_CLOCK_TIME_IS_VALID(batch.unbatchedUntil) &&
                           time < batch.unbatchedUntil;
    return clientCame || unbatched ? PushBatch(self) : GST_FLOW_OK;
}

// The sink took a new client.
void OnClientAdded(GstElement*, GObject*, gpointer batcher) {
    AsBatcher(batcher)->pending->clientWaiting = true;
}

gboolean BatcherSinkEvent(GstPad* pad, GstObject* parent, GstEvent* event) {
    WebcastBatcher* self = AsBatcher(parent);
    if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP) {
        self->pending->restart();
    } else if (GST_EVENT_IS_SERIALIZED(event)) {
        // What came before the event goes first (the end of the stream
        // takes the last batch with it).
        const GstFlowReturn result = PushBatch(self);
        if (result != GST_FLOW_OK && result != GST_FLOW_FLUSHING)
            qCDebug(lcWebcast) << "batch before" << GST_EVENT_TYPE_NAME(event)
                               << "not taken:" << gst_flow_get_name(result);
    }
    return gst_pad_event_default(pad, parent, event);
}

GstStateChangeReturn BatcherChangeState(GstElement* element, GstStateChange transition) {
    const GstStateChangeReturn result =
        BatcherClassOf(element)->parentClass->change_state(element, transition);
    // Streaming has stopped: what was pending belongs to the stream that
    // ended.
    if (transition == GST_STATE_CHANGE_PAUSED_TO_READY)
        AsBatcher(element)->pending->restart();
    return result;
}

void BatcherFinalize(GObject* object) {
    delete AsBatcher(object)->pending;
    G_OBJECT_CLASS(BatcherClassOf(object)->parentClass)->finalize(object);
}

void BatcherClassInit(gpointer klass, gpointer) {
    auto* batcherClass = static_cast<WebcastBatcherClass*>(klass);
    batcherClass->parentClass = static_cast<GstElementClass*>(g_type_class_peek_parent(klass));
    G_OBJECT_CLASS(klass)->finalize = BatcherFinalize;
    GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
    elementClass->change_state = BatcherChangeState;
    gst_element_class_add_static_pad_template(elementClass, &batcherSinkTemplate);
    gst_element_class_add_static_pad_template(elementClass, &batcherSourceTemplate);
    gst_element_class_set_static_metadata(
        elementClass, "Webcast batcher", "Generic",
        "Joins a muxed stream into batches cut at keyframes for a network sink", "qEL TV");
}

void BatcherInit(GTypeInstance* instance, gpointer) {
    WebcastBatcher* self = AsBatcher(instance);
    self->pending = new PendingBatch;
    self->sinkPad = gst_pad_new_from_static_template(&batcherSinkTemplate, "sink");
    gst_pad_set_chain_function(self->sinkPad, BatcherChain);
    gst_pad_set_event_function(self->sinkPad, BatcherSinkEvent);
    GST_PAD_SET_PROXY_CAPS(self->sinkPad);
    GST_PAD_SET_PROXY_ALLOCATION(self->sinkPad);
    gst_element_add_pad(&self->element, self->sinkPad);
    self->sourcePad = gst_pad_new_from_static_template(&batcherSourceTemplate, "src");
    GST_PAD_SET_PROXY_CAPS(self->sourcePad);
    gst_element_add_pad(&self->element, self->sourcePad);
}

} // namespace

bool RegisterWebcastBatcher() {
    static const bool registered = [] {
        const GType type = g_type_register_static_simple(
            GST_TYPE_ELEMENT, "QeltvWebcastBatcher", sizeof(WebcastBatcherClass), BatcherClassInit,
            sizeof(WebcastBatcher), BatcherInit, GTypeFlags(0));
        return type != 0 &&
               gst_element_register(nullptr, kWebcastBatcherFactory, GST_RANK_NONE, type);
    }();
    return registered;
}

void StartNewClientsAtOnce(GstElement* batcher, GstElement* socketSink) {
    // The handler goes with the batcher.
    g_signal_connect_object(socketSink, "client-added", G_CALLBACK(OnClientAdded), batcher,
                            GConnectFlags(0));
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
    if (!RegisterWebcastBatcher())
        throw CaptureError(name + ": the webcast batcher cannot be registered", status::E_FAIL);
    batcher_ = MakeWriterElement(kWebcastBatcherFactory, name);
    socketSink_ = MakeWriterElement("multisocketsink", name);
    gst_bin_add_many(bin, mux_, tee_, batcher_, socketSink_, nullptr);
    if (!gst_element_link_many(mux_, tee_, batcher_, socketSink_, nullptr))
        throw CaptureError(name + ": the muxer does not link to the network sink",
                           status::VFW_E_CANNOT_CONNECT);
    StartNewClientsAtOnce(batcher_, socketSink_);

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
