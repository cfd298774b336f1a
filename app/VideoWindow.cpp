#include "app/VideoWindow.h"

#include <gst/video/video.h>

#include <QContextMenuEvent>
#include <QEvent>
#include <QMenu>
#include <QPainter>
#include <QRegion>
#include <QScreen>

namespace qeltv {

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
    releaseFrame();
}

void VideoWindow::releaseFrame() {
    frame_ = QImage();
    if (frameMapped_) {
        gst_video_frame_unmap(&mappedFrame_);
        frameMapped_ = false;
    }
    frameSample_ = GstOwned<GstSample>();
}

void VideoWindow::takeFrame() {
    GstOwned<GstSample> sample = renderer_.takeSample();
    if (!sample)
        return;
    GstCaps* caps = gst_sample_get_caps(sample.get());
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    if (!caps || !buffer)
        return;
    // A sink hands out the same caps with every frame until they change.
    if (caps != frameCaps_.get()) {
        GstVideoInfo info;
        if (!gst_video_info_from_caps(&info, caps))
            return;
        frameInfo_ = info;
        frameCaps_ = GstOwned<GstCaps>::ref(caps);
    }
    GstVideoFrame mapped;
    if (!gst_video_frame_map(&mapped, &frameInfo_, buffer, GST_MAP_READ))
        return;
    const QRect before = pictureRect();
    releaseFrame();
    frameSample_ = std::move(sample);
    mappedFrame_ = mapped;
    frameMapped_ = true;
    // The renderer's BGRx is what the backing store blits as it stands.
    frame_ = QImage(static_cast<const uchar*>(GST_VIDEO_FRAME_PLANE_DATA(&mappedFrame_, 0)),
                    GST_VIDEO_FRAME_WIDTH(&mappedFrame_), GST_VIDEO_FRAME_HEIGHT(&mappedFrame_),
                    GST_VIDEO_FRAME_PLANE_STRIDE(&mappedFrame_, 0), QImage::Format_RGB32);
    ++framesShown_;
    // Painted at once from this frame, so a frame is never painted late;
    // the bars are painted again only when the picture moved.
    if (isVisible()) {
        const QRect picture = pictureRect();
        repaint(picture == before ? picture : rect());
    }
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
