#include "capture/VideoWindow.h"

#include "capture/FilterGraph.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <QEvent>
#include <QPainter>

namespace qeltv {

namespace {

// The renderer keeps at most this many frames queued: a preview shows the
// newest picture, never a backlog.
constexpr guint kRendererQueueFrames = 2;
constexpr int kLeakyDownstream = 2;

GstFlowReturn OnNewSample(GstAppSink* sink, gpointer held) {
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (!sample)
        return GST_FLOW_EOS;
    (*static_cast<std::shared_ptr<FrameSlot>*>(held))->put(sample);
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

void ReleaseSlot(gpointer held) {
    delete static_cast<std::shared_ptr<FrameSlot>*>(held);
}

// A mapped frame that lives as long as the QImage painted from it.
struct MappedFrame {
    GstSample* sample;
    GstVideoFrame frame;
};

void ReleaseMappedFrame(void* data) {
    auto* mapped = static_cast<MappedFrame*>(data);
    gst_video_frame_unmap(&mapped->frame);
    gst_sample_unref(mapped->sample);
    delete mapped;
}

} // namespace

FrameSlot::~FrameSlot() {
    if (sample_)
        gst_sample_unref(sample_);
}

void FrameSlot::put(GstSample* sample) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sample_)
        gst_sample_unref(sample_);
    sample_ = gst_sample_ref(sample);
    if (!pending_ && notifier_) {
        pending_ = true;
        notifier_();
    }
}

GstSample* FrameSlot::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    GstSample* sample = sample_;
    sample_ = nullptr;
    pending_ = false;
    return sample;
}

void FrameSlot::setNotifier(std::function<void()> notifier) {
    std::lock_guard<std::mutex> lock(mutex_);
    notifier_ = std::move(notifier);
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
    g_object_set(sink, "caps", caps.get(), "sync", TRUE, "max-buffers", 1u, "drop", TRUE,
                 "enable-last-sample", FALSE, "qos", TRUE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = OnNewSample;
    // The callback's own reference keeps the slot alive while the sink runs.
    auto* held = new std::shared_ptr<FrameSlot>(slot_);
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, held, ReleaseSlot);
    gst_bin_add_many(GST_BIN(element()), queue, convert, sink, nullptr);
    gst_element_link_many(queue, convert, sink, nullptr);
    GstPad* target = gst_element_get_static_pad(queue, "sink");
    GstPad* ghost = gst_ghost_pad_new("Input0", target);
    gst_object_unref(target);
    gst_pad_set_active(ghost, TRUE);
    gst_element_add_pad(element(), ghost);
    addPin("Input0", PinDirection::Input, MediaKind::Video, ghost);
}

std::shared_ptr<Filter> CreateVideoRendererFilter(const std::string& name) {
    return std::make_shared<VideoRendererFilter>(name);
}

VideoWindow::VideoWindow(FilterGraph& graph, QWidget* pnlBack)
    : QWidget(pnlBack), FilterObject(graph, "VideoWindow"), pnlBack_(pnlBack) {
    setMoniker(kVideoRendererMoniker);
    setAttribute(Qt::WA_OpaquePaintEvent);
    osdTimer_.setSingleShot(true);
    osdTimer_.setInterval(kOsdDuration_ms);
    connect(&osdTimer_, &QTimer::timeout, this, &VideoWindow::OSDTimerTimer);
    if (pnlBack_) {
        setGeometry(pnlBack_->rect());
        pnlBack_->installEventFilter(this);
    }
}

VideoWindow::~VideoWindow() {
    if (pnlBack_)
        pnlBack_->removeEventFilter(this);
    Detach();
}

std::shared_ptr<Filter> VideoWindow::makeFilter() {
    return CreateVideoRendererFilter(name());
}

void VideoWindow::filterTaken(Filter& filter) {
    auto* renderer = dynamic_cast<VideoRendererFilter*>(&filter);
    if (!renderer)
        return;
    renderer->slot()->setNotifier([this] {
        QMetaObject::invokeMethod(
            this, [this] { takeFrame(); }, Qt::QueuedConnection);
    });
}

void VideoWindow::filterReleased(Filter& filter) {
    if (auto* renderer = dynamic_cast<VideoRendererFilter*>(&filter))
        renderer->slot()->setNotifier(nullptr);
}

VideoRendererFilter* VideoWindow::renderer() const {
    return dynamic_cast<VideoRendererFilter*>(filterOrNull());
}

void VideoWindow::takeFrame() {
    VideoRendererFilter* current = renderer();
    if (!current)
        return;
    GstSample* sample = current->slot()->take();
    if (!sample)
        return;
    GstVideoInfo info;
    GstCaps* caps = gst_sample_get_caps(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    auto* mapped = new MappedFrame{sample, {}};
    if (!caps || !buffer || !gst_video_info_from_caps(&info, caps) ||
        !gst_video_frame_map(&mapped->frame, &info, buffer, GST_MAP_READ)) {
        gst_sample_unref(sample);
        delete mapped;
        return;
    }
    frame_ = QImage(static_cast<const uchar*>(GST_VIDEO_FRAME_PLANE_DATA(&mapped->frame, 0)),
                    GST_VIDEO_FRAME_WIDTH(&mapped->frame), GST_VIDEO_FRAME_HEIGHT(&mapped->frame),
                    GST_VIDEO_FRAME_PLANE_STRIDE(&mapped->frame, 0), QImage::Format_RGB32,
                    ReleaseMappedFrame, mapped);
    ++framesShown_;
    update();
    emit frameShown();
}

void VideoWindow::setKeepAspectRatio(bool keep) {
    keepAspectRatio_ = keep;
    ApplyAspectRatio();
}

void VideoWindow::ApplyAspectRatio() {
    if (VideoRendererFilter* current = renderer()) {
        current->setLetterbox(keepAspectRatio_);
        update();
    }
}

void VideoWindow::setFullScreen(bool fullScreen) {
    if (fullScreen == fullScreen_)
        return;
    fullScreen_ = fullScreen;
    if (fullScreen_) {
        setParent(nullptr, Qt::Window | Qt::WindowStaysOnTopHint);
        showFullScreen();
    } else {
        setParent(pnlBack_, Qt::Widget);
        if (pnlBack_)
            setGeometry(pnlBack_->rect());
        show();
    }
}

QFont VideoWindow::osdFont() const {
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans")});
    font.setBold(true);
    font.setPointSize(kOsdFontPointSize);
    return font;
}

void VideoWindow::ShowOsdText(const QString& text, const TvTuner* knownTuner) {
    if (!knownTuner)
        return;
    osdTimer_.stop();
    osdText_ = text;
    update();
    osdTimer_.start();
}

void VideoWindow::OSDTimerTimer() {
    osdTimer_.stop();
    osdText_.clear();
    update();
}

void VideoWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    VideoRendererFilter* current = renderer();
    if (current && !frame_.isNull()) {
        QRect target = rect();
        if (current->letterbox()) {
            QSize fitted = frame_.size().scaled(target.size(), Qt::KeepAspectRatio);
            target = QRect(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2),
                           fitted);
        }
        painter.drawImage(target, frame_);
    }
    if (!osdText_.isEmpty()) {
        painter.setFont(osdFont());
        painter.setPen(Qt::white);
        painter.drawText(
            QRect(kOsdMargin_px, kOsdMargin_px, width() - kOsdMargin_px, height() - kOsdMargin_px),
            Qt::AlignLeft | Qt::AlignTop, osdText_);
    }
}

void VideoWindow::mouseDoubleClickEvent(QMouseEvent*) {
    emit doubleClicked();
}

bool VideoWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == pnlBack_ && event->type() == QEvent::Resize && !fullScreen_)
        setGeometry(pnlBack_->rect());
    return QWidget::eventFilter(watched, event);
}

} // namespace qeltv
