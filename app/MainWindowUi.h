// The main window's controls: built once, named as the handlers refer to
// them, and wired by TfrmMain. Nothing here holds state of the session.
#pragma once

#include "app/ChannelsPage.h"
#include "app/SchedulesPage.h"
#include "app/WebOptionsPage.h"

class QAction;
class QBoxLayout;
class QComboBox;
class QLabel;
class QLineEdit;
class QMainWindow;
class QMenu;
class QPushButton;
class QTabWidget;
class QToolBar;
class QTreeWidget;
class QWidget;

namespace qeltv {

enum MainPage { PageVideo = 0, PageChannels, PageSchedules, PagePreferences, PageWebOptions };

struct MainWindowUi {
    static constexpr int kQuickChannelWidth = 164;
    // Small enough that every toolbar item fits at the design width.
    static constexpr int kToolBarIconSize = 16;
    static constexpr int kBackCaptionPointSize = 8;

    QTabWidget* Notebook1 = nullptr;
    QLabel* pnlBack = nullptr;
    QToolBar* ToolBar1 = nullptr;
    QAction* btPreviousChapter = nullptr;
    QAction* btRewind = nullptr;
    QAction* btRec = nullptr;
    QAction* btPause = nullptr;
    QAction* btPlay = nullptr;
    QAction* btStop = nullptr;
    QAction* btFastForward = nullptr;
    QAction* btNextChapter = nullptr;
    QAction* btFullScreen = nullptr;
    QAction* btRootMenu = nullptr;
    QAction* btFrameStep = nullptr;
    QComboBox* cmbQuickChannel = nullptr;
    QAction* ToolButton1 = nullptr;
    QTreeWidget* lstChannels = nullptr;
    QAction* Edit2 = nullptr;
    // Under the channel list: the auto-tune button, mode and progress.
    AutoTuneControls autoTune;
    // The schedule list, its pop-up menu and buttons.
    ScheduleControls schedules;
    QComboBox* cmbVideoCapDev = nullptr;
    QComboBox* cmbCompressionFilters = nullptr;
    QLineEdit* edCapFile = nullptr;
    QComboBox* cmbAudioCapDev = nullptr;
    QComboBox* cmbInputLines = nullptr;
    QComboBox* cmbAudioCompressionFilters = nullptr;
    QComboBox* cmbAudioCompressionFormat = nullptr;
    QPushButton* btnVideoCapConfigure = nullptr;
    QPushButton* btnPreviewFormat = nullptr;
    QPushButton* btnCaptureFormat = nullptr;
    QPushButton* btnCrossbar = nullptr;
    QPushButton* btnCompressConfig = nullptr;
    QPushButton* SpeedButton1 = nullptr; // browse for the capture file
    QPushButton* btnAudioCapDevConfigure = nullptr;
    // The "Web options" page's layout, its groups one under the other.
    QBoxLayout* webOptionsLayout = nullptr;
    WebcastOptionsControls webcast;
    WebServerControls webServer;
    QAction* Exit1 = nullptr;
    QAction* Keepaspectratio1 = nullptr;
    QAction* Fullscreen1 = nullptr;
    QAction* StartWebcast1 = nullptr;
    // The video window's pop-up menu while it is full screen.
    QMenu* PopupMenu1 = nullptr;
    QAction* ExitFullscreen1 = nullptr;
    // The keys the window sees before the focused control: Esc and F12.
    QAction* EscapeKey = nullptr;
    QAction* F12Key = nullptr;
    QAction* About1 = nullptr;
    QMenu* trayMenu = nullptr;
    QAction* Restore1 = nullptr;
    QAction* Close1 = nullptr;

    // Builds the pages, toolbar, menus and the tray menu into the window.
    void setupUi(QMainWindow* window);

    QWidget* page(MainPage page) const;
};

} // namespace qeltv
