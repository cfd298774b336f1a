// The video window: the preview renderer filter object and the widget that
// fills pnlBack and paints the picture the renderer receives, with the
// five-second caption over it.
//
// The renderer ends in an appsink (BGRx). Its streaming thread only puts
// the newest frame into a FrameSlot and asks the GUI thread, through a
// queued call, to take it; the widget is never touched from that thread.
#pragma once

#include "capture/FilterObject.h"

#include <QImage>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <mutex>

namespace qeltv {

constexpr const char* kVideoRendererMoniker = "qeltv:videorenderer";
constexpr int kOsdDuration_ms = 5000;
constexpr int kOsdMargin_px = 5;
constexpr int kOsdFontPointSize = 12;

// The newest frame, handed from a streaming thread to the GUI thread.
class FrameSlot {
public:
    ~FrameSlot();
    // Streaming thread: keeps the sample (a new reference) and, unless a
    // call is already pending, runs the notifier.
    void put(GstSample* sample);
    // GUI thread: the newest sample (caller unrefs), nullptr when none.
    GstSample* take();
    // Set by the window that shows the frames; cleared before it goes.
    void setNotifier(std::function<void()> notifier);

private:
    std::mutex mutex_;
    GstSample* sample_ = nullptr;
    bool pending_ = false;
    std::function<void()> notifier_;
};

// The renderer: queue (leaky), converter to BGRx, appsink.
class VideoRendererFilter : public Filter {
public:
    explicit VideoRendererFilter(const std::string& name);
    const std::shared_ptr<FrameSlot>& slot() const { return slot_; }
    bool hasInputQueue() const override { return true; }
    // The aspect-ratio mode of this renderer (letterbox or stretch).
    void setLetterbox(bool letterbox) { letterbox_ = letterbox; }
    bool letterbox() const { return letterbox_; }

private:
    std::shared_ptr<FrameSlot> slot_;
    bool letterbox_ = false;
};

std::shared_ptr<Filter> CreateVideoRendererFilter(const std::string& name);

class VideoWindow : public QWidget, public FilterObject {
    Q_OBJECT
public:
    // The window fills pnlBack and follows its size.
    VideoWindow(FilterGraph& graph, QWidget* pnlBack);
    ~VideoWindow() override;

    // Keep aspect ratio: stored, and applied to the renderer when one exists.
    void setKeepAspectRatio(bool keep);
    bool keepAspectRatio() const { return keepAspectRatio_; }
    // Applies the stored option to the current renderer (after every
    // preview build).
    void ApplyAspectRatio();

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
    std::shared_ptr<Filter> makeFilter() override;
    void filterTaken(Filter& filter) override;
    void filterReleased(Filter& filter) override;

private:
    void takeFrame();
    VideoRendererFilter* renderer() const;

    QWidget* pnlBack_;
    QTimer osdTimer_;
    QString osdText_;
    QImage frame_;
    quint64 framesShown_ = 0;
    bool keepAspectRatio_ = false;
    bool fullScreen_ = false;
};

} // namespace qeltv
