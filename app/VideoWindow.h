// The video window: the widget that fills pnlBack and paints the frames of
// the preview renderer, with the five-second caption drawn over them. It
// goes full screen as a window of its own.
#pragma once

#include "capture/VideoRenderer.h"

#include <QImage>
#include <QTimer>
#include <QWidget>

namespace qeltv {

class TvTuner;

constexpr int kOsdDuration_ms = 5000;
constexpr int kOsdMargin_px = 5;
constexpr int kOsdFontPointSize = 12;

class VideoWindow : public QWidget {
    Q_OBJECT
public:
    // The window fills pnlBack and follows its size.
    VideoWindow(VideoRenderer& renderer, QWidget* pnlBack);
    ~VideoWindow() override;

    VideoRenderer& renderer() const { return renderer_; }

    bool fullScreen() const { return fullScreen_; }
    void setFullScreen(bool fullScreen);

    // Draws text over the picture for kOsdDuration_ms: white, bold, 12 pt
    // Tahoma (or the closest installed face) at 5,5. Nothing happens without
    // a known tuner; the empty text clears the caption.
    void ShowOsdText(const QString& text, const TvTuner* knownTuner);
    QString osdText() const { return osdText_; }
    QTimer& OSDTimer() { return osdTimer_; }
    QFont osdFont() const;

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
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void takeFrame();

    VideoRenderer& renderer_;
    QWidget* pnlBack_;
    QTimer osdTimer_;
    QString osdText_;
    QImage frame_;
    quint64 framesShown_ = 0;
    bool fullScreen_ = false;
};

} // namespace qeltv
