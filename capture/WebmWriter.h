// The webcast writer: the filter object "ASFWriter" of the graph.
//
// Its filter encodes the live picture to VP8 and the sound to Vorbis, muxes
// them into one live, streamable WebM stream and hands it, joined into
// batches cut at keyframes, to a multisocketsink. One encode serves every
// client. While the object is attached with a port and a maximum number of
// users, it owns one network sink: a listener of its own on that port (all
// IPv4 addresses) that answers each connection's HTTP request and passes
// the connection to the multisocketsink, at most the maximum number at once.
#pragma once

#include "capture/FilterObject.h"
#include "capture/GstRef.h"
#include "capture/WebcastProfiles.h"
#include "web/HttpListener.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qeltv {

constexpr const char* kWebmWriterMoniker = "qeltv:asfwriter";

// A new client starts at the latest keyframe, so this bounds how long it
// waits for its first picture.
constexpr int kWebcastKeyframeInterval_s = 1;
// A client further behind than the soft limit skips ahead to the latest
// keyframe; one further behind than the hard limit is dropped. Neither ever
// holds the encoder or the other clients.
constexpr std::int64_t kWebcastClientSoftLag_ns = 2'000'000'000LL;
constexpr std::int64_t kWebcastClientHardLag_ns = 5'000'000'000LL;
// A client that has taken no data for this long (it stopped reading, and
// skipping ahead cannot help it) is dropped.
constexpr std::int64_t kWebcastClientStall_ns = 5'000'000'000LL;
// The kernel's send buffer per client: small, so that a client that stops
// reading is noticed by the lag limits within seconds, not minutes.
constexpr int kWebcastClientSendBuffer_bytes = 64 * 1024;
// How long a connection may take to send its request.
constexpr int kWebcastRequestTimeout_ms = 5000;
// A player sends its request as soon as it has connected: one that has sent
// nothing by then gives its slot back.
constexpr int kWebcastFirstByteTimeout_ms = 1000;
// A viewer beyond the client limit waits this long for a slot: long enough
// for a player that reconnects to find the slot its last connection left,
// short enough that a refused viewer hears so soon. Longer than the
// first-byte time-out, so an idle connection does not cost a viewer its turn.
constexpr int kWebcastQueueWait_ms = 2000;
static_assert(kWebcastFirstByteTimeout_ms < kWebcastQueueWait_ms);
constexpr int kWebcastListenBacklog = 128;
// Largest value the "Max number of clients" box allows.
constexpr int kMaxWebcastClients = 255;
// How often a request that came before the stream runs is looked at again.
constexpr int kWebcastWaitForStream_ms = 50;
// The muxer hands out two small buffers per frame and per sound block (some
// 140 a second); the sink writes each one to each client and wakes for each
// one per client. Joined into batches of this much stream time, each client
// costs one write per batch instead. A batch never runs across the start of
// a keyframe, so a new client still starts at the latest keyframe; the time
// a batch waits is added to the live delay, not to a new client's start.
// Each batch still costs the sink a wake-up, a poll over every client and a
// watch set up and taken down per client, so batches are long: half a
// keyframe interval keeps 255 clients near the cost of one, and a player,
// which starts at the latest keyframe the sink holds, mostly has that much
// stream in hand before the next batch comes.
constexpr std::int64_t kWebcastBatch_ns = 500'000'000LL;
static_assert(kWebcastBatch_ns <= kWebcastKeyframeInterval_s * 1'000'000'000LL / 2);
// A batch never holds more than this, whatever the timestamps say.
constexpr std::size_t kWebcastBatchMax_bytes = 256 * 1024;
// The element that joins the muxed stream into batches in front of the
// network sink (registered with the first writer made).
constexpr const char* kWebcastBatcherFactory = "qeltvwebcastbatcher";

// The webcast's values for the listener: its request and first-byte
// time-outs, its queue wait and its backlog; the other limits are the web
// server's.
web::HttpListenerOptions WebcastListenerOptions();

// The listening side of the webcast, a user of the web server's listener:
// reads one request per connection, answers it, and hands GET connections,
// with their slots, to the multisocketsink. A slot comes back when the sink
// lets its client go, so at most the maximum number of clients are served.
class WebcastNetworkSink {
public:
    // socketSink: the multisocketsink (a reference of its own is kept).
    WebcastNetworkSink(GstElement* socketSink, int maxClients,
                       web::HttpListenerOptions options = WebcastListenerOptions());
    ~WebcastNetworkSink();
    WebcastNetworkSink(const WebcastNetworkSink&) = delete;
    WebcastNetworkSink& operator=(const WebcastNetworkSink&) = delete;

    // Opens the listening socket on port (0 picks a free one) and starts
    // serving. Empty on success, otherwise the system's reason ("Address
    // already in use").
    std::string Open(int port);
    // Stops listening, closes the listening socket, the connections not yet
    // streaming and every client.
    void Close();
    int maxClients() const { return maxClients_; }
    // The port listened on while open.
    int port() const { return listener_.port(); }
    // Clients being served now: those streaming and those whose request is
    // being answered.
    int clientCount() const { return static_cast<int>(listener_.slotsTaken()); }

private:
    GstOwned<GstElement> sink_;
    int maxClients_;
    GstOwnedSignalHandler removedHandler_;
    web::HttpListener listener_;
};

// The writer's filter: pins "Video" and "Audio".
class WebmWriterFilter : public Filter {
public:
    explicit WebmWriterFilter(const std::string& name);
    // Sets the encoders to the profile's rates and the sound to its sample
    // rate and channels.
    void ConfigureFilterUsingProfile(const WebcastProfile& profile);
    GstElement* socketSink() const { return socketSink_; }
    // The muxed stream (a tee) for publishers besides the network sink:
    // buffer by buffer as the muxer hands them out; the network sink's
    // batching sits behind it.
    GstElement* muxedStream() const { return tee_; }
    bool hasInputQueue() const override { return true; }
    // A stream that nothing is wired to (the profile lacks it) leaves the
    // muxer, which would otherwise wait for it for ever.
    void prepareToRun() override;

private:
    struct Branch {
        GstElement* first = nullptr; // queue behind the pin
        GstElement* last = nullptr;  // encoder (or its queue) before the muxer
        std::vector<GstElement*> elements;
        GstOwned<GstPad> muxPad; // the muxer's request pad it feeds
        GstPad* ghost = nullptr; // the pin's pad, owned by the bin
        bool dropped = false;
    };
    void dropBranch(Branch& branch);

    Branch video_;
    Branch audio_;
    GstElement* vp8_ = nullptr;       // borrowed: the bin owns them
    GstElement* vorbis_ = nullptr;    //
    GstElement* audioCaps_ = nullptr; //
    GstElement* mux_ = nullptr;       //
    GstElement* tee_ = nullptr;       //
    GstElement* batcher_ = nullptr;   //
    GstElement* socketSink_ = nullptr;
};

std::shared_ptr<Filter> CreateWebmWriterFilter(const std::string& name);

// Registers the batching element under kWebcastBatcherFactory (once per
// process); true when it is there.
bool RegisterWebcastBatcher();
// A client that `socketSink` takes starts with the sink's next buffer: lets
// `batcher`, which feeds the sink, send what it holds then, so a new client
// never waits for a batch to fill.
void StartNewClientsAtOnce(GstElement* batcher, GstElement* socketSink);

class WebmWriter : public FilterObject {
public:
    explicit WebmWriter(FilterGraph& graph);
    ~WebmWriter() override;

    // Design values: wmp_V80_100Video, port 0, maximum users 0 (no sink).
    int profileIndex() const { return profileIndex_; }
    int port() const { return port_; }
    int maxUsers() const { return maxUsers_; }
    // Take effect at the next attach.
    void setPort(int port) { port_ = port; }
    void setMaxUsers(int maxUsers) { maxUsers_ = maxUsers; }
    // Configures the attached writer; CaptureError E_POINTER without one.
    void ConfigureFilterUsingProfile(int profileIndex);

    // The network sink while attached with a port and users; nullptr
    // otherwise, also when its port could not be opened.
    WebcastNetworkSink* networkSink() const { return networkSink_.get(); }
    // Why the last attach could not open its port; empty when it could.
    const std::string& networkSinkError() const { return networkSinkError_; }

protected:
    std::shared_ptr<Filter> makeFilter() override;
    void filterTaken(Filter& filter) override;
    void filterReleased(Filter& filter) override;

private:
    int profileIndex_ = kWebcastDesignProfileIndex;
    int port_ = 0;
    int maxUsers_ = 0;
    std::unique_ptr<WebcastNetworkSink> networkSink_;
    std::string networkSinkError_;
};

} // namespace qeltv
