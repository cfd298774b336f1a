// The capture graph: one GstPipeline per activation holding the filters of
// the attached filter objects and what wiring inserted between them.
//
// Failures of platform calls become CaptureError with these statuses:
//   - a filter that cannot be made from its moniker: E_NOTFOUND;
//   - a filter name that is already in the graph: E_INVALIDARG;
//   - a state change the pipeline refuses (Run, Pause): VFW_E_STATE_CHANGE_FAILED,
//     with the error text the pipeline posted;
//   - using the graph while it is not active: E_POINTER;
//   - a graph file that does not parse or cannot be rebuilt: VFW_E_INVALID_FILE_FORMAT.
// Wiring calls (RenderStream) report statuses instead: VFW_E_CANNOT_CONNECT
// for a link that cannot be made, E_INVALIDARG for a missing pin.
//
// Bus messages are handed to the GUI thread as Qt events by a synchronous
// bus handler; GStreamer's threads never touch a Qt object.
#pragma once

#include "capture/FilterObject.h"
#include "capture/GstRef.h"
#include "common/ScheduledRun.h"

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace qeltv {

enum class PinCategory { None, Preview, Capture };

// How long ending a recording waits for the file writer's end of stream
// while nothing reaches the writer any more.
constexpr int kEndOfStreamTimeout_ms = 5000;
// However much still reaches the file writers, a stop waits no longer (the
// scheduling agent's runner gives a closing program this long and more).
constexpr int kEndOfStreamLimit_ms = kRecordingEndLimit_ms;

class FilterGraph : public QObject {
    Q_OBJECT
public:
    explicit FilterGraph(CaptureContext& context, QObject* parent = nullptr);
    ~FilterGraph() override;

    CaptureContext& context() const { return context_; }

    // A fresh pipeline, named "FilterGraph %p pid %x"; the attached filter
    // objects put their filters in it again.
    void Activate();
    // Stops and releases the pipeline and every filter in it.
    void Deactivate();
    bool IsActive() const { return static_cast<bool>(pipeline_); }
    const std::string& graphName() const { return graphName_; }
    GstElement* pipeline() const { return pipeline_.get(); }

    void Run();
    void Pause();
    void Stop();
    // The state last reached (GST_STATE_NULL when inactive).
    GstState state() const;

    // Unlinks every pin of every filter.
    void DisconnectAll();
    // Removes every filter that no attached filter object owns.
    void RemoveUnownedFilters();

    // Wires a stream from the source's pin of the category (and kind)
    // through the optional compressor into the sink, inserting a queue and
    // converters where needed. With no category the source's first free
    // output pin of the kind is used. A status, as the wiring results are
    // left to the caller.
    HResult RenderStream(PinCategory category, MediaKind type, Filter* source, Filter* compressor,
                         Filter* sink);

    // The tuner, crossbar and TV audio of a capture filter (nullptr if none).
    TvTuner* FindTuner(Filter& capture) const { return capture.tuner(); }
    Crossbar* FindCrossbar(Filter& capture) const { return capture.crossbar(); }
    TvAudio* FindTvAudio(Filter& capture) const { return capture.tvAudio(); }

    Filter* FindFilterByName(const std::string& name) const;
    // The first pin whose name equals name ignoring letter case, or nullptr.
    static Pin* FindPinByName(Filter& filter, const std::string& name);
    // The filters in the order they were added.
    std::vector<Filter*> filters() const;

    // Ends a recording cleanly: sends end-of-stream into the sources, waits
    // for it to reach every file writer (so the AVI index is written), then
    // stops. The wait gives up once timeout_ms pass with nothing reaching a
    // writer (a backlog being encoded is waited for), and after
    // kEndOfStreamLimit_ms in all. A paused graph plays again to end, as a
    // paused file writer would hold the end back. False when the wait gave
    // up or the stream failed.
    bool StopAfterEndOfStream(int timeout_ms = kEndOfStreamTimeout_ms);

    // Graph persistence (IPersistStream): see GraphPersistence.h.
    void Save(std::ostream& out) const;
    void Load(std::istream& in);

    // Used by filter objects and persistence.
    void addFilter(std::shared_ptr<Filter> filter);
    void removeFilter(Filter& filter);
    std::shared_ptr<Filter> sharedFilter(const Filter& filter) const;
    void registerObject(FilterObject& object);
    void unregisterObject(FilterObject& object);
    const std::vector<FilterObject*>& objects() const { return objects_; }
    // Links an output pin to an input pin; VFW_E_CANNOT_CONNECT if refused.
    HResult Connect(Pin& output, Pin& input);
    // Adds an element that wiring inserts, named by GStreamer unless given.
    Filter& insertElement(const char* factory, const std::string& name = {});

signals:
    // A streaming error stopped the graph; message says what and where.
    void streamError(const QString& message);
    void streamWarning(const QString& message);
    void endOfStream();
    void stateChanged(int state);

protected:
    void customEvent(QEvent* event) override;

private:
    static GstBusSyncReply busSyncTrampoline(GstBus* bus, GstMessage* message, gpointer self);
    GstBusSyncReply onBusMessage(GstMessage* message);
    void handleMessage(GstMessage* message);
    void requireActive(const char* operation) const;
    void setState(GstState state, const char* operation);
    void dumpDot(const char* reason) const;

    CaptureContext& context_;
    GstOwned<GstElement> pipeline_;
    std::atomic<std::uint64_t> generation_{0};
    std::string graphName_;
    std::vector<std::shared_ptr<Filter>> filters_;
    std::vector<FilterObject*> objects_;
    // Set by the first streaming error of a run; later ones are its echoes.
    bool streamFailed_ = false;

    // Shared with the streaming threads (bus handler).
    mutable std::mutex busMutex_;
    std::condition_variable busCondition_;
    std::set<std::string> endedSinks_;
    std::string lastErrorText_;
};

} // namespace qeltv
