// The "Channels" page: the channel list and the quick channel box as views
// of the session's channels, the auto-tune controls under the list, and the
// page as the view of a running scan.
#pragma once

#include "capture/AutoTuneScan.h"

class QBoxLayout;
class QComboBox;
class QTreeWidget;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QWidget;

namespace qeltv {

class ErrorHandler;
class TfrmMain;
class TvSession;
struct MainWindowUi;

struct AutoTuneControls {
    static constexpr int kFrequencyFontPoints = 12;

    QPushButton* btnAutoTune = nullptr;
    QLabel* lblTuningMode = nullptr;
    QRadioButton* rbCableGrid = nullptr;
    QRadioButton* rbContinuousFrequencies = nullptr;
    QLabel* lblFrequency = nullptr;
    QProgressBar* ProgressBar1 = nullptr;

    // Builds the controls into the page's layout, "Cable grid" checked.
    void setupUi(QWidget* page, QBoxLayout* layout);
};

class ChannelsPageView : public AutoTuneView {
public:
    ChannelsPageView(QWidget& window, const AutoTuneControls& controls)
        : window_(window), controls_(controls) {}

    // The scan the radio buttons choose.
    AutoTuneMode mode() const;

    Answer askYesNoCancel(const QString& text) override;
    void showScanRunning(bool running) override;
    void showAborting() override;
    void setProgressRange(long minimum, long maximum) override;
    void setProgress(long value) override;
    void showFrequency(long frequency_hz) override;
    void repaintWindow() override;
    void processPendingEvents() override;

private:
    QWidget& window_;
    const AutoTuneControls& controls_;
};

// The channel controls' connections and what they show.
class ChannelsPage {
public:
    ChannelsPage(TfrmMain& window, const MainWindowUi& ui, TvSession& session,
                 ErrorHandler& errors);

    void connectControls();
    // The list's rows and the quick channel box's entries, then the
    // selection.
    void showChannels();
    // The highlighted row and the quick channel entry.
    void showSelection();
    // The channel name dialog for the selected row; renames on OK.
    void renameSelected();
    // The auto-tune button: aborts the running scan, else starts the chosen
    // one and returns once it has ended.
    void autoTune();

private:
    TfrmMain& window_;
    const MainWindowUi& ui_;
    TvSession& session_;
    ErrorHandler& errors_;
    ChannelsPageView scanView_;
    // Set while the page fills its controls, so their change signals do not
    // act as a person's choice.
    bool filling_ = false;
};

} // namespace qeltv
