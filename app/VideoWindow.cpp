#include "app/VideoWindow.h"

#include <gst/video/video.h>

#include <QContextMenuEvent>
#include <QEvent>
#include <QMenu>
#include <QPainter>
#include <QRegion>
#include <QScreen>

#include <memory>

namespace qeltv {

namespace {

// A mapped frame that lives as long as the QImage painted from it.
struct MappedFrame {
    GstOwned<GstSample> sample;
    GstVideoFrame frame{};
};

void ReleaseMappedFrame(void* data) {
    auto* mapped = static_cast<MappedFrame*>(data);
    gst_video_frame_unmap(&mapped->frame);
    delete mapped;
}

} // namespace

VideoWindow::VideoWindow(VideoRenderer& renderer, QWidget* pnlBack, int osdDuration_ms)
    : QWidget(pnlBack), renderer_(renderer), pnlBack_(pnlBack) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    osdTimer_.setSingleShot(true);
    osdTimer_.setInterval(osdDuration_ms);
    connect(&osdTimer_, &QTimer::timeout, this, &VideoWindow::OSDTimerTimer);
    connect(&renderer_, &VideoRenderer::frameReady, this, &VideoWindow::takeFrame);
    connect(&renderer_, &VideoRenderer::aspectRatioChanged, this, [this] { update(); });
    connect(&renderer_, &VideoRenderer::fullScreenChanged, this, &VideoWindow::applyWindowState);
    connect(&renderer_, &VideoRenderer::windowStateDue, this, &VideoWindow::applyWindowState);
    if (pnlBack_) {
        setGeometry(pnlBack_->rect());
        pnlBack_->installEventFilter(this);
    }
}

VideoWindow::~VideoWindow() {
    if (pnlBack_)
        pnlBack_->removeEventFilter(this);
}

void VideoWindow::takeFrame() {
    auto mapped = std::make_unique<MappedFrame>();
    mapped->sample = renderer_.takeSample();
    if (!mapped->sample)
        return;
    GstVideoInfo info;
    GstCaps* caps = gst_sample_get_caps(mapped->sample.get());
    GstBuffer* buffer = gst_sample_get_buffer(mapped->sample.get());
    if (!caps || !buffer || !gst_video_info_from_caps(&info, caps) ||
        !gst_video_frame_map(&mapped->frame, &info, buffer, GST_MAP_READ))
        return;
    // The image keeps the mapping until Qt lets go of the picture.
    MappedFrame* frame = mapped.release();
    frame_ = QImage(static_cast<const uchar*>(GST_VIDEO_FRAME_PLANE_DATA(&frame->frame, 0)),
                    GST_VIDEO_FRAME_WIDTH(&frame->frame), GST_VIDEO_FRAME_HEIGHT(&frame->frame),
                    GST_VIDEO_FRAME_PLANE_STRIDE(&frame->frame, 0), QImage::Format_RGB32,
                    ReleaseMappedFrame, frame);
    ++framesShown_;
    update();
    emit frameShown();
}

void VideoWindow::applyWindowState() {
    // Moving between parents hides a widget: what was shown is shown again.
    const bool shown = !isHidden();
    if (fullScreen()) {
        QScreen* screen = pnlBack_ ? pnlBack_->screen() : this->screen();
        if (!standsAlone_) {
            setParent(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
            standsAlone_ = true;
        }
        setScreen(screen);
        setGeometry(screen->geometry());
        if (shown) {
            showFullScreen();
            raise();
            activateWindow();
        }
    } else {
        if (standsAlone_) {
            setWindowState(windowState() & ~Qt::WindowFullScreen);
            setParent(pnlBack_, Qt::Widget);
            standsAlone_ = false;
        }
        if (pnlBack_)
            setGeometry(pnlBack_->rect());
        if (shown)
            show();
    }
}

void VideoWindow::contextMenuEvent(QContextMenuEvent* event) {
    if (!popupMenu_) {
        QWidget::contextMenuEvent(event);
        return;
    }
    popupMenu_->popup(event->globalPos());
    event->accept();
}

QFont VideoWindow::osdFont() const {
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans")});
    font.setBold(true);
    font.setPointSize(kOsdFontPointSize);
    return font;
}

void VideoWindow::ShowOsdText(const QString& text, const TvTuner* knownTuner) {
    if (!hasOverlay_ || !knownTuner)
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

void VideoWindow::FreeOverlay() {
    osdTimer_.stop();
    osdText_.clear();
    hasOverlay_ = false;
    update();
}

QRect VideoWindow::pictureRect() const {
    if (!renderer_.letterbox() || frame_.isNull())
        return rect();
    const QSize fitted = frame_.size().scaled(size(), Qt::KeepAspectRatio);
    return QRect(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
}

void VideoWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect picture = pictureRect();
    if (renderer_.hasFilter() && !frame_.isNull()) {
        // Black only where the picture leaves room: each pixel is written
        // once a frame.
        for (const QRect& bar : QRegion(rect()).subtracted(picture))
            painter.fillRect(bar, Qt::black);
        painter.drawImage(picture, frame_);
    } else {
        painter.fillRect(rect(), Qt::black);
    }
    // The caption sits at the picture's top left at the window's own scale,
    // so it reads the same in full screen as in the panel.
    if (!osdText_.isEmpty())
        paintCaption(painter, picture.adjusted(kOsdMargin_px, kOsdMargin_px, 0, 0), osdText_,
                     osdFont());
}

void VideoWindow::paintCaption(QPainter& painter, const QRect& area, const QString& text,
                               const QFont& font) {
    constexpr int kOutline_px = 1;
    const int flags = Qt::AlignLeft | Qt::AlignTop;
    painter.setFont(font);
    painter.setPen(QColor(0, 0, 0, 200));
    for (int dx = -kOutline_px; dx <= kOutline_px; ++dx)
        for (int dy = -kOutline_px; dy <= kOutline_px; ++dy)
            if (dx != 0 || dy != 0)
                painter.drawText(area.translated(dx, dy), flags, text);
    painter.setPen(Qt::white);
    painter.drawText(area, flags, text);
}

void VideoWindow::mouseDoubleClickEvent(QMouseEvent*) {
    emit doubleClicked();
}

bool VideoWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == pnlBack_ && event->type() == QEvent::Resize && !standsAlone_)
        setGeometry(pnlBack_->rect());
    return QWidget::eventFilter(watched, event);
}

} // namespace qeltv
