// The video window: the widget that fills pnlBack and paints the frames of
// the preview renderer, with the five-second caption drawn over them. It
// goes full screen as a window of its own: frameless, top-most, covering
// the screen on which pnlBack stands. The full-screen flag and the
// keep-aspect-ratio option are the renderer's; the widget follows them.
#pragma once

#include "capture/VideoRenderer.h"

#include <gst/video/video.h>

#include <QImage>
#include <QMenu>
#include <QPointer>
#include <QTimer>
#include <QWidget>

QT_BEGIN_NAMESPACE
class QPainter;
QT_END_NAMESPACE

namespace qeltv {

class TvTuner;

constexpr int kOsdDuration_ms = 5000;
constexpr int kOsdMargin_px = 5;
constexpr int kOsdFontPointSize = 12;

class VideoWindow : public QWidget {
    Q_OBJECT
public:
    // The window fills pnlBack and follows its size. osdDuration_ms is how
    // long a caption stays.
    VideoWindow(VideoRenderer& renderer, QWidget* pnlBack, int osdDuration_ms = kOsdDuration_ms);
    ~VideoWindow() override;

    VideoRenderer& renderer() const { return renderer_; }

    // The renderer's full-screen flag; setting it moves the window.
    bool fullScreen() const { return renderer_.fullScreen(); }
    void setFullScreen(bool fullScreen) { renderer_.setFullScreen(fullScreen); }
    // Puts the window where the flag says: a top-most frameless window over
    // the whole screen of pnlBack, or pnlBack's rectangle inside it. Whether
    // it is shown stays as it was.
    void applyWindowState();

    // The menu of a right-click; none when null.
    void setPopupMenu(QMenu* menu) { popupMenu_ = menu; }
    QMenu* popupMenu() const { return popupMenu_; }

    // Draws text over the picture for the caption time: white, bold, 12 pt
    // Tahoma (or the closest installed face) at 5,5 from the picture's top
    // left. Nothing happens without a known tuner or once the overlay is
    // freed; the empty text leaves the overlay transparent.
    void ShowOsdText(const QString& text, const TvTuner* knownTuner);
    QString osdText() const { return osdText_; }
    QTimer& OSDTimer() { return osdTimer_; }
    QFont osdFont() const;
    // Draws the caption: white, with a thin dark outline so that it reads on
    // any picture, white ones included.
    static void paintCaption(QPainter& painter, const QRect& area, const QString& text,
                             const QFont& font);
    // Frees the overlay at shutdown: no caption is drawn from here on.
    void FreeOverlay();
    bool hasOverlay() const { return hasOverlay_; }
    // Where the picture is painted: the whole window, or the letterboxed
    // part of it.
    QRect pictureRect() const;

    // The newest frame shown, and how many frames arrived so far.
    QImage currentFrame() const { return frame_.copy(); }
    quint64 framesShown() const { return framesShown_; }

signals:
    void doubleClicked();
    void frameShown();

public slots:
    void OSDTimerTimer();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void takeFrame();
    // Lets go of the picture and then of the mapping it was painted from.
    void releaseFrame();

    VideoRenderer& renderer_;
    QWidget* pnlBack_;
    QPointer<QMenu> popupMenu_;
    QTimer osdTimer_;
    QString osdText_;
    // The newest frame: frame_ is painted straight from the mapped sample
    // (no copy), so it never leaves this object unless deep-copied, and is
    // released before its mapping.
    QImage frame_;
    GstOwned<GstSample> frameSample_;
    GstVideoFrame mappedFrame_{};
    bool frameMapped_ = false;
    // The caps of the frames last taken and what they describe: read once,
    // not for every frame.
    GstOwned<GstCaps> frameCaps_;
    GstVideoInfo frameInfo_{};
    quint64 framesShown_ = 0;
    bool hasOverlay_ = true;
    // Whether the window now stands on its own over the screen.
    bool standsAlone_ = false;
};

} // namespace qeltv
