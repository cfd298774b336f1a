// The two auto-tune scans of the "Channels" page, which rebuild the channel
// list from what the tuner receives: the cable-grid scan steps through the
// tuner's own channel numbers, the continuous scan steps through 38 to
// 900 MHz and teaches the tuner each frequency through the auto-tune store.
// A scan runs on the GUI thread; it stays responsive by showing its step,
// repainting and taking pending events at a display rate, which is also when
// an abort is seen.
#pragma once

#include "capture/TvTuner.h"
#include "settings/AutoTuneStore.h"
#include "settings/ChannelList.h"

#include <QString>

#include <cstdint>
#include <functional>

namespace qeltv {

// Tuning spaces: the cable-grid scan tunes the plain channel plan, the
// continuous scan the frequencies it wrote to the auto-tune store.
constexpr long kTuningSpaceCableGrid = 0;
constexpr long kTuningSpaceContinuous = 31;
// The continuous scan's sweep, both ends included.
constexpr std::uint32_t kContinuousScanStart_hz = 38'000'000;
constexpr std::uint32_t kContinuousScanEnd_hz = 900'000'000;
constexpr std::uint32_t kContinuousScanStep_hz = 250'000;
constexpr long kContinuousScanSteps =
    (kContinuousScanEnd_hz - kContinuousScanStart_hz) / kContinuousScanStep_hz + 1;
constexpr long kHertzPerMegahertz = 1'000'000;
// A running scan shows its step and takes pending events once this much
// time has passed on the monotonic clock, not at every step: a step of the
// tuner costs microseconds, a pass through the window a millisecond or more.
// 25 passes a second keep the bar and the label moving and answer "&Abort",
// relayed commands and the picture well within 100 ms.
constexpr long kScanDisplayInterval_ms = 40;

// The radio buttons "Cable grid" and "Continuous frequencies".
enum class AutoTuneMode { CableGrid, ContinuousFrequencies };

// What a scan shows, and how it keeps the program responsive; the Channels
// page implements it.
class AutoTuneView {
public:
    enum class Answer { Yes, No, Cancel };

    virtual ~AutoTuneView() = default;
    // The warning before a non-empty list is erased.
    virtual Answer askYesNoCancel(const QString& text) = 0;
    // "&Abort" while a scan runs; "&AutoTune" and enabled once it has ended.
    virtual void showScanRunning(bool running) = 0;
    // Abort pressed: the button stays disabled until the scan's next check.
    virtual void showAborting() = 0;
    virtual void setProgressRange(long minimum, long maximum) = 0;
    virtual void setProgress(long value) = 0;
    // The frequency label, in MHz.
    virtual void showFrequency(long frequency_hz) = 0;
    // At each display of a step, after its progress and frequency: the
    // window is repainted, then pending events are taken (the abort press,
    // relayed commands, the picture).
    virtual void repaintWindow() = 0;
    virtual void processPendingEvents() = 0;
};

// "%8.2f" of the frequency in MHz.
QString FrequencyLabelText(long frequency_hz);

// One scan from start to end. The tag of the "&AutoTune" button lives here:
// set while the scan runs, cleared by abort().
class AutoTuneScan {
public:
    // channelsChanged runs after the list was emptied and after each channel
    // found, so the list view follows the scan. The view shows a step (its
    // progress and frequency, a repaint and the pending events) when
    // kScanDisplayInterval_ms has passed since the last one shown, the first
    // step at once, and always the scan's last step.
    AutoTuneScan(AutoTuneView& view, std::function<void()> channelsChanged);

    // Whether the tag is set.
    bool running() const { return tag_; }
    // Clears the tag and disables the button; the scan stops at its next
    // check and enables the button again.
    void abort();

    // Every channel found is named "Noname"; tuningSpace is the
    // "TuningSpace" setting, set to the scan's tuning space.
    void CableGridScan(TvTuner& tuner, ChannelList& channels, std::int32_t& tuningSpace);
    // The store is changed in memory, where the tuner reloads its overrides,
    // and its file is written once, atomically, when the scan ends (aborted
    // or not). When that write fails, the scan still ends (tag cleared,
    // button back to "&AutoTune") and then throws the RegError.
    void ContinuousScan(TvTuner& tuner, AutoTuneStore& store, ChannelList& channels,
                        std::int32_t& tuningSpace);

    // Steps taken by the last scan: channels of the grid, or frequencies.
    long steps() const { return steps_; }

private:
    void started(long minimum, long maximum);
    // The continuous scan's progress (whole MHz) and frequency label.
    void showStep(std::uint32_t frequency_hz);
    void ended();

    AutoTuneView& view_;
    std::function<void()> channelsChanged_;
    bool tag_ = false;
    long steps_ = 0;
};

} // namespace qeltv
