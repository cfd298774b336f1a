// The webcast on an Icecast server: the same WebM stream that the writer's
// network sink serves goes to an Icecast mount as well, so that more viewers
// than this machine serves itself can watch it through the server.
//
// The stream is taken behind the writer's muxer (a leaky queue into an
// appsink on the muxer's tee: no second encode) and sent by a small pipeline
// of its own, appsrc ! shout2send. A lost or refused connection ends only
// that pipeline and never reaches the capture graph's bus; it is started
// again after a pause that doubles from 1 s up to 30 s for as long as the
// webcast runs. Every connection starts with the stream's header and goes on
// at the next keyframe, as a new listener of the writer's own sink does.
#pragma once

#include "capture/GstRef.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace qeltv {

constexpr int kIcecastDefaultPort = 8000;
constexpr const char* kIcecastDefaultUserName = "source";
// The pause before the first new attempt after a failed one, doubled after
// each further failure up to the longest.
constexpr int kIcecastFirstRetry_ms = 1000;
constexpr int kIcecastLongestRetry_ms = 30000;
// How long the server may take to answer, or to take data, before the
// connection counts as lost.
constexpr unsigned kIcecastNetworkTimeout_ms = 5000;
// What the tap holds while the sending side is busy; beyond it the oldest
// data goes, and the stream goes on at the next keyframe.
constexpr unsigned kIcecastTapQueue_bytes = 4u * 1024u * 1024u;
// What may wait for the server in the sending pipeline; beyond it new data
// is dropped, and the stream goes on at the next keyframe.
constexpr std::uint64_t kIcecastSendQueue_bytes = 4u * 1024u * 1024u;

// Where the webcast goes: the server, its mount point and the source
// login.
struct IcecastTarget {
    std::string host;
    int port = kIcecastDefaultPort;
    std::string mount; // with its leading "/"
    std::string userName = kIcecastDefaultUserName;
    std::string password;

    // "http://host:port/mount", the address listeners open.
    std::string address() const;
};

// The one form of an Icecast address: "http://host[:port]/mount", the port
// 8000 when it is left out. Fills host, port and mount of `target`; returns
// an empty text when the address is good, else what is wrong with it.
std::string ParseIcecastAddress(std::string_view address, IcecastTarget& target);

// Where a publisher's connection stands.
enum class IcecastState { Stopped, Connecting, Connected, Retrying, Refused };

// What takes the webcast's muxed stream besides the writer's own listeners.
class StreamPublisher {
public:
    virtual ~StreamPublisher() = default;
    // Taps `muxedStream` (the writer's tee behind its muxer) and starts
    // publishing; called once the writer is in the graph, before it runs.
    virtual void Start(GstElement* muxedStream) = 0;
    // Stops publishing; the tap takes nothing more. Called before the
    // writer leaves the graph.
    virtual void Stop() = 0;
};

class IcecastPublisher : public QObject, public StreamPublisher {
    Q_OBJECT
public:
    static constexpr const char* kRefusedText = "Icecast: refused: wrong password";

    // `report` gets every change of the connection as a status text, on the
    // thread of this object.
    IcecastPublisher(IcecastTarget target, std::function<void(const QString&)> report);
    ~IcecastPublisher() override;
    IcecastPublisher(const IcecastPublisher&) = delete;
    IcecastPublisher& operator=(const IcecastPublisher&) = delete;

    void Start(GstElement* muxedStream) override;
    void Stop() override;

    IcecastState state() const { return state_; }
    const IcecastTarget& target() const { return target_; }

    // "Icecast: connected to http://host:port/mount".
    QString connectedText() const;
    // "Icecast: retrying in 4 s: <reason>".
    static QString retryingText(int delay_ms, const QString& reason);

    // The stream between the tap and the sending pipeline.
    struct Feed;

protected:
    void customEvent(QEvent* event) override;

private:
    void connectToServer();
    void closeConnection();
    // A connection ended with `error` (shout2send's text and details).
    void connectionFailed(const QString& message, const QString& details);
    void report(IcecastState state, const QString& text);
    static GstBusSyncReply busSyncTrampoline(GstBus* bus, GstMessage* message, gpointer self);
    GstBusSyncReply onBusMessage(GstMessage* message);

    IcecastTarget target_;
    std::function<void(const QString&)> report_;
    std::shared_ptr<Feed> feed_;
    GstOwned<GstElement> pipeline_;
    GstOwnedPadProbe sentProbe_;
    std::atomic<int> buffersSeen_{0};
    // Messages of an earlier connection are dropped when they arrive.
    std::atomic<unsigned> generation_{0};
    IcecastState state_ = IcecastState::Stopped;
    int retryDelay_ms_ = kIcecastFirstRetry_ms;
    QTimer retryTimer_;
};

} // namespace qeltv
