#include "capture/AutoTuneScan.h"

#include <exception>
#include <set>

namespace qeltv {

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
        view_.setProgress(channel);
        view_.showFrequency(frequency_hz);
        // An abort seen in the last step's events ends the scan after this
        // one.
        if (!tag_)
            break;
        view_.repaintWindow();
        view_.processPendingEvents();
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
        view_.setProgress(static_cast<long>(frequency_hz / kHertzPerMegahertz));
        view_.showFrequency(static_cast<long>(frequency_hz));
        view_.repaintWindow();
        view_.processPendingEvents();
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
