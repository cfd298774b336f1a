// The preview renderer: the filter object named "VideoWindow" in the graph.
// Its filter ends in an appsink (BGRx). The streaming thread only puts the
// newest frame into a FrameSlot and asks the GUI thread, through a queued
// call, to take it; whatever paints the frames listens to frameReady() there.
// Nothing here touches a widget.
#pragma once

#include "capture/FilterObject.h"
#include "capture/GstRef.h"

#include <QObject>

#include <functional>
#include <memory>
#include <mutex>

namespace qeltv {

constexpr const char* kVideoRendererMoniker = "qeltv:videorenderer";

// The newest frame, handed from a streaming thread to the GUI thread.
class FrameSlot {
public:
    // Streaming thread: keeps a reference of its own to the sample (in place
    // of one not taken yet) and, unless a call is already pending, runs the
    // notifier. A notifier cleared by setNotifier is never run afterwards.
    void put(GstSample* sample);
    // GUI thread: the newest sample, empty when none.
    GstOwned<GstSample> take();
    // Set by the object that takes the frames; cleared before it goes.
    void setNotifier(std::function<void()> notifier);

private:
    // Guards the sample and the pending flag only, so that taking a frame
    // never waits for a notifier to run.
    std::mutex mutex_;
    GstOwned<GstSample> sample_;
    bool pending_ = false;
    std::mutex notifierMutex_;
    std::function<void()> notifier_;
};

// The renderer filter: queue (leaky), converter to BGRx, appsink.
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

class VideoRenderer : public QObject, public FilterObject {
    Q_OBJECT
public:
    explicit VideoRenderer(FilterGraph& graph);
    ~VideoRenderer() override;

    // Keep aspect ratio: stored, and applied to the renderer when one exists.
    void setKeepAspectRatio(bool keep);
    bool keepAspectRatio() const { return keepAspectRatio_; }
    // Applies the stored option to the current renderer (after every
    // preview build).
    void ApplyAspectRatio();
    // Whether the current renderer letterboxes its picture.
    bool letterbox() const;

    // Full screen: a flag of the video window, off at start. Without a
    // renderer only the flag changes; what shows the picture follows
    // fullScreenChanged.
    void setFullScreen(bool fullScreen);
    bool fullScreen() const { return fullScreen_; }

    // GUI thread: the newest frame not yet taken, empty when there is none
    // or no renderer.
    GstOwned<GstSample> takeSample();

signals:
    // A new frame waits in the slot (emitted on the GUI thread).
    void frameReady();
    // The aspect-ratio option changed.
    void aspectRatioChanged();
    void fullScreenChanged(bool fullScreen);
    // The graph started running: the picture's window takes its place
    // again, full screen or inside its panel, as a new renderer needs it.
    void windowStateDue();

protected:
    std::shared_ptr<Filter> makeFilter() override;
    void filterTaken(Filter& filter) override;
    void filterReleased(Filter& filter) override;

private:
    VideoRendererFilter* renderer() const;

    bool keepAspectRatio_ = false;
    bool fullScreen_ = false;
};

} // namespace qeltv
