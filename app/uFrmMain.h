// The main window: owns every long-lived object of the first instance, runs
// the start-up sequence when created and the shutdown sequence when closed.
#pragma once

#include "app/Commands.h"
#include "app/ErrorHandler.h"
#include "app/Paths.h"
#include "app/SingleInstance.h"
#include "capture/Devices.h"
#include "capture/FilterObject.h"
#include "capture/GraphBuilder.h"
#include "capture/VirtualTvCard.h"
#include "settings/AutoTuneStore.h"
#include "settings/ChannelList.h"
#include "settings/RegStore.h"
#include "settings/Settings.h"

#include <QMainWindow>
#include <QSystemTrayIcon>
#include <QTimer>
#include <memory>
#include <optional>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QTabWidget;
class QToolBar;
class QToolButton;
class QTreeWidget;

namespace qeltv {

class TvTuner;

class VideoWindow;

class TfrmMain : public QMainWindow, public CommandTarget, public GraphView {
    Q_OBJECT
public:
    static constexpr int kDesignWidth = 459;
    static constexpr int kDesignHeight = 491;
    static constexpr int kBalloonTimeout_ms = 10000;
    static constexpr int kMaxTrayHintLength = 127;

    // startChannel: the first command-line argument by the integer-or-1
    // rule, when there was one. The window takes the instance lock and keeps
    // it until the very end of its shutdown.
    TfrmMain(const Paths& paths, std::optional<long> startChannel,
             std::unique_ptr<InstanceLock> lock, QelApplication& app);
    ~TfrmMain() override;

    // CommandTarget, used by the message hook.
    GraphMode graphMode() const override { return graph_->mode(); }
    void setCurrentChannel(long channel) override;
    void recordCommand() override { btRecClick(); }
    void stopCommand() override { btStopClick(); }
    void playCommand() override { btPlayClick(); }
    void webcastCommand(bool enable) override;
    void showCouldNotStartRecording() override;

    // Channel steps; the web pages hand them to the GUI thread.
    void lstChannelsClick();
    void btPreviousChapterClick(); // first channel
    void btRewindClick();          // previous channel
    void btFastForwardClick();     // next channel
    void btNextChapterClick();     // last channel
    void cmbQuickChannelChange(int index);
    void lstChannelsDblClick(); // rename the selected channel

    // Transport and modes.
    void BuildGraph(GraphMode mode);
    void btRecClick();
    void btPauseClick();
    void btPlayClick();
    void btStopClick();
    void StartWebcast1Click();
    void UpdateControls();

    void ShowBalloon(const QString& title, const QString& text, QSystemTrayIcon::MessageIcon icon,
                     int seconds);

    // The Preferences page's start-up fills.
    void FillVideoCaptureDevices();
    void FillVideoCompressors();
    void FillAudioCaptureDevices();
    void FillAudioCompressors();
    void FillAudioFormats();
    void FillInputLines();

    // GraphView.
    void setBusyCursor(bool busy) override;
    void setBackCaption(const QString& caption) override;
    void setStatusText(const QString& text) override;
    void showMessage(const QString& text) override;
    void showBalloon(const QString& title, const QString& text, int icon, int seconds) override;
    bool videoDevicesListed() const override;
    std::optional<int> selectedInputLine() const override;
    std::optional<MediaType> selectedAudioFormat() const override;
    int webcastPort() const override { return webcastPort_; }
    void reselectAudioCaptureDevice() override;
    void showWarning(const QString& text) override;
    void endProgram() override;

    GraphBuilder& graphBuilder() { return *graph_; }
    VideoWindow* videoWindow() const { return VideoWindow_; }
    VirtualTvCard& virtualCard() { return card_; }

    const Settings& settings() const { return settings_; }
    const ChannelList& channels() const { return channels_; }
    long currentChannel() const { return settings_.CurrentChannel; }
    QString trayHint() const { return trayHint_; }
    QString quickChannelText() const;
    ErrorHandler& errorHandler() { return errorHandler_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override; // the message hook
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void FormCreate();
    void FormDestroy();
    void buildPages();
    void buildMenus();
    void buildTray();
    void LoadSettings();
    void SaveSettings();
    void FillQuickChannelBox();
    void fillChannelView();
    void selectChannelRow(std::optional<std::size_t> index);
    void SetTrayHint();
    void ShowOsdText(const QString& text);
    void bindAndAttach(FilterObject& object, DeviceCategory category, QComboBox* box);
    void BalloonhintTimerTimer();
    void Restore1Click();
    void CoolTrayIcon1DblClick();
    void minimiseToTray();

    Paths paths_;
    std::optional<long> startChannel_;
    std::unique_ptr<InstanceLock> lock_;
    QelApplication& app_;
    ErrorHandler errorHandler_;
    RegFile userStore_;
    RegFile machineStore_;
    AutoTuneStore autoTune_;
    Settings settings_;
    ChannelList channels_;
    VirtualTvCard card_;
    CaptureContext context_{card_, autoTune_};
    DeviceEnumerator devices_;
    std::unique_ptr<GraphBuilder> graph_;
    VideoWindow* VideoWindow_ = nullptr;
    std::vector<MediaType> audioFormats_;
    int webcastPort_ = 8080;
    std::unique_ptr<CommandServer> commandServer_;
    bool shutDown_ = false;
    bool corrupted_ = false;

    // Controls.
    QTabWidget* pages_ = nullptr;
    QLabel* pnlBack_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QAction* btPreviousChapter_ = nullptr;
    QAction* btRewind_ = nullptr;
    QAction* btRec_ = nullptr;
    QAction* btPause_ = nullptr;
    QAction* btPlay_ = nullptr;
    QAction* btStop_ = nullptr;
    QAction* btFastForward_ = nullptr;
    QAction* btNextChapter_ = nullptr;
    QAction* btFrameStep_ = nullptr;
    QAction* ToolButton1_ = nullptr;
    QAction* StartWebcast1_ = nullptr;
    QComboBox* cmbQuickChannel_ = nullptr;
    QTreeWidget* lstChannels_ = nullptr;
    QComboBox* cmbVideoCapDev_ = nullptr;
    QComboBox* cmbCompressionFilters_ = nullptr;
    QComboBox* cmbAudioCapDev_ = nullptr;
    QComboBox* cmbAudioCompressionFilters_ = nullptr;
    QComboBox* cmbAudioCompressionFormat_ = nullptr;
    QComboBox* cmbInputLines_ = nullptr;
    QLineEdit* edCapFile_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QTimer BalloonhintTimer_;
    QString trayHint_;
};

} // namespace qeltv
