#include "capture/AutoTuneScan.h"

#include <QElapsedTimer>

#include <exception>
#include <set>

namespace qeltv {

namespace {

// When a running scan next shows its step: the first step at once, then once
// per display interval by the monotonic clock.
class DisplayPace {
public:
    bool due() const {
        return !lastShown_.isValid() || lastShown_.hasExpired(kScanDisplayInterval_ms);
    }
    void shown() { lastShown_.start(); }

private:
    QElapsedTimer lastShown_;
};

} // namespace

QString FrequencyLabelText(long frequency_hz) {
    return QString::asprintf("%8.2f", static_cast<double>(frequency_hz) / kHertzPerMegahertz);
}

AutoTuneScan::AutoTuneScan(AutoTuneView& view, std::function<void()> channelsChanged)
    : view_(view), channelsChanged_(std::move(channelsChanged)) {}

void AutoTuneScan::abort() {
    tag_ = false;
    view_.showAborting();
}

void AutoTuneScan::started(long minimum, long maximum) {
    tag_ = true;
    steps_ = 0;
    view_.showScanRunning(true);
    view_.setProgressRange(minimum, maximum);
}

void AutoTuneScan::showStep(std::uint32_t frequency_hz) {
    view_.setProgress(static_cast<long>(frequency_hz / kHertzPerMegahertz));
    view_.showFrequency(static_cast<long>(frequency_hz));
}

void AutoTuneScan::ended() {
    tag_ = false;
    view_.showScanRunning(false);
}

void AutoTuneScan::CableGridScan(TvTuner& tuner, ChannelList& channels, std::int32_t& tuningSpace) {
    channels.clear();
    if (channelsChanged_)
        channelsChanged_();
    tuningSpace = kTuningSpaceCableGrid;
    tuner.put_TuningSpace(kTuningSpaceCableGrid);
    tuner.put_CountryCode(kCountryCodeWesternEurope);
    long minimum = 0;
    long maximum = 0;
    tuner.ChannelMinMax(minimum, maximum);
    started(minimum, maximum);
    DisplayPace pace;
    for (long channel = minimum; channel <= maximum; ++channel) {
        ++steps_;
        tuner.put_Channel(channel, kSubChannelDefault, kSubChannelDefault);
        long strength = kSignalNone;
        tuner.SignalPresent(strength);
        long frequency_hz = 0;
        tuner.get_VideoFrequency(frequency_hz);
        if (strength != kSignalNone) {
            channels.addNew(channel, frequency_hz);
            if (channelsChanged_)
                channelsChanged_();
        }
        // The last step, aborted or not, is always shown.
        const bool display = !tag_ || channel == maximum || pace.due();
        if (display) {
            view_.setProgress(channel);
            view_.showFrequency(frequency_hz);
        }
        // An abort seen in the last pass's events ends the scan after this
        // step.
        if (!tag_)
            break;
        if (display) {
            view_.repaintWindow();
            view_.processPendingEvents();
            pace.shown();
        }
    }
    ended();
}

void AutoTuneScan::ContinuousScan(TvTuner& tuner, AutoTuneStore& store, ChannelList& channels,
                                  std::int32_t& tuningSpace) {
    channels.clear();
    if (channelsChanged_)
        channelsChanged_();
    // Video frequencies already turned into channels: neighbouring steps
    // that settle on one station give one channel.
    std::set<long> foundFrequencies;
    store.clear(kTuningSpaceContinuous);
    started(kContinuousScanStart_hz / kHertzPerMegahertz,
            kContinuousScanEnd_hz / kHertzPerMegahertz);
    long next = 1;
    tuningSpace = kTuningSpaceContinuous;
    tuner.put_TuningSpace(kTuningSpaceContinuous);
    tuner.put_CountryCode(kCountryCodeWesternEurope);
    DisplayPace pace;
    // The last step tried, and whether the view shows it.
    std::uint32_t tried_hz = 0;
    bool triedShown = true;
    for (std::uint32_t frequency_hz = kContinuousScanStart_hz;
         frequency_hz <= kContinuousScanEnd_hz && tag_; frequency_hz += kContinuousScanStep_hz) {
        ++steps_;
        store.set(kTuningSpaceContinuous, next, static_cast<std::int32_t>(frequency_hz));
        // The tuner reloads its table, so `next` now stands for this step.
        tuner.put_CountryCode(kCountryCodeWesternEurope);
        tuner.put_Channel(next, kSubChannelDefault, kSubChannelDefault);
        long strength = kSignalNone;
        tuner.SignalPresent(strength);
        if (strength != kSignalNone) {
            long found = 0;
            tuner.AutoTune(next, found);
            if (found > 0) {
                long video_hz = 0;
                tuner.get_VideoFrequency(video_hz);
                if (foundFrequencies.insert(video_hz).second) {
                    channels.addNew(next, video_hz);
                    ++next;
                    if (channelsChanged_)
                        channelsChanged_();
                }
            }
        }
        tried_hz = frequency_hz;
        triedShown = frequency_hz > kContinuousScanEnd_hz - kContinuousScanStep_hz || pace.due();
        if (triedShown) {
            showStep(frequency_hz);
            view_.repaintWindow();
            view_.processPendingEvents();
            pace.shown();
        }
    }
    // Stopped between two passes: the bar and the label still end on the
    // last step tried.
    if (!triedShown) {
        showStep(tried_hz);
        view_.repaintWindow();
    }
    // One write for the whole scan; the scan ends even when it fails.
    std::exception_ptr failure;
    try {
        store.save();
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    ended();
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace qeltv
