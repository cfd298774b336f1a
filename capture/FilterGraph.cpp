#include "capture/FilterGraph.h"

#include "capture/GstRef.h"

#include <QCoreApplication>
#include <QEvent>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace qeltv {

namespace {

// Queue sizes of the queue inserted after a source pin: generous in time so
// that the AVI mux, which waits for both streams, never starves one of them.
constexpr guint64 kInsertedQueueMaxTime_ns = 3'000'000'000ULL;

constexpr QEvent::Type kBusEventType = static_cast<QEvent::Type>(QEvent::User + 0x0E1);

// A bus message on its way to the GUI thread; holds its own reference.
class BusEvent : public QEvent {
public:
    BusEvent(GstMessage* message, std::uint64_t generation)
        : QEvent(kBusEventType), message_(GstOwned<GstMessage>::ref(message)),
          generation_(generation) {}
    GstMessage* message() const { return message_.get(); }
    std::uint64_t generation() const { return generation_; }

private:
    GstOwned<GstMessage> message_;
    std::uint64_t generation_;
};

std::string ObjectName(GstObject* object) {
    if (!object)
        return {};
    const auto name = GstOwned<gchar>::adopt(gst_object_get_name(object));
    return name ? name.get() : "";
}

std::string ErrorText(GstMessage* message) {
    GstOwned<GError> error;
    GstOwned<gchar> debug;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR)
        gst_message_parse_error(message, error.out(), debug.out());
    else
        gst_message_parse_warning(message, error.out(), debug.out());
    return ObjectName(GST_MESSAGE_SRC(message)) + ": " +
           (error && error->message ? error->message : "unknown error");
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return g_ascii_tolower(x) == g_ascii_tolower(y);
           });
}

const char* StateName(GstState state) {
    return gst_element_state_get_name(state);
}

} // namespace

FilterGraph::FilterGraph(CaptureContext& context, QObject* parent)
    : QObject(parent), context_(context) {
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
}

FilterGraph::~FilterGraph() {
    Deactivate();
    for (FilterObject* object : objects_)
        object->filter_.reset();
}

void FilterGraph::registerObject(FilterObject& object) {
    objects_.push_back(&object);
}

void FilterGraph::unregisterObject(FilterObject& object) {
    objects_.erase(std::remove(objects_.begin(), objects_.end(), &object), objects_.end());
}

void FilterGraph::requireActive(const char* operation) const {
    if (!pipeline_)
        throw CaptureError(std::string(operation) + ": the filter graph is not active",
                           status::E_POINTER);
}

void FilterGraph::Activate() {
    if (pipeline_)
        Deactivate();
    char name[96];
    std::snprintf(name, sizeof name, "FilterGraph %p pid %x", static_cast<void*>(this),
                  static_cast<unsigned>(getpid()));
    graphName_ = name;
    pipeline_ = GstOwned<GstElement>::sink(gst_pipeline_new(name));
    // Child messages are forwarded too, so the end of stream of each file
    // writer can be told apart from the pipeline's own.
    g_object_set(pipeline_.get(), "message-forward", TRUE, nullptr);
    ++generation_;
    {
        std::lock_guard<std::mutex> lock(busMutex_);
        endedSinks_.clear();
        lastErrorText_.clear();
    }
    gst_bus_set_sync_handler(GstOwned<GstBus>::adopt(gst_element_get_bus(pipeline_.get())).get(),
                             &FilterGraph::busSyncTrampoline, this, nullptr);
    for (FilterObject* object : objects_) {
        if (object->attached())
            object->addToGraph();
    }
}

void FilterGraph::Deactivate() {
    if (!pipeline_)
        return;
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    gst_bus_set_sync_handler(GstOwned<GstBus>::adopt(gst_element_get_bus(pipeline_.get())).get(),
                             nullptr, nullptr, nullptr);
    for (FilterObject* object : objects_)
        object->dropFilter();
    for (auto& filter : filters_) {
        if (GST_OBJECT_PARENT(filter->element()) == GST_OBJECT(pipeline_.get()))
            gst_bin_remove(GST_BIN(pipeline_.get()), filter->element());
    }
    filters_.clear();
    pipeline_.reset();
    ++generation_;
    QCoreApplication::removePostedEvents(this, kBusEventType);
}

GstBusSyncReply FilterGraph::busSyncTrampoline(GstBus*, GstMessage* message, gpointer self) {
    return static_cast<FilterGraph*>(self)->onBusMessage(message);
}

// Runs on whatever thread posted the message: only the mutex-guarded state
// and QCoreApplication::postEvent, which is safe from any thread.
GstBusSyncReply FilterGraph::onBusMessage(GstMessage* message) {
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ELEMENT: {
        const GstStructure* s = gst_message_get_structure(message);
        if (s && gst_structure_has_name(s, "GstBinForwarded")) {
            GstOwned<GstMessage> inner;
            gst_structure_get(s, "message", GST_TYPE_MESSAGE, inner.out(), nullptr);
            if (inner && GST_MESSAGE_TYPE(inner.get()) == GST_MESSAGE_EOS) {
                std::lock_guard<std::mutex> lock(busMutex_);
                endedSinks_.insert(ObjectName(GST_MESSAGE_SRC(inner.get())));
                busCondition_.notify_all();
            }
        }
        return GST_BUS_DROP;
    }
    case GST_MESSAGE_ERROR: {
        // The first error says why; the ones that follow only echo it.
        std::lock_guard<std::mutex> lock(busMutex_);
        if (lastErrorText_.empty())
            lastErrorText_ = ErrorText(message);
        busCondition_.notify_all();
        break;
    }
    case GST_MESSAGE_WARNING:
    case GST_MESSAGE_EOS:
        break;
    case GST_MESSAGE_STATE_CHANGED:
        if (GST_MESSAGE_SRC(message) != GST_OBJECT(pipeline_.get()))
            return GST_BUS_DROP;
        break;
    default:
        return GST_BUS_DROP;
    }
    QCoreApplication::postEvent(this, new BusEvent(message, generation_.load()));
    return GST_BUS_DROP;
}

void FilterGraph::customEvent(QEvent* event) {
    if (event->type() != kBusEventType)
        return;
    auto* busEvent = static_cast<BusEvent*>(event);
    if (busEvent->generation() != generation_ || !pipeline_)
        return;
    handleMessage(busEvent->message());
}

void FilterGraph::handleMessage(GstMessage* message) {
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ERROR: {
        if (streamFailed_)
            break;
        streamFailed_ = true;
        // A failed stream stops the graph: nothing waits on a dead pipeline.
        gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
        emit streamError(QString::fromStdString(ErrorText(message)));
        break;
    }
    case GST_MESSAGE_WARNING:
        emit streamWarning(QString::fromStdString(ErrorText(message)));
        break;
    case GST_MESSAGE_EOS:
        emit endOfStream();
        break;
    case GST_MESSAGE_STATE_CHANGED: {
        GstState oldState, newState, pending;
        gst_message_parse_state_changed(message, &oldState, &newState, &pending);
        char reason[64];
        std::snprintf(reason, sizeof reason, "%s_%s", StateName(oldState), StateName(newState));
        dumpDot(reason);
        emit stateChanged(static_cast<int>(newState));
        break;
    }
    default:
        break;
    }
}

void FilterGraph::dumpDot(const char* reason) const {
    if (!pipeline_ || !g_getenv("GST_DEBUG_DUMP_DOT_DIR"))
        return;
    const std::string file = graphName_ + " " + reason;
    gst_debug_bin_to_dot_file_with_ts(GST_BIN(pipeline_.get()), GST_DEBUG_GRAPH_SHOW_ALL,
                                      file.c_str());
}

void FilterGraph::setState(GstState state, const char* operation) {
    requireActive(operation);
    if (state >= GST_STATE_PAUSED) {
        for (auto& filter : filters_) {
            // A filter that nothing is wired to stays out of the running
            // graph: an unlinked live source would stop the whole graph
            // with a not-linked error, and an unlinked file writer would
            // create an empty file.
            const auto pins = filter->pins();
            const bool linked =
                std::any_of(pins.begin(), pins.end(), [](Pin* p) { return p->IsConnected(); });
            gst_element_set_locked_state(filter->element(), !linked);
            if (!linked)
                gst_element_set_state(filter->element(), GST_STATE_NULL);
            else
                filter->prepareToRun();
        }
    }
    {
        std::lock_guard<std::mutex> lock(busMutex_);
        lastErrorText_.clear();
    }
    QCoreApplication::removePostedEvents(this, kBusEventType);
    streamFailed_ = false;
    const GstStateChangeReturn result = gst_element_set_state(pipeline_.get(), state);
    if (result != GST_STATE_CHANGE_FAILURE)
        return;
    std::string text;
    {
        std::lock_guard<std::mutex> lock(busMutex_);
        text = lastErrorText_;
    }
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    if (text.empty())
        text = std::string(operation) + ": the pipeline refused the state " + StateName(state);
    throw CaptureError(text, status::VFW_E_STATE_CHANGE_FAILED);
}

void FilterGraph::Run() {
    setState(GST_STATE_PLAYING, "Run");
}
void FilterGraph::Pause() {
    setState(GST_STATE_PAUSED, "Pause");
}

void FilterGraph::Stop() {
    if (pipeline_)
        gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
}

GstState FilterGraph::state() const {
    if (!pipeline_)
        return GST_STATE_NULL;
    GstState current = GST_STATE_NULL;
    gst_element_get_state(pipeline_.get(), &current, nullptr, 0);
    return current;
}

void FilterGraph::addFilter(std::shared_ptr<Filter> filter) {
    requireActive("AddFilter");
    if (FindFilterByName(filter->name()))
        throw CaptureError("AddFilter: a filter named " + filter->name() +
                               " is already in the graph",
                           status::E_INVALIDARG);
    if (!gst_bin_add(GST_BIN(pipeline_.get()), filter->element()))
        throw CaptureError("AddFilter: the pipeline refused " + filter->name(),
                           status::E_INVALIDARG);
    filters_.push_back(std::move(filter));
}

void FilterGraph::removeFilter(Filter& filter) {
    std::shared_ptr<Filter> keep = sharedFilter(filter);
    if (!keep)
        return;
    if (FilterObject* owner = filter.owner())
        owner->dropFilter();
    gst_element_set_state(filter.element(), GST_STATE_NULL);
    if (pipeline_ && GST_OBJECT_PARENT(filter.element()) == GST_OBJECT(pipeline_.get()))
        gst_bin_remove(GST_BIN(pipeline_.get()), filter.element());
    filters_.erase(std::remove(filters_.begin(), filters_.end(), keep), filters_.end());
    for (auto& other : filters_)
        other->releaseUnlinkedRequestPads();
}

std::shared_ptr<Filter> FilterGraph::sharedFilter(const Filter& filter) const {
    for (const auto& f : filters_) {
        if (f.get() == &filter)
            return f;
    }
    return nullptr;
}

Filter* FilterGraph::FindFilterByName(const std::string& name) const {
    for (const auto& f : filters_) {
        if (f->name() == name)
            return f.get();
    }
    return nullptr;
}

Pin* FilterGraph::FindPinByName(Filter& filter, const std::string& name) {
    for (Pin* pin : filter.pins()) {
        if (EqualsIgnoringCase(pin->name(), name.substr(0, kMaxPinNameLength)))
            return pin;
    }
    return nullptr;
}

std::vector<Filter*> FilterGraph::filters() const {
    std::vector<Filter*> result;
    for (const auto& f : filters_)
        result.push_back(f.get());
    return result;
}

void FilterGraph::DisconnectAll() {
    if (!pipeline_)
        return;
    for (auto& filter : filters_) {
        for (Pin* pin : filter->pins()) {
            GstPad* pad = pin->pad();
            if (!pad || GST_PAD_DIRECTION(pad) != GST_PAD_SRC)
                continue;
            if (const auto peer = GstOwned<GstPad>::adopt(gst_pad_get_peer(pad)))
                gst_pad_unlink(pad, peer.get());
        }
    }
    for (auto& filter : filters_)
        filter->releaseUnlinkedRequestPads();
}

void FilterGraph::RemoveUnownedFilters() {
    std::vector<Filter*> doomed;
    for (auto& filter : filters_) {
        if (!filter->owner() || !filter->owner()->attached())
            doomed.push_back(filter.get());
    }
    for (Filter* filter : doomed)
        removeFilter(*filter);
}

Filter& FilterGraph::insertElement(const char* factory, const std::string& name) {
    requireActive("RenderStream");
    std::string chosen = name;
    for (int n = 0; chosen.empty(); ++n) {
        std::string candidate = std::string(factory) + std::to_string(n);
        if (!FindFilterByName(candidate))
            chosen = candidate;
    }
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (!element)
        throw CaptureError(std::string("The element ") + factory + " is not installed",
                           status::E_NOTFOUND);
    auto filter = std::make_shared<Filter>(element, chosen, std::string("element:") + factory);
    Filter& result = *filter;
    addFilter(std::move(filter));
    return result;
}

HResult FilterGraph::Connect(Pin& output, Pin& input) {
    if (!output.pad() || !input.pad())
        return status::VFW_E_CANNOT_CONNECT;
    const GstPadLinkReturn result = gst_pad_link(output.pad(), input.pad());
    return result == GST_PAD_LINK_OK ? status::S_OK : status::VFW_E_CANNOT_CONNECT;
}

namespace {

Pin* FirstFreeOutput(Filter& filter, MediaKind kind, const char* name) {
    for (Pin* pin : filter.pins()) {
        if (pin->direction() != PinDirection::Output || !pin->pad() || pin->IsConnected())
            continue;
        if (kind != MediaKind::Any && pin->kind() != MediaKind::Any && pin->kind() != kind)
            continue;
        if (name && !EqualsIgnoringCase(pin->name(), name))
            continue;
        return pin;
    }
    return nullptr;
}

Pin* FirstPin(Filter& filter, PinDirection direction) {
    for (Pin* pin : filter.pins()) {
        if (pin->direction() == direction && pin->pad())
            return pin;
    }
    return nullptr;
}

} // namespace

HResult FilterGraph::RenderStream(PinCategory category, MediaKind type, Filter* source,
                                  Filter* compressor, Filter* sink) {
    if (!pipeline_ || !source || !sink)
        return status::E_POINTER;
    Pin* output = nullptr;
    if (category == PinCategory::Preview)
        output = FirstFreeOutput(*source, type, "Preview");
    if (category == PinCategory::Capture || (category == PinCategory::Preview && !output))
        output = FirstFreeOutput(*source, type, "Capture");
    if (category == PinCategory::None)
        output = FirstFreeOutput(*source, type, nullptr);
    if (!output)
        return status::E_INVALIDARG;
    const MediaKind kind = type != MediaKind::Any ? type : output->kind();

    std::vector<Filter*> inserted;
    auto undo = [&]() {
        for (Filter* f : inserted)
            removeFilter(*f);
        for (auto& f : filters_)
            f->releaseUnlinkedRequestPads();
    };
    try {
        Pin* current = output;
        Filter* next = compressor ? compressor : sink;
        // Source pins have no thread of their own downstream: a queue gives
        // each stream one, unless the next filter starts with its own or the
        // source is itself fed by a queued stream (the mux).
        const std::vector<Pin*> sourcePins = source->pins();
        const bool sourceIsFed = std::any_of(sourcePins.begin(), sourcePins.end(), [](Pin* p) {
            return p->direction() == PinDirection::Input && p->IsConnected();
        });
        if (!next->hasInputQueue() && !sourceIsFed) {
            Filter& queue = insertElement("queue");
            inserted.push_back(&queue);
            g_object_set(queue.element(), "max-size-buffers", 0u, "max-size-bytes", 0u,
                         "max-size-time", kInsertedQueueMaxTime_ns, nullptr);
            if (Failed(Connect(*current, *FirstPin(queue, PinDirection::Input)))) {
                undo();
                return status::VFW_E_CANNOT_CONNECT;
            }
            current = FirstPin(queue, PinDirection::Output);
        }
        auto connectConverting = [&](Pin& from, Filter& to) -> Pin* {
            Pin* input = to.acquireInputPin(kind);
            if (!input)
                return nullptr;
            if (Succeeded(Connect(from, *input)))
                return input;
            // Insert the converters the platform would: colour space and size
            // for video, sample format and rate for audio.
            const char* first = kind == MediaKind::Audio ? "audioconvert" : "videoconvert";
            const char* second = kind == MediaKind::Audio ? "audioresample" : "videoscale";
            Filter& a = insertElement(first);
            inserted.push_back(&a);
            Filter& b = insertElement(second);
            inserted.push_back(&b);
            if (Failed(Connect(from, *FirstPin(a, PinDirection::Input))) ||
                Failed(Connect(*FirstPin(a, PinDirection::Output),
                               *FirstPin(b, PinDirection::Input))) ||
                Failed(Connect(*FirstPin(b, PinDirection::Output), *input)))
                return nullptr;
            return input;
        };
        if (compressor) {
            if (!connectConverting(*current, *compressor)) {
                undo();
                return status::VFW_E_CANNOT_CONNECT;
            }
            current = FirstFreeOutput(*compressor, MediaKind::Any, nullptr);
            if (!current) {
                undo();
                return status::VFW_E_CANNOT_CONNECT;
            }
        }
        if (!connectConverting(*current, *sink)) {
            undo();
            return status::VFW_E_CANNOT_CONNECT;
        }
    } catch (const CaptureError&) {
        undo();
        throw;
    }
    return status::S_OK;
}

bool FilterGraph::StopAfterEndOfStream(int timeout_ms) {
    requireActive("StopAfterEndOfStream");
    const GstState current = state();
    if (current != GST_STATE_PLAYING && current != GST_STATE_PAUSED) {
        Stop();
        return true;
    }
    std::set<std::string> writers;
    std::vector<Filter*> writerFilters;
    std::vector<Filter*> sources;
    for (auto& filter : filters_) {
        bool inputLinked = false;
        bool outputLinked = false;
        for (Pin* pin : filter->pins()) {
            if (!pin->IsConnected())
                continue;
            (pin->direction() == PinDirection::Input ? inputLinked : outputLinked) = true;
        }
        GstElementFactory* factory = gst_element_get_factory(filter->element());
        if (inputLinked && factory && std::string(GST_OBJECT_NAME(factory)) == "filesink") {
            writers.insert(filter->name());
            writerFilters.push_back(filter.get());
        }
        if (outputLinked && !inputLinked)
            sources.push_back(filter.get());
    }
    {
        std::lock_guard<std::mutex> lock(busMutex_);
        endedSinks_.clear();
        lastErrorText_.clear();
    }
    // End-of-stream leaves each source's outlet on the outlet's own
    // streaming thread, right after the next frame: a probe passes that frame
    // on and then sends the event, so no frame already on its way is refused
    // behind an event sent from outside. A branch that is stalled never calls
    // its probe; the wait below then runs out and the stop flushes it, and no
    // thread ever waits for the stalled stream.
    struct Outlet {
        GstOwned<GstPad> pad;
        GstOwnedPadProbe probe;
        std::atomic<bool> ended{false};
        std::atomic<bool> passing{false};
    };
    std::vector<std::unique_ptr<Outlet>> outlets;
    for (Filter* source : sources) {
        for (Pin* pin : source->pins()) {
            if (pin->direction() != PinDirection::Output || !pin->IsConnected() || !pin->pad())
                continue;
            auto outlet = std::make_unique<Outlet>();
            outlet->pad = GstOwned<GstPad>::ref(pin->pad());
            outlets.push_back(std::move(outlet));
        }
    }
    // A paused sink holds back whatever reaches it, end-of-stream and the
    // muxer's index among it, until it plays: a paused recording plays again
    // for the moment it takes to end.
    if (current == GST_STATE_PAUSED &&
        gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        Stop();
        return false;
    }
    for (auto& outlet : outlets)
        outlet->probe = GstOwnedPadProbe::add(
            outlet->pad.get(), GST_PAD_PROBE_TYPE_BUFFER,
            [](GstPad* pad, GstPadProbeInfo* info, gpointer data) {
                auto* self = static_cast<Outlet*>(data);
                // The frame pushed from here passes this probe once more.
                if (self->passing || self->ended)
                    return GST_PAD_PROBE_OK;
                self->passing = true;
                gst_pad_push(pad, gst_buffer_ref(GST_PAD_PROBE_INFO_BUFFER(info)));
                gst_pad_push_event(pad, gst_event_new_eos());
                self->ended = true;
                return GST_PAD_PROBE_DROP;
            },
            outlet.get(), nullptr);
    // What still reaches the file writers: an encoder working off its
    // backlog on a busy machine is no stall, and the wait goes on for it.
    std::atomic<std::uint64_t> written{0};
    std::vector<GstOwnedPadProbe> counters;
    for (Filter* writer : writerFilters)
        for (Pin* pin : writer->pins())
            if (pin->direction() == PinDirection::Input && pin->IsConnected() && pin->pad())
                counters.push_back(GstOwnedPadProbe::add(
                    pin->pad(), GST_PAD_PROBE_TYPE_BUFFER,
                    [](GstPad*, GstPadProbeInfo*, gpointer count) {
                        ++*static_cast<std::atomic<std::uint64_t>*>(count);
                        return GST_PAD_PROBE_OK;
                    },
                    &written, nullptr));
    bool ended = false;
    {
        const auto limit =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kEndOfStreamLimit_ms);
        std::unique_lock<std::mutex> lock(busMutex_);
        const auto done = [&] {
            return !lastErrorText_.empty() ||
                   std::all_of(writers.begin(), writers.end(),
                               [&](const std::string& w) { return endedSinks_.count(w) > 0; });
        };
        while (true) {
            const std::uint64_t before = written;
            if (busCondition_.wait_for(lock, std::chrono::milliseconds(timeout_ms), done)) {
                ended = lastErrorText_.empty();
                break;
            }
            // Nothing reached a writer for a whole wait: the stream is stuck.
            if (written == before || std::chrono::steady_clock::now() >= limit)
                break;
        }
    }
    Stop();
    // The streaming threads have ended: no probe runs any more.
    for (auto& outlet : outlets)
        outlet->probe.reset();
    counters.clear();
    return ended;
}

} // namespace qeltv
