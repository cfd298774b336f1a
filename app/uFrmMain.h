// The main window: a view of the session core. It builds the controls,
// turns each control event into one call of the core, and shows what the
// core reports. The window owns the core, and the core everything else.
#pragma once

#include "app/ErrorHandler.h"
#include "app/MainWindowUi.h"
#include "app/Paths.h"
#include "app/SingleInstance.h"
#include "app/TvSession.h"
#include "app/VideoWindow.h"

#include <QMainWindow>
#include <QSystemTrayIcon>
#include <QTimer>
#include <memory>
#include <optional>

namespace qeltv {

class TfrmMain : public QMainWindow, public SessionView {
    Q_OBJECT
public:
    static constexpr int kDesignWidth = 459;
    static constexpr int kDesignHeight = 491;
    static constexpr int kBalloonTimeout_ms = 10000;
    static constexpr int kMaxTrayHintLength = 127;
    static constexpr int kMaxBalloonTitleLength = 63;
    static constexpr int kMaxBalloonTextLength = 255;

    // startChannel: the first command-line argument by the integer-or-1
    // rule, when there was one. The window takes the instance lock and keeps
    // it until the very end of its shutdown. osdDuration_ms: how long the
    // channel caption stays over the picture. startAnswer hears what became
    // of the start-up's own start command.
    TfrmMain(const Paths& paths, std::optional<long> startChannel,
             std::unique_ptr<InstanceLock> lock, QelApplication& app,
             int osdDuration_ms = kOsdDuration_ms, AnswerSink startAnswer = {});
    ~TfrmMain() override;

    TvSession& session() { return *session_; }

    // Control events, each one call into the session.
    void lstChannelsClick();
    void btPreviousChapterClick(); // first channel
    void btRewindClick();          // previous channel
    void btFastForwardClick();     // next channel
    void btNextChapterClick();     // last channel
    void cmbQuickChannelChange(int index);
    void lstChannelsDblClick(); // rename the selected channel
    void btRecClick();
    void btPauseClick();
    void btPlayClick();
    void btStopClick();
    void StartWebcast1Click();
    void btnStartWebserverClick();
    void btnStopWebserverClick();
    void btFrameStepClick();
    // Starts the chosen scan, or aborts the running one.
    void btnAutoTuneClick();
    // Full screen on or off (ToggleFullScreen); the toolbar button and a
    // double-click on the picture do the same, "Exit Fullscreen" only while
    // full screen.
    void Fullscreen1Click();
    void btFullScreenClick();
    void VideoWindowDblClick();
    void ExitFullscreen1Click();
    // The item's check mark, toggled by its click, becomes the option.
    void Keepaspectratio1Click();
    // "Add schedule": the same as the "Add new schedule" button.
    void btRootMenuClick();
    // The schedule dialog; on OK its values become a task.
    void btnAddScheduleClick();
    void btnRefreshClick();
    // The schedule list's pop-up menu, on the selected row's task; nothing
    // without a selected row.
    void Startnow1Click();
    void Delete1Click();
    void Edit1Click();
    void Notebook1PageChanged(int page);
    // The keys the window sees before the focused control: Esc leaves full
    // screen, F12 shows the tuner's property pages.
    void FormKeyDown(int key);
    // The tuner's property pages; nothing without a tuner.
    void ShowTunerPropertyPages();
    void UpdateControls() override;

    void ShowBalloon(const QString& title, const QString& text, QSystemTrayIcon::MessageIcon icon,
                     int seconds);

    // SessionView.
    void setBusyCursor(bool busy) override;
    void setBackCaption(const QString& caption) override;
    void showVideoWindow(bool visible) override;
    void setStatusText(const QString& text) override;
    void showMessageBox(Box kind, const QString& text, bool wait) override;
    void reportError(const QString& what) override;
    void showBalloon(const QString& title, const QString& text, int icon, int seconds) override;
    void showOsdText(const QString& text) override;
    void endProgram() override;
    void showCaptureDeviceProperties(Filter& filter) override;
    void showAudioDeviceProperties(Filter& filter) override;
    void showCompressorProperties(Filter& filter) override;
    void showCrossbarProperties(Crossbar& crossbar) override;
    void showTunerProperties(TvTuner& tuner) override;
    void showVideoFormat(Pin& pin) override;

    // The Preferences page: the lists' changes and the buttons, each one
    // call into the session; the browse button only fills the box.
    void cmbVideoCapDevChange(int index);
    void cmbCompressionFiltersChange(int index);
    void cmbAudioCapDevChange(int index);
    void cmbAudioCompressionFiltersChange(int index);
    void cmbAudioCompressionFormatChange(int index);
    void cmbInputLinesChange(int index);
    void btnVideoCapConfigureClick();
    void btnPreviewFormatClick();
    void btnCaptureFormatClick();
    void btnCrossbarClick();
    void btnCompressConfigClick();
    void btnAudioCapDevConfigureClick();
    void SpeedButton1Click();

    // What the tests and the relay look at.
    GraphMode graphMode() const { return session_->graphMode(); }
    GraphBuilder& graphBuilder() { return session_->graphBuilder(); }
    VideoWindow* videoWindow() const { return VideoWindow_; }
    VirtualTvCard& virtualCard() { return session_->virtualCard(); }
    const Settings& settings() const { return session_->settings(); }
    const ChannelList& channels() const { return session_->channels(); }
    long currentChannel() const { return session_->currentChannel(); }
    QString trayHint() const { return trayHint_; }
    QString quickChannelText() const { return session_->quickChannelText(); }
    ErrorHandler& errorHandler() { return errorHandler_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void FormCreate(std::optional<long> startChannel, AnswerSink startAnswer);
    void FormDestroy();
    void connectControls();
    void connectPreferences();
    // The pop-up menu, the check mark and Esc follow the full-screen state.
    void fullScreenChanged(bool fullScreen);
    void sessionChanged(SessionChange what);
    void fillChannelView();
    void showChannelSelection();
    void fillPreferences();
    void SetTrayHint();
    void BalloonhintTimerTimer();
    void Restore1Click();
    void CoolTrayIcon1DblClick();
    void minimiseToTray();
    // Runs a control's handler; what it throws goes to the error handler
    // here, never through Qt's signal frames.
    template <class Handler> auto guarded(Handler handler);

    QelApplication& app_;
    ErrorHandler errorHandler_;
    std::unique_ptr<TvSession> session_;
    MainWindowUi ui_;
    ChannelsPageView autoTuneView_{*this, ui_.autoTune};
    VideoWindow* VideoWindow_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QTimer BalloonhintTimer_;
    QString trayHint_;
    // Set while the window fills its controls from the session, so their
    // change signals do not act as a person's choice.
    bool filling_ = false;
    // A close asked for during a scan: the scan ends first, then the window
    // closes.
    bool closeAfterAutoTune_ = false;
};

} // namespace qeltv
