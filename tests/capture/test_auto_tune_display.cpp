// How a running auto-tune scan shows itself: its step at a display rate
// rather than at every step, always ending on the last step tried, the
// channels found at once, and the pending events that carry an abort taken
// often enough to stop the scan within a display interval's worth of steps.
// The scans run on the Virtual TV Card's tuner, each tune slowed down as a
// real card's tuner settles, so that a scan lasts long enough for the
// display clock to matter; a real event loop delivers the abort.
#include "capture/AutoTuneScan.h"
#include "capture/VirtualTuner.h"
#include "tests/settings/TempDir.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

using namespace qeltv;
using namespace qeltv::test;

namespace {

// What the view was asked to do, and at which step of the scan.
struct Shown {
    enum Kind { Progress, Frequency, Repaint, Events };
    Kind kind;
    long value;
    long step;
};

struct CountingView : AutoTuneView {
    const AutoTuneScan* scan = nullptr;
    std::vector<Shown> log;
    std::vector<bool> running;
    int abortingShown = 0;

    Answer askYesNoCancel(const QString&) override { return Answer::Yes; }
    void showScanRunning(bool r) override { running.push_back(r); }
    void showAborting() override { ++abortingShown; }
    void setProgressRange(long, long) override {}
    void setProgress(long value) override { log.push_back({Shown::Progress, value, step()}); }
    void showFrequency(long f) override { log.push_back({Shown::Frequency, f, step()}); }
    void repaintWindow() override { log.push_back({Shown::Repaint, 0, step()}); }
    void processPendingEvents() override {
        log.push_back({Shown::Events, 0, step()});
        QCoreApplication::processEvents();
    }

    long step() const { return scan->steps(); }
    int count(Shown::Kind kind) const {
        int n = 0;
        for (const Shown& s : log)
            n += s.kind == kind ? 1 : 0;
        return n;
    }
    // The last value shown of a kind.
    long last(Shown::Kind kind) const {
        for (auto it = log.rbegin(); it != log.rend(); ++it)
            if (it->kind == kind)
                return it->value;
        return -1;
    }
};

// The Virtual TV Card with its tuner and a store of its own; every tune
// takes at least `perTune` (a real tuner settles for milliseconds).
struct SlowCard {
    TempDir dir;
    RegFile machine{(dir / "HKEY_LOCAL_MACHINE.reg").string(), "HKEY_LOCAL_MACHINE"};
    AutoTuneStore store{machine};
    VirtualTvCard card;
    VirtualTuner tuner{card, store};
    ChannelList channels;
    std::int32_t tuningSpace = -1;
    std::function<void(std::uint32_t)> onTune;
    std::uint32_t lastTuned_hz = 0;

    explicit SlowCard(std::chrono::microseconds perTune) {
        card.addListener([this, perTune] {
            const std::uint32_t tuned = card.frequency();
            if (tuned == lastTuned_hz)
                return;
            lastTuned_hz = tuned;
            std::this_thread::sleep_for(perTune);
            if (onTune)
                onTune(tuned);
        });
    }
};

constexpr std::chrono::microseconds kContinuousTune{100};
constexpr std::chrono::microseconds kGridTune{1000};

// The most steps of a scan between two passes through the view when each
// step takes at least one tune of `perTune`.
long StepsPerDisplayInterval(std::chrono::microseconds perTune) {
    return static_cast<long>(
               std::chrono::microseconds(std::chrono::milliseconds(kScanDisplayInterval_ms)) /
               perTune) +
           1;
}

void PostAbort(AutoTuneScan& scan, long& seenAtStep) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [&scan, &seenAtStep] {
            seenAtStep = scan.steps();
            scan.abort();
        },
        Qt::QueuedConnection);
}

} // namespace

// A whole continuous scan: far fewer passes through the view than steps, yet
// at least ten for each second the scan takes at the least; each pass shows
// the step's progress and frequency, repaints and takes the pending events;
// the last pass shows the last step. The list hears of each channel found
// when it is found, not at the next pass.
TEST(AutoTuneDisplay, ContinuousScanShowsItsStepsAtADisplayRateAndEndsOnTheLast) {
    SlowCard f(kContinuousTune);
    CountingView view;
    std::vector<std::size_t> listSizes;
    AutoTuneScan scan(view, [&] { listSizes.push_back(f.channels.size()); });
    view.scan = &scan;
    scan.ContinuousScan(f.tuner, f.store, f.channels, f.tuningSpace);

    ASSERT_EQ(scan.steps(), kContinuousScanSteps);
    const int passes = view.count(Shown::Events);
    const long leastScan_ms = kContinuousScanSteps * kContinuousTune.count() / 1000;
    EXPECT_LE(passes, kContinuousScanSteps / 10);
    EXPECT_GE(passes, 1 + leastScan_ms / 100) << leastScan_ms << " ms at the least";

    // Passes of four, in order, each for one step, moving up the band.
    ASSERT_EQ(view.log.size(), static_cast<std::size_t>(4 * passes));
    long previous = 0;
    for (std::size_t i = 0; i < view.log.size(); i += 4) {
        const Shown& progress = view.log[i];
        const Shown& frequency = view.log[i + 1];
        ASSERT_EQ(progress.kind, Shown::Progress) << i;
        ASSERT_EQ(frequency.kind, Shown::Frequency) << i;
        ASSERT_EQ(view.log[i + 2].kind, Shown::Repaint) << i;
        ASSERT_EQ(view.log[i + 3].kind, Shown::Events) << i;
        EXPECT_EQ(frequency.step, progress.step);
        EXPECT_EQ(view.log[i + 3].step, progress.step);
        EXPECT_EQ(frequency.value,
                  kContinuousScanStart_hz +
                      (progress.step - 1) * static_cast<long>(kContinuousScanStep_hz));
        EXPECT_EQ(progress.value, frequency.value / kHertzPerMegahertz);
        EXPECT_GT(progress.step, previous);
        previous = progress.step;
    }
    EXPECT_EQ(view.log.front().step, 1);
    EXPECT_EQ(view.log.front().value, 38);
    EXPECT_EQ(view.log.back().step, kContinuousScanSteps);
    EXPECT_EQ(view.last(Shown::Progress), 900);
    EXPECT_EQ(view.last(Shown::Frequency), 900'000'000);

    const std::size_t stations = VirtualTvCard::stations().size();
    ASSERT_EQ(f.channels.size(), stations);
    std::vector<std::size_t> expectedSizes;
    for (std::size_t n = 0; n <= stations; ++n)
        expectedSizes.push_back(n);
    EXPECT_EQ(listSizes, expectedSizes);
    EXPECT_EQ(view.running, (std::vector<bool>{true, false}));
}

// "&Abort" arriving as a pending event is taken at the next pass, within a
// display interval's worth of steps: the continuous scan stops before its
// next step, the grid scan completes one more channel and shows it; each
// ends on the last step tried. An abort that comes between two passes (from
// the list's update) still leaves the bar and label on the last step tried.
TEST(AutoTuneDisplay, AbortFromAPendingEventStopsWithinADisplayInterval) {
    {
        SlowCard f(kContinuousTune);
        CountingView view;
        AutoTuneScan scan(view, {});
        view.scan = &scan;
        constexpr std::uint32_t kPressedAt_hz = 200'000'000;
        long postedAtStep = 0, seenAtStep = 0;
        f.onTune = [&](std::uint32_t tuned) {
            if (tuned == kPressedAt_hz && postedAtStep == 0) {
                postedAtStep = scan.steps();
                PostAbort(scan, seenAtStep);
            }
        };
        scan.ContinuousScan(f.tuner, f.store, f.channels, f.tuningSpace);
        ASSERT_GT(postedAtStep, 0);
        ASSERT_GE(seenAtStep, postedAtStep);
        EXPECT_LE(seenAtStep - postedAtStep, StepsPerDisplayInterval(kContinuousTune));
        EXPECT_EQ(scan.steps(), seenAtStep);
        EXPECT_EQ(view.abortingShown, 1);
        EXPECT_EQ(view.log.back().kind, Shown::Events);
        EXPECT_EQ(view.log.back().step, seenAtStep);
        EXPECT_EQ(view.last(Shown::Frequency),
                  kContinuousScanStart_hz +
                      (seenAtStep - 1) * static_cast<long>(kContinuousScanStep_hz));
        EXPECT_EQ(view.running, (std::vector<bool>{true, false}));
        // The store holds the last step tried, under the next channel number.
        EXPECT_EQ(f.store.entries(kTuningSpaceContinuous).back().second,
                  view.last(Shown::Frequency));
    }
    {
        SlowCard f(kGridTune);
        CountingView view;
        AutoTuneScan scan(view, {});
        view.scan = &scan;
        const std::uint32_t channel13_hz =
            ChannelTable(kCountryCodeWesternEurope, TunerInputType::Cable).at(12).frequency_hz;
        long postedAtStep = 0, seenAtStep = 0;
        f.onTune = [&](std::uint32_t tuned) {
            if (tuned == channel13_hz && postedAtStep == 0) {
                postedAtStep = scan.steps();
                PostAbort(scan, seenAtStep);
            }
        };
        scan.CableGridScan(f.tuner, f.channels, f.tuningSpace);
        long minimum = 0, maximum = 0;
        f.tuner.ChannelMinMax(minimum, maximum);
        ASSERT_EQ(postedAtStep, 13 - minimum + 1);
        ASSERT_GE(seenAtStep, postedAtStep);
        EXPECT_LE(seenAtStep - postedAtStep, StepsPerDisplayInterval(kGridTune));
        ASSERT_LT(seenAtStep, maximum - minimum + 1) << "seen only once the grid was done";
        EXPECT_EQ(scan.steps(), seenAtStep + 1);
        // The step after the abort is shown, and the scan leaves without
        // another pass.
        ASSERT_GE(view.log.size(), 2u);
        const Shown& progress = view.log[view.log.size() - 2];
        EXPECT_EQ(progress.kind, Shown::Progress);
        EXPECT_EQ(progress.value, minimum + seenAtStep);
        EXPECT_EQ(view.log.back().kind, Shown::Frequency);
        long tuned_hz = 0;
        f.tuner.get_VideoFrequency(tuned_hz);
        EXPECT_EQ(view.log.back().value, tuned_hz);
        EXPECT_EQ(view.running, (std::vector<bool>{true, false}));
    }
    {
        SlowCard f(kContinuousTune);
        CountingView view;
        std::unique_ptr<AutoTuneScan> scan;
        long abortedAtStep = 0;
        scan = std::make_unique<AutoTuneScan>(view, [&] {
            if (f.channels.size() == 3) {
                abortedAtStep = scan->steps();
                scan->abort();
            }
        });
        view.scan = scan.get();
        scan->ContinuousScan(f.tuner, f.store, f.channels, f.tuningSpace);
        ASSERT_GT(abortedAtStep, 0);
        EXPECT_EQ(scan->steps(), abortedAtStep);
        EXPECT_EQ(f.channels.size(), 3u);
        const long tried_hz = kContinuousScanStart_hz +
                              (abortedAtStep - 1) * static_cast<long>(kContinuousScanStep_hz);
        EXPECT_EQ(view.last(Shown::Frequency), tried_hz);
        EXPECT_EQ(view.last(Shown::Progress), tried_hz / kHertzPerMegahertz);
    }
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
