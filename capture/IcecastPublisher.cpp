#include "capture/IcecastPublisher.h"

#include "capture/FilterObject.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

#include <QCoreApplication>
#include <QEvent>
#include <QLoggingCategory>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <optional>
#include <utility>

// Connections come and go rarely: each change is logged without asking.
Q_LOGGING_CATEGORY(lcIcecast, "qeltv.capture.icecast", QtInfoMsg)

namespace qeltv {

namespace {

constexpr std::string_view kScheme = "http://";
constexpr const char* kAddressExample = "http://host:8000/qeltv.webm";
constexpr int kLargestPort = 65535;
// libshout's text for a source login the server refused.
constexpr const char* kLoginFailed = "Login failed";

const QEvent::Type kPublisherEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

// What the sending pipeline says, handed to the publisher's thread.
class PublisherEvent : public QEvent {
public:
    enum class Kind { Connected, Failed };
    PublisherEvent(Kind kind, unsigned generation, QString message = {}, QString details = {})
        : QEvent(kPublisherEventType), kind(kind), generation(generation),
          message(std::move(message)), details(std::move(details)) {}
    const Kind kind;
    const unsigned generation;
    const QString message;
    const QString details;
};

std::string Example() {
    return std::string(" (for example ") + kAddressExample + ")";
}

bool IsHostCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

// The part of shout2send's details that says what libshout found wrong:
// "shout_open() failed: err=Couldn't connect" gives "Couldn't connect".
QString ShoutReason(const QString& details) {
    QString last = details.section('\n', -1).trimmed();
    if (const int at = last.lastIndexOf("err="); at >= 0)
        return last.mid(at + 4);
    if (const int at = last.indexOf("failed: "); at >= 0)
        return last.mid(at + 8);
    return last;
}

// The length of the EBML variable-size number that starts with `first`
// (1 to 8 bytes); 0 for a byte that starts none.
std::size_t VintLength(std::uint8_t first) {
    for (std::size_t length = 1; length <= 8; ++length)
        if (first & (0x80u >> (length - 1)))
            return length;
    return 0;
}

constexpr std::uint8_t kClusterId[] = {0x1F, 0x43, 0xB6, 0x75};
constexpr std::uint8_t kClusterTimecodeId = 0xE7;
constexpr std::size_t kLongestTimecode_bytes = 8;

// Where the timecode of the cluster that `data` begins with is: its offset
// and length in bytes; {0, 0} when `data` begins no cluster or the timecode
// is not in it.
std::pair<std::size_t, std::size_t> FindClusterTimecode(const std::uint8_t* data,
                                                        std::size_t size) {
    std::size_t at = sizeof kClusterId;
    if (size <= at || !std::equal(std::begin(kClusterId), std::end(kClusterId), data))
        return {0, 0};
    const std::size_t clusterSize = VintLength(data[at]);
    at += clusterSize;
    if (clusterSize == 0 || at + 2 > size || data[at] != kClusterTimecodeId)
        return {0, 0};
    ++at;
    const std::size_t lengthSize = VintLength(data[at]);
    if (lengthSize == 0 || at + lengthSize > size)
        return {0, 0};
    std::size_t length = data[at] & (0xFFu >> lengthSize);
    for (std::size_t i = 1; i < lengthSize; ++i)
        length = (length << 8) | data[at + i];
    at += lengthSize;
    if (length == 0 || length > kLongestTimecode_bytes || at + length > size)
        return {0, 0};
    return {at, length};
}

// Every connection's stream starts at time 0: libshout paces what it sends
// by the clusters' timecodes from the start of its connection, so a stream
// taken up at minute 10 would otherwise be held back for ten minutes (and
// the server would drop it long before). Each cluster's timecode is made
// relative to the first one of the connection, in the bytes it had.
GstBuffer* RebaseCluster(GstBuffer* buffer, std::optional<std::uint64_t>& base) {
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ))
        return gst_buffer_ref(buffer);
    const auto [offset, length] = FindClusterTimecode(map.data, map.size);
    if (length == 0) {
        gst_buffer_unmap(buffer, &map);
        return gst_buffer_ref(buffer);
    }
    std::uint64_t timecode = 0;
    for (std::size_t i = 0; i < length; ++i)
        timecode = (timecode << 8) | map.data[offset + i];
    if (!base || *base > timecode)
        base = timecode;
    std::uint64_t rebased = timecode - *base;
    GstBuffer* copy = gst_buffer_new_memdup(map.data, map.size);
    gst_buffer_unmap(buffer, &map);
    gst_buffer_copy_into(copy, buffer, GST_BUFFER_COPY_METADATA, 0, static_cast<gsize>(-1));
    GstMapInfo out;
    if (gst_buffer_map(copy, &out, GST_MAP_WRITE)) {
        for (std::size_t i = length; i > 0; --i, rebased >>= 8)
            out.data[offset + i - 1] = static_cast<std::uint8_t>(rebased & 0xFFu);
        gst_buffer_unmap(copy, &out);
    }
    return copy;
}

} // namespace

// ---------------------------------------------------------- address

std::string IcecastTarget::address() const {
    return std::string(kScheme) + host + ":" + std::to_string(port) + mount;
}

std::string ParseIcecastAddress(std::string_view address, IcecastTarget& target) {
    while (!address.empty() && std::isspace(static_cast<unsigned char>(address.front())))
        address.remove_prefix(1);
    while (!address.empty() && std::isspace(static_cast<unsigned char>(address.back())))
        address.remove_suffix(1);
    if (address.empty())
        return "Please enter the address of the Icecast mount" + Example() + ".";
    const bool http =
        address.size() >= kScheme.size() &&
        std::equal(kScheme.begin(), kScheme.end(), address.begin(),
                   [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
    if (!http)
        return "The Icecast address must begin with http://" + Example() + ".";
    address.remove_prefix(kScheme.size());
    const std::size_t slash = address.find('/');
    const std::string_view authority = address.substr(0, slash);
    if (authority.find('@') != std::string_view::npos)
        return "The Icecast address holds no user name or password: enter them in their own "
               "fields.";
    const std::size_t colon = authority.find(':');
    const std::string_view host = authority.substr(0, colon);
    if (host.empty() || !std::all_of(host.begin(), host.end(), IsHostCharacter))
        return "The Icecast address needs the name or IPv4 address of the server" + Example() + ".";
    int port = kIcecastDefaultPort;
    if (colon != std::string_view::npos) {
        const std::string_view digits = authority.substr(colon + 1);
        port = 0;
        const bool number = !digits.empty() && digits.size() <= 5 &&
                            std::all_of(digits.begin(), digits.end(), [](char c) {
                                return std::isdigit(static_cast<unsigned char>(c));
                            });
        for (char c : digits)
            port = number ? port * 10 + (c - '0') : 0;
        if (!number || port < 1 || port > kLargestPort)
            return "The port of the Icecast address must be a number from 1 to 65535" + Example() +
                   ".";
    }
    const std::string_view mount = slash == std::string_view::npos ? "" : address.substr(slash);
    const bool plainMount =
        mount.size() > 1 && std::none_of(mount.begin(), mount.end(), [](char c) {
            return std::isspace(static_cast<unsigned char>(c)) ||
                   std::iscntrl(static_cast<unsigned char>(c)) || c == '?' || c == '#';
        });
    if (!plainMount)
        return "The Icecast address needs a mount point after the server" + Example() + ".";
    target.host = std::string(host);
    target.port = port;
    target.mount = std::string(mount);
    return {};
}

// ---------------------------------------------------------- the tap

// Between the tap's streaming thread and the publisher: the sending
// pipeline's source while a connection is open, and where the stream it gets
// stands.
struct IcecastPublisher::Feed {
    std::mutex mutex;
    GstOwned<GstElement> source;
    bool headerSent = false;
    // At a keyframe: what follows may be sent.
    bool atKeyframe = false;
    bool closed = false;
    // The first cluster timecode of the connection.
    std::optional<std::uint64_t> timeBase;

    void open(GstElement* appsrc) {
        std::lock_guard<std::mutex> lock(mutex);
        source = GstOwned<GstElement>::ref(appsrc);
        headerSent = false;
        atKeyframe = false;
        timeBase.reset();
    }
    void close(bool forGood) {
        std::lock_guard<std::mutex> lock(mutex);
        source.reset();
        closed = closed || forGood;
    }
    void take(GstSample* sample);
};

// Runs on the tap's streaming thread; never waits for the server.
void IcecastPublisher::Feed::take(GstSample* sample) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!source || closed)
        return;
    GstAppSrc* appsrc = GST_APP_SRC(source.get());
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (!buffer)
        return;
    if (!headerSent) {
        // The muxer's header, as its caps carry it, goes first: a listener
        // of the mount needs it whenever the connection began.
        GstCaps* caps = gst_sample_get_caps(sample);
        const GstStructure* s = caps ? gst_caps_get_structure(caps, 0) : nullptr;
        const GValue* header = s ? gst_structure_get_value(s, "streamheader") : nullptr;
        if (!header || !GST_VALUE_HOLDS_ARRAY(header) || gst_value_array_get_size(header) == 0)
            return;
        gst_app_src_set_caps(appsrc, caps);
        for (guint i = 0; i < gst_value_array_get_size(header); ++i) {
            const GValue* part = gst_value_array_get_value(header, i);
            if (GST_VALUE_HOLDS_BUFFER(part))
                gst_app_src_push_buffer(appsrc, gst_buffer_ref(gst_value_get_buffer(part)));
        }
        headerSent = true;
        atKeyframe = false;
    }
    // The tap's queue lost data: the stream goes on at the next keyframe.
    if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT))
        atKeyframe = false;
    // The header went with the connection's start already.
    if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_HEADER))
        return;
    if (!atKeyframe) {
        if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT))
            return;
        atKeyframe = true;
    }
    // A server that takes data slower than it comes: what it cannot take is
    // dropped here, not held in memory, and it gets the next keyframe.
    if (gst_app_src_get_current_level_bytes(appsrc) > kIcecastSendQueue_bytes) {
        atKeyframe = false;
        return;
    }
    gst_app_src_push_buffer(appsrc, GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT)
                                        ? gst_buffer_ref(buffer)
                                        : RebaseCluster(buffer, timeBase));
}

namespace {

GstFlowReturn OnTapSample(GstAppSink* sink, gpointer data) {
    auto sample = GstOwned<GstSample>::adopt(gst_app_sink_pull_sample(sink));
    if (sample)
        static_cast<std::shared_ptr<IcecastPublisher::Feed>*>(data)->get()->take(sample.get());
    // Whatever becomes of the connection, the writer's stream goes on.
    return GST_FLOW_OK;
}

void ReleaseFeed(gpointer data) {
    delete static_cast<std::shared_ptr<IcecastPublisher::Feed>*>(data);
}

} // namespace

// ---------------------------------------------------------- publisher

IcecastPublisher::IcecastPublisher(IcecastTarget target, std::function<void(const QString&)> report)
    : target_(std::move(target)), report_(std::move(report)), feed_(std::make_shared<Feed>()) {
    retryTimer_.setSingleShot(true);
    connect(&retryTimer_, &QTimer::timeout, this, &IcecastPublisher::connectToServer);
}

IcecastPublisher::~IcecastPublisher() {
    Stop();
}

QString IcecastPublisher::connectedText() const {
    return "Icecast: connected to " + QString::fromStdString(target_.address());
}

QString IcecastPublisher::retryingText(int delay_ms, const QString& reason) {
    return QString("Icecast: retrying in %1 s: %2").arg(delay_ms / 1000).arg(reason);
}

void IcecastPublisher::Start(GstElement* muxedStream) {
    GstObject* parent = muxedStream ? gst_object_get_parent(GST_OBJECT(muxedStream)) : nullptr;
    const auto bin = GstOwned<GstObject>::adopt(parent);
    GstElement* queue = gst_element_factory_make("queue", nullptr);
    GstElement* sink = gst_element_factory_make("appsink", nullptr);
    if (!bin || !queue || !sink) {
        if (queue)
            gst_object_unref(gst_object_ref_sink(queue));
        if (sink)
            gst_object_unref(gst_object_ref_sink(sink));
        qCWarning(lcIcecast) << "the webcast cannot be tapped for Icecast";
        report(IcecastState::Stopped, "Icecast: the webcast cannot be tapped (queue or appsink "
                                      "missing)");
        return;
    }
    g_object_set(queue, "max-size-buffers", 0u, "max-size-time", guint64{0}, "max-size-bytes",
                 kIcecastTapQueue_bytes, "leaky", kLeakyDownstream, nullptr);
    g_object_set(sink, "sync", FALSE, "async", FALSE, "enable-last-sample", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = OnTapSample;
    // The callback's own reference keeps the feed alive while the sink runs.
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, new std::shared_ptr<Feed>(feed_),
                               ReleaseFeed);
    gst_bin_add_many(GST_BIN(bin.get()), queue, sink, nullptr);
    gst_element_link(queue, sink);
    const auto teePad =
        GstOwned<GstPad>::adopt(gst_element_request_pad_simple(muxedStream, "src_%u"));
    const auto queuePad = GstOwned<GstPad>::adopt(gst_element_get_static_pad(queue, "sink"));
    if (!teePad || gst_pad_link(teePad.get(), queuePad.get()) != GST_PAD_LINK_OK)
        qCWarning(lcIcecast) << "the webcast's stream does not reach the Icecast tap";
    gst_element_sync_state_with_parent(queue);
    gst_element_sync_state_with_parent(sink);
    qCInfo(lcIcecast).noquote() << "publishing the webcast to"
                                << QString::fromStdString(target_.address()) << "as"
                                << QString::fromStdString(target_.userName);
    retryDelay_ms_ = kIcecastFirstRetry_ms;
    connectToServer();
}

void IcecastPublisher::Stop() {
    retryTimer_.stop();
    feed_->close(true);
    closeConnection();
    if (state_ != IcecastState::Stopped)
        qCInfo(lcIcecast) << "publishing stopped";
    state_ = IcecastState::Stopped;
}

void IcecastPublisher::connectToServer() {
    closeConnection();
    auto pipeline = GstOwned<GstElement>::sink(gst_pipeline_new("icecast"));
    GstElement* source = gst_element_factory_make("appsrc", nullptr);
    GstElement* shout = gst_element_factory_make("shout2send", nullptr);
    if (!source || !shout) {
        if (source)
            gst_object_unref(gst_object_ref_sink(source));
        if (shout)
            gst_object_unref(gst_object_ref_sink(shout));
        qCWarning(lcIcecast) << "shout2send is not installed";
        report(IcecastState::Stopped,
               "Icecast: the element shout2send is not installed (gstreamer1.0-plugins-good)");
        return;
    }
    g_object_set(source, "is-live", TRUE, "format", GST_FORMAT_BYTES, "block", FALSE, nullptr);
    g_object_set(shout, "ip", target_.host.c_str(), "port", target_.port, "mount",
                 target_.mount.c_str(), "username", target_.userName.c_str(), "password",
                 target_.password.c_str(), "timeout", kIcecastNetworkTimeout_ms, "sync", FALSE,
                 "async", FALSE, "streamname", "qEL TV", nullptr);
    gst_bin_add_many(GST_BIN(pipeline.get()), source, shout, nullptr);
    gst_element_link(source, shout);
    const unsigned generation = ++generation_;
    auto bus = GstOwned<GstBus>::adopt(gst_element_get_bus(pipeline.get()));
    gst_bus_set_sync_handler(bus.get(), &IcecastPublisher::busSyncTrampoline, this, nullptr);
    // shout2send connects when it gets its first buffer (the header) and
    // takes each next one only once the last has gone: the second buffer of
    // the stream itself says the server took the header and the stream.
    const auto shoutPad = GstOwned<GstPad>::adopt(gst_element_get_static_pad(shout, "sink"));
    sentProbe_ = GstOwnedPadProbe::add(
        shoutPad.get(), GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
            auto* self = static_cast<IcecastPublisher*>(data);
            GstBuffer* buffer = gst_pad_probe_info_get_buffer(info);
            if (buffer && !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_HEADER) &&
                self->buffersSeen_.fetch_add(1) == 1)
                QCoreApplication::postEvent(
                    self,
                    new PublisherEvent(PublisherEvent::Kind::Connected, self->generation_.load()));
            return GST_PAD_PROBE_OK;
        },
        this);
    buffersSeen_ = 0;
    pipeline_ = std::move(pipeline);
    state_ = IcecastState::Connecting;
    qCInfo(lcIcecast).noquote() << "connecting to" << QString::fromStdString(target_.address());
    if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        QCoreApplication::postEvent(this,
                                    new PublisherEvent(PublisherEvent::Kind::Failed, generation,
                                                       "The sender did not start", {}));
        return;
    }
    feed_->open(source);
}

void IcecastPublisher::closeConnection() {
    feed_->close(false);
    if (!pipeline_)
        return;
    ++generation_;
    // Stopped first: no streaming thread runs the probe any more.
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    sentProbe_.reset();
    auto bus = GstOwned<GstBus>::adopt(gst_element_get_bus(pipeline_.get()));
    gst_bus_set_sync_handler(bus.get(), nullptr, nullptr, nullptr);
    pipeline_.reset();
    QCoreApplication::removePostedEvents(this, kPublisherEventType);
}

GstBusSyncReply IcecastPublisher::busSyncTrampoline(GstBus*, GstMessage* message, gpointer self) {
    return static_cast<IcecastPublisher*>(self)->onBusMessage(message);
}

// Runs on the sending pipeline's threads: only postEvent, which is safe from
// any thread.
GstBusSyncReply IcecastPublisher::onBusMessage(GstMessage* message) {
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GstOwned<GError> error;
        GstOwned<gchar> details;
        gst_message_parse_error(message, error.out(), details.out());
        QCoreApplication::postEvent(
            this, new PublisherEvent(PublisherEvent::Kind::Failed, generation_.load(),
                                     QString::fromUtf8(error ? error->message : "unknown error"),
                                     QString::fromUtf8(details ? details.get() : "")));
    } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
        QCoreApplication::postEvent(this,
                                    new PublisherEvent(PublisherEvent::Kind::Failed,
                                                       generation_.load(), "The stream ended", {}));
    }
    return GST_BUS_DROP;
}

void IcecastPublisher::customEvent(QEvent* event) {
    if (event->type() != kPublisherEventType)
        return;
    const auto* e = static_cast<PublisherEvent*>(event);
    if (e->generation != generation_.load() || !pipeline_)
        return;
    if (e->kind == PublisherEvent::Kind::Connected) {
        retryDelay_ms_ = kIcecastFirstRetry_ms;
        report(IcecastState::Connected, connectedText());
        return;
    }
    connectionFailed(e->message, e->details);
}

void IcecastPublisher::connectionFailed(const QString& message, const QString& details) {
    closeConnection();
    QString reason = message;
    while (reason.endsWith('.'))
        reason.chop(1);
    if (const QString shout = ShoutReason(details); !shout.isEmpty())
        reason += ": " + shout;
    qCWarning(lcIcecast).noquote()
        << "connection to" << QString::fromStdString(target_.address()) << "failed:" << reason;
    if (details.contains(kLoginFailed)) {
        // Trying the same login again is refused again: it waits for a new
        // password and a new start of the webcast.
        report(IcecastState::Refused, kRefusedText);
        return;
    }
    report(IcecastState::Retrying, retryingText(retryDelay_ms_, reason));
    retryTimer_.start(retryDelay_ms_);
    retryDelay_ms_ = std::min(retryDelay_ms_ * 2, kIcecastLongestRetry_ms);
}

void IcecastPublisher::report(IcecastState state, const QString& text) {
    state_ = state;
    qCInfo(lcIcecast).noquote() << text;
    if (report_)
        report_(text);
}

} // namespace qeltv
