// The webcast writer: the filter object "ASFWriter" of the graph.
//
// Its filter encodes the live picture to VP8 and the sound to Vorbis, muxes
// them into one live, streamable WebM stream and hands it to a
// multisocketsink. One encode serves every client. While the object is
// attached with a port and a maximum number of users, it owns one network
// sink: a listening socket of its own on that port (all IPv4 addresses) that
// answers each connection's HTTP request and passes the connection to the
// multisocketsink, at most the maximum number at once.
#pragma once

#include "capture/FilterObject.h"
#include "capture/GstRef.h"
#include "capture/WebcastProfiles.h"
#include "common/UniqueFd.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qeltv {

constexpr const char* kAsfWriterMoniker = "qeltv:asfwriter";

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
// Connections whose request is still being read; more wait in the backlog.
constexpr std::size_t kMaxPendingWebcastRequests = 64;
constexpr int kWebcastListenBacklog = 128;
// Largest value the "Max number of clients" box allows.
constexpr int kMaxWebcastClients = 255;
// How often a request that came before the stream runs is looked at again.
constexpr int kWebcastWaitForStream_ms = 50;

// The listening side of the webcast: accepts, reads one request, answers,
// and hands GET connections to the multisocketsink.
class WebcastNetworkSink {
public:
    // socketSink: the multisocketsink (a reference of its own is kept).
    WebcastNetworkSink(GstElement* socketSink, int maxClients);
    ~WebcastNetworkSink();
    WebcastNetworkSink(const WebcastNetworkSink&) = delete;
    WebcastNetworkSink& operator=(const WebcastNetworkSink&) = delete;

    // Opens the listening socket on port and starts serving. Empty on
    // success, otherwise the system's reason ("Address already in use").
    std::string Open(int port);
    // Stops listening, closes the listening socket, pending connections and
    // every client.
    void Close();
    int maxClients() const { return maxClients_; }
    // Clients being served now.
    int clientCount() const { return clients_->load(); }

private:
    struct Pending;
    void serve();
    // True when the connection is finished with (answered or refused).
    bool answer(Pending& pending);

    GstOwned<GstElement> sink_;
    int maxClients_;
    // Shared with the sink's signal handler, which may outlive a Close race.
    std::shared_ptr<std::atomic<int>> clients_;
    GstOwnedSignalHandler removedHandler_;
    UniqueFd listener_;
    UniqueFd wake_;
    std::thread thread_;
};

// The writer's filter: pins "Video" and "Audio".
class AsfWriterFilter : public Filter {
public:
    explicit AsfWriterFilter(const std::string& name);
    // Sets the encoders to the profile's rates and the sound to its sample
    // rate and channels.
    void ConfigureFilterUsingProfile(const WebcastProfile& profile);
    GstElement* socketSink() const { return socketSink_; }
    // The muxed stream (a tee) for publishers besides the network sink.
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
    GstElement* socketSink_ = nullptr;
};

std::shared_ptr<Filter> CreateAsfWriterFilter(const std::string& name);

class AsfWriter : public FilterObject {
public:
    explicit AsfWriter(FilterGraph& graph);
    ~AsfWriter() override;

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
