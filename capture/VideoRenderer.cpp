#include "capture/VideoRenderer.h"

#include "capture/FilterGraph.h"

#include <gst/app/gstappsink.h>

#include <utility>

namespace qeltv {

namespace {

// The renderer keeps at most this many frames queued: a preview shows the
// newest picture, never a backlog.
constexpr guint kRendererQueueFrames = 2;

GstFlowReturn OnNewSample(GstAppSink* sink, gpointer held) {
    const auto sample = GstOwned<GstSample>::adopt(gst_app_sink_pull_sample(sink));
    if (!sample)
        return GST_FLOW_EOS;
    (*static_cast<std::shared_ptr<FrameSlot>*>(held))->put(sample.get());
    return GST_FLOW_OK;
}

void ReleaseSlot(gpointer held) {
    delete static_cast<std::shared_ptr<FrameSlot>*>(held);
}

} // namespace

void FrameSlot::put(GstSample* sample) {
    GstOwned<GstSample> superseded;
    bool notify = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        superseded = std::exchange(sample_, GstOwned<GstSample>::ref(sample));
        notify = !pending_;
        pending_ = true;
    }
    // Outside the frame's lock: the GUI thread that the call wakes takes
    // the frame at once instead of waiting for this thread to let go.
    if (notify) {
        std::lock_guard<std::mutex> lock(notifierMutex_);
        if (notifier_)
            notifier_();
    }
}

GstOwned<GstSample> FrameSlot::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = false;
    return std::move(sample_);
}

void FrameSlot::setNotifier(std::function<void()> notifier) {
    std::lock_guard<std::mutex> notifierLock(notifierMutex_);
    notifier_ = std::move(notifier);
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = false;
}

VideoRendererFilter::VideoRendererFilter(const std::string& name)
    : Filter(gst_bin_new(nullptr), name, kVideoRendererMoniker),
      slot_(std::make_shared<FrameSlot>()) {
    GstElement* queue = gst_element_factory_make("queue", nullptr);
    GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement* sink = gst_element_factory_make("appsink", nullptr);
    if (!queue || !convert || !sink)
        throw CaptureError(name + ": the video renderer elements are not installed",
                           status::E_NOTFOUND);
    g_object_set(queue, "max-size-buffers", kRendererQueueFrames, "max-size-bytes", 0u,
                 "max-size-time", guint64{0}, "leaky", kLeakyDownstream, nullptr);
    CapsRef caps(gst_caps_from_string("video/x-raw, format=(string)BGRx"));
    // A live picture is shown as it arrives: the capture device already
    // paces it, and waiting for the clock would hold every frame back by the
    // pipeline's latency (a whole frame), a channel change with it.
    g_object_set(sink, "caps", caps.get(), "sync", FALSE, "max-buffers", 1u, "drop", TRUE,
                 "enable-last-sample", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = OnNewSample;
    // The callback's own reference keeps the slot alive while the sink runs.
    auto* held = new std::shared_ptr<FrameSlot>(slot_);
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, held, ReleaseSlot);
    gst_bin_add_many(GST_BIN(element()), queue, convert, sink, nullptr);
    gst_element_link_many(queue, convert, sink, nullptr);
    const auto target = GstOwned<GstPad>::adopt(gst_element_get_static_pad(queue, "sink"));
    GstPad* ghost = gst_ghost_pad_new("Input0", target.get());
    gst_pad_set_active(ghost, TRUE);
    gst_element_add_pad(element(), ghost);
    addPin("Input0", PinDirection::Input, MediaKind::Video, ghost);
}

std::shared_ptr<Filter> CreateVideoRendererFilter(const std::string& name) {
    return std::make_shared<VideoRendererFilter>(name);
}

VideoRenderer::VideoRenderer(FilterGraph& graph) : FilterObject(graph, "VideoWindow") {
    setMoniker(kVideoRendererMoniker);
    connect(&graph, &FilterGraph::stateChanged, this, [this](int state) {
        if (state == GST_STATE_PLAYING)
            emit windowStateDue();
    });
}

VideoRenderer::~VideoRenderer() {
    Detach();
}

std::shared_ptr<Filter> VideoRenderer::makeFilter() {
    return CreateVideoRendererFilter(name());
}

void VideoRenderer::filterTaken(Filter& filter) {
    auto* renderer = dynamic_cast<VideoRendererFilter*>(&filter);
    if (!renderer)
        return;
    // Runs on a streaming thread: only a queued call crosses to this object.
    renderer->slot()->setNotifier([this] {
        QMetaObject::invokeMethod(
            this, [this] { emit frameReady(); }, Qt::QueuedConnection);
    });
}

void VideoRenderer::filterReleased(Filter& filter) {
    if (auto* renderer = dynamic_cast<VideoRendererFilter*>(&filter))
        renderer->slot()->setNotifier(nullptr);
}

VideoRendererFilter* VideoRenderer::renderer() const {
    return dynamic_cast<VideoRendererFilter*>(filterOrNull());
}

GstOwned<GstSample> VideoRenderer::takeSample() {
    VideoRendererFilter* current = renderer();
    return current ? current->slot()->take() : GstOwned<GstSample>();
}

void VideoRenderer::setKeepAspectRatio(bool keep) {
    keepAspectRatio_ = keep;
    ApplyAspectRatio();
}

void VideoRenderer::ApplyAspectRatio() {
    if (VideoRendererFilter* current = renderer()) {
        current->setLetterbox(keepAspectRatio_);
        emit aspectRatioChanged();
    }
}

void VideoRenderer::setFullScreen(bool fullScreen) {
    if (fullScreen == fullScreen_)
        return;
    fullScreen_ = fullScreen;
    emit fullScreenChanged(fullScreen_);
}

bool VideoRenderer::letterbox() const {
    const VideoRendererFilter* current = renderer();
    return current && current->letterbox();
}

} // namespace qeltv
