#include "app/session/AutoTuneRun.h"

#include "app/Logging.h"
#include "app/session/ChannelTuning.h"
#include "capture/GraphBuilder.h"
#include "capture/TvTuner.h"
#include "settings/AutoTuneStore.h"
#include "settings/ChannelList.h"
#include "settings/RegStore.h"
#include "settings/Settings.h"

#include <optional>

namespace qeltv {

namespace {
constexpr const char* kEraseChannelsQuestion =
    "Autotune will erase the list of current channels, and starts tuning \r\nfor tv channels "
    "from scratch. Are you sure you want to continue ?";
} // namespace

AutoTuneRun::AutoTuneRun(ChannelList& channels, Settings& settings, AutoTuneStore& store,
                         GraphBuilder& graph, ChannelTuning& tuning, SessionView& view,
                         SessionNotify notify, std::function<bool()> closing)
    : channels_(channels), settings_(settings), store_(store), graph_(graph), tuning_(tuning),
      view_(view), notify_(std::move(notify)), closing_(std::move(closing)) {}

void AutoTuneRun::abortAutoTune() {
    if (runningScan_ && runningScan_->running())
        runningScan_->abort();
}

void AutoTuneRun::startAutoTune(AutoTuneView& view, AutoTuneMode mode) {
    if (runningScan_ || closing_())
        return;
    if (!channels_.empty() &&
        view.askYesNoCancel(kEraseChannelsQuestion) != AutoTuneView::Answer::Yes)
        return;
    // The window may have been closed while the question was open.
    TvTuner* tuner = graph_.tuner();
    if (closing_() || !tuner)
        return;
    // The preview keeps running: the picture follows the scan.
    graph_.setMode(GraphMode::AutoTuning);
    view_.UpdateControls();
    AutoTuneScan scan(view, [this] {
        tuning_.resetQuickChannel();
        notify_(SessionChange::Channels);
    });
    runningScan_ = &scan;
    std::optional<QString> failure;
    try {
        if (mode == AutoTuneMode::CableGrid)
            scan.CableGridScan(*tuner, channels_, settings_.TuningSpace);
        else
            scan.ContinuousScan(*tuner, store_, channels_, settings_.TuningSpace);
    } catch (const RegError& e) {
        // Reported once the program is back in preview.
        failure = "Auto-tune store not written: " + QString::fromUtf8(e.what());
    } catch (const std::exception& e) {
        failure = QString::fromUtf8(e.what());
    }
    runningScan_ = nullptr;
    qCDebug(lcApp) << "auto-tune ended after" << scan.steps() << "steps," << channels_.size()
                   << "channels";
    view.setProgress(0);
    if (!channels_.empty()) {
        channels_.selectFirst();
        tuning_.chooseSelectedChannel();
    }
    tuning_.resetQuickChannel();
    notify_(SessionChange::Channels);
    graph_.setMode(GraphMode::Preview);
    view_.UpdateControls();
    if (failure)
        view_.reportError(*failure);
}

} // namespace qeltv
