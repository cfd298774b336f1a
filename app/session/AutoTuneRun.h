// The auto-tune run of the "Channels" page: one scan at a time, in graph
// mode auto-tuning, ending in preview with the first channel chosen.
#pragma once

#include "app/session/SessionView.h"
#include "capture/AutoTuneScan.h"

#include <functional>

namespace qeltv {

class AutoTuneStore;
class ChannelList;
class ChannelTuning;
class GraphBuilder;
struct Settings;

class AutoTuneRun {
public:
    // `closing` says whether the program is shutting down.
    AutoTuneRun(ChannelList& channels, Settings& settings, AutoTuneStore& store,
                GraphBuilder& graph, ChannelTuning& tuning, SessionView& view, SessionNotify notify,
                std::function<bool()> closing);

    // Asks before a non-empty list is erased, then runs the chosen scan; the
    // picture follows it. Returns once the scan has ended. When the
    // auto-tune store cannot be written, the scan still ends in preview and
    // the failure then goes to the error handler. Nothing while a scan runs.
    void startAutoTune(AutoTuneView& view, AutoTuneMode mode);
    // A scan is in progress, running or aborting.
    bool inProgress() const { return runningScan_ != nullptr; }
    // Stops the running scan at its next check.
    void abortAutoTune();

private:
    ChannelList& channels_;
    Settings& settings_;
    AutoTuneStore& store_;
    GraphBuilder& graph_;
    ChannelTuning& tuning_;
    SessionView& view_;
    SessionNotify notify_;
    std::function<bool()> closing_;
    // The scan in progress, owned by startAutoTune's frame.
    AutoTuneScan* runningScan_ = nullptr;
};

} // namespace qeltv
