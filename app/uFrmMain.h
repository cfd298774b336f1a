// The main window: a view of the session core. It builds the controls,
// turns each control event into one call of the core, and shows what the
// core reports. The window owns the core, and the core everything else.
#pragma once

#include "app/ChannelsPage.h"
#include "app/ErrorHandler.h"
#include "app/MainWindowUi.h"
#include "app/Paths.h"
#include "app/PreferencesPage.h"
#include "app/SchedulesPage.h"
#include "app/SingleInstance.h"
#include "app/TrayIcon.h"
#include "app/VideoWindow.h"
#include "app/WebOptionsPage.h"
#include "app/session/TvSession.h"

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

    // Control events. The handlers of the window's own controls act here;
    // the pages' handlers are one call into their page or the session.
    void lstChannelsClick() { session_->tuning().chooseSelectedChannel(); }
    void btPreviousChapterClick() { session_->tuning().firstChannel(); }
    void btRewindClick() { session_->tuning().previousChannel(); }
    void btFastForwardClick() { session_->tuning().nextChannel(); }
    void btNextChapterClick() { session_->tuning().lastChannel(); }
    void cmbQuickChannelChange(int index) { session_->tuning().chooseQuickChannel(index); }
    // Renames the selected channel.
    void lstChannelsDblClick() { channelsPage_.renameSelected(); }
    void btRecClick() { session_->record(); }
    void btPauseClick() { session_->pause(); }
    void btPlayClick() { session_->play(); }
    void btStopClick() { session_->stop(); }
    void StartWebcast1Click();
    void btnStartWebserverClick() { webOptionsPage_.startServer(); }
    void btnStopWebserverClick() { webOptionsPage_.stopServer(); }
    void btFrameStepClick();
    // Starts the chosen scan, or aborts the running one.
    void btnAutoTuneClick();
    // Full screen on or off (ToggleFullScreen); the toolbar button and a
    // double-click on the picture do the same, "Exit Fullscreen" only while
    // full screen.
    void Fullscreen1Click() { session_->ToggleFullScreen(); }
    void btFullScreenClick() { Fullscreen1Click(); }
    void VideoWindowDblClick();
    void ExitFullscreen1Click() { session_->ExitFullScreen(); }
    // The item's check mark, toggled by its click, becomes the option.
    void Keepaspectratio1Click();
    // "Add schedule": the same as the "Add new schedule" button.
    void btRootMenuClick();
    // The schedule dialog; on OK its values become a task.
    void btnAddScheduleClick() { schedulesPage_.addSchedule(); }
    void btnRefreshClick() { session_->schedules().refreshSchedules(); }
    // The schedule list's pop-up menu, on the selected row's task; nothing
    // without a selected row.
    void Startnow1Click() { schedulesPage_.startSelectedNow(); }
    void Delete1Click() { schedulesPage_.deleteSelected(); }
    void Edit1Click() { schedulesPage_.editSelected(); }
    void Notebook1PageChanged(int page);
    // The keys the window sees before the focused control: Esc leaves full
    // screen, F12 shows the tuner's property pages.
    void FormKeyDown(int key);
    // The tuner's property pages; nothing without a tuner.
    void ShowTunerPropertyPages() { session_->preferences().configureTuner(); }
    void UpdateControls() override;

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
    // The configuration dialogs are the Preferences page's.
    void showCaptureDeviceProperties(Filter& f) override { preferencesPage_.showDeviceDialog(f); }
    void showAudioDeviceProperties(Filter& f) override { preferencesPage_.showAudioDialog(f); }
    void showCompressorProperties(Filter& f) override { preferencesPage_.showCompressorDialog(f); }
    void showCrossbarProperties(Crossbar& c) override { preferencesPage_.showCrossbarDialog(c); }
    void showTunerProperties(TvTuner& t) override { preferencesPage_.showTunerDialog(t); }
    void showVideoFormat(Pin& pin) override { preferencesPage_.showVideoFormatDialog(pin); }

    // The Preferences page: the lists' changes and the buttons, each one
    // call into the session; the browse button only fills the box.
    void cmbVideoCapDevChange(int i) { session_->preferences().chooseVideoCaptureDevice(i); }
    void cmbCompressionFiltersChange(int i) { session_->preferences().chooseVideoCompressor(i); }
    void cmbAudioCapDevChange(int i) { session_->preferences().chooseAudioCaptureDevice(i); }
    void cmbAudioCompressionFiltersChange(int i) {
        session_->preferences().chooseAudioCompressor(i);
    }
    void cmbAudioCompressionFormatChange(int i) { session_->preferences().chooseAudioFormat(i); }
    void cmbInputLinesChange(int i) { session_->preferences().chooseInputLine(i); }
    void btnVideoCapConfigureClick() { session_->preferences().configureVideoCaptureDevice(); }
    void btnPreviewFormatClick() { session_->preferences().configurePreviewFormat(); }
    void btnCaptureFormatClick() { session_->preferences().configureCaptureFormat(); }
    void btnCrossbarClick() { session_->preferences().configureCrossbar(); }
    void btnCompressConfigClick() { session_->preferences().configureVideoCompressor(); }
    void btnAudioCapDevConfigureClick() { session_->preferences().configureAudioCaptureDevice(); }
    void SpeedButton1Click() { preferencesPage_.browseCaptureFile(); }

    // What the tests and the relay look at.
    GraphMode graphMode() const { return session_->graphMode(); }
    GraphBuilder& graphBuilder() { return session_->graphBuilder(); }
    VideoWindow* videoWindow() const { return VideoWindow_; }
    VirtualTvCard& virtualCard() { return session_->virtualCard(); }
    const Settings& settings() const { return session_->settings(); }
    const ChannelList& channels() const { return session_->channels(); }
    long currentChannel() const { return session_->currentChannel(); }
    QString trayHint() const { return tray_->hint(); }
    QString quickChannelText() const { return session_->tuning().quickChannelText(); }
    ErrorHandler& errorHandler() { return errorHandler_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void FormCreate(std::optional<long> startChannel, AnswerSink startAnswer);
    void FormDestroy();
    void connectControls();
    // The pop-up menu, the check mark and Esc follow the full-screen state.
    void fullScreenChanged(bool fullScreen);
    void sessionChanged(SessionChange what);
    void SetTrayHint();
    void Restore1Click();
    void CoolTrayIcon1DblClick();
    void minimiseToTray();
    // A slot that runs a handler of the window, guarded.
    auto handler(void (TfrmMain::*handler)());

    QelApplication& app_;
    ErrorHandler errorHandler_;
    std::unique_ptr<TvSession> session_;
    MainWindowUi ui_;
    ChannelsPage channelsPage_{*this, ui_, *session_, errorHandler_};
    SchedulesPage schedulesPage_{*this, ui_, *session_, errorHandler_};
    PreferencesPage preferencesPage_{*this, ui_, *session_, errorHandler_};
    WebOptionsPage webOptionsPage_{*this, ui_, *session_, errorHandler_};
    VideoWindow* VideoWindow_ = nullptr;
    TrayIcon* tray_ = nullptr;
    // A close asked for during a scan: the scan ends first, then the window
    // closes.
    bool closeAfterAutoTune_ = false;
};

} // namespace qeltv
