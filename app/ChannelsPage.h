// The auto-tune controls of the "Channels" page, under the channel list, and
// the page as the view of a running scan.
#pragma once

#include "capture/AutoTuneScan.h"

class QBoxLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QWidget;

namespace qeltv {

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

} // namespace qeltv
