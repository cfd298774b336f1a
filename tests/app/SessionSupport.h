// Helpers for tests that drive the session core without a window: a view
// that records what the session shows, a session started on it, and a
// count of the preview's frames as a picture widget would take them.
#pragma once

#include "app/session/TvSession.h"
#include "tests/app/GuiTest.h"

#include <QTest>

#include <functional>
#include <memory>
#include <vector>

namespace qeltv::test {

// Records what it is shown; the configuration dialogs run what the test
// gives for them, as a person at the dialog would.
struct FakeView : SessionView {
    std::vector<GraphMode> updates; // the mode at each control-state update
    QStringList captions, statuses, boxes, errors, balloons, osd;
    std::vector<bool> boxWaits;
    bool videoVisible = false;
    int ended = 0;
    TvSession* session = nullptr;
    std::function<void(Pin&)> onVideoFormat;
    std::function<void(Crossbar&)> onCrossbar;

    void setBusyCursor(bool) override {}
    void setBackCaption(const QString& caption) override { captions << caption; }
    void showVideoWindow(bool visible) override { videoVisible = visible; }
    void setStatusText(const QString& text) override { statuses << text; }
    void UpdateControls() override { updates.push_back(session->graphMode()); }
    void showMessageBox(Box, const QString& text, bool wait) override {
        boxes << text;
        boxWaits.push_back(wait);
    }
    void reportError(const QString& what) override { errors << what; }
    void showBalloon(const QString& title, const QString& text, int icon, int) override {
        balloons << title + "|" + text + "|" + QString::number(icon);
    }
    void showOsdText(const QString& text) override { osd << text; }
    void endProgram() override { ++ended; }
    void showVideoFormat(Pin& pin) override {
        if (onVideoFormat)
            onVideoFormat(pin);
    }
    void showCrossbarProperties(Crossbar& crossbar) override {
        if (onCrossbar)
            onCrossbar(crossbar);
    }
    QString lastStatus() const { return statuses.isEmpty() ? QString() : statuses.back(); }
    QString lastCaption() const { return captions.isEmpty() ? QString() : captions.back(); }
};

// A session on `view`, started as the program starts it.
inline std::unique_ptr<TvSession> StartSession(const Paths& paths, FakeView& view) {
    auto session = std::make_unique<TvSession>(paths, nullptr, view);
    view.session = session.get();
    session->start(std::nullopt);
    return session;
}

// Counts the preview's frames, taking each as the picture widget does, for
// as long as it lives.
class FrameCounter {
public:
    explicit FrameCounter(TvSession& session) : renderer_(session.renderer()) {
        connection_ = QObject::connect(&renderer_, &VideoRenderer::frameReady, &renderer_, [this] {
            if (renderer_.takeSample())
                ++frames_;
        });
    }
    ~FrameCounter() { QObject::disconnect(connection_); }
    FrameCounter(const FrameCounter&) = delete;
    FrameCounter& operator=(const FrameCounter&) = delete;

    int frames() const { return frames_; }
    // Waits until `more` frames have come.
    bool waitFor(int more, int limit_ms = kFrameWait_ms) {
        const int start = frames_;
        return QTest::qWaitFor([&] { return frames_ >= start + more; }, limit_ms);
    }

private:
    static constexpr int kFrameWait_ms = 10000;
    VideoRenderer& renderer_;
    QMetaObject::Connection connection_;
    int frames_ = 0;
};

} // namespace qeltv::test
