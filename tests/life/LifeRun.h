// What every life test shares: the seeded draw of operations, the steps
// taken and the failure report that replays them, the channels that carry a
// station, and the ledger of recordings that checks, after every step, that
// each recording that ended is in the folder exactly once and whole.
#pragma once

#include "capture/FrequencyTable.h"
#include "capture/VirtualTvCard.h"
#include "tests/support/RecordingCheck.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QString>
#include <QThread>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace qeltv::test::life {

using Clock = std::chrono::steady_clock;

inline double SecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// The channel plan every life test tunes: the cable plan of tuning space 31.
constexpr long kTuningSpace = 31;

// The channels of that plan on which the Virtual TV Card has a station: a
// recording there has picture and a tone.
inline std::vector<long> StationChannels() {
    std::vector<long> channels;
    const auto& plan = ChannelTable(kTuningSpace, TunerInputType::Cable);
    for (std::size_t i = 0; i < plan.size(); ++i)
        for (const auto& station : VirtualTvCard::stations())
            if (station.frequency_hz == plan[i].frequency_hz)
                channels.push_back(long(i) + 1);
    return channels;
}

// The frequency of a channel of that plan.
inline std::uint32_t ChannelFrequency_hz(long channel) {
    return ChannelTable(kTuningSpace, TunerInputType::Cable)[std::size_t(channel - 1)].frequency_hz;
}

// A number from the environment (QELTV_LIFE_SEED, QELTV_LIFE_STEPS).
inline std::uint64_t EnvironmentNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    return std::strtoull(text, nullptr, 10);
}

// One operation of a run and its weight in the random draw; `name` is how
// QELTV_LIFE_SKIP names it.
template <class Op> struct Weighted {
    Op op;
    const char* name;
    int weight;
};

// The course of one run: the seeded draw, the steps taken, the failures
// found and the report that replays them.
class Journal {
public:
    // `skipped`: operation names (comma-separated) left out of the draw, to
    // look past a fault that is already known. `driver`: the driver's name
    // for scripts/life-test, empty for the default one.
    Journal(std::uint64_t seed, int steps, std::string skipped, std::string driver)
        : seed_(seed), steps_(steps), skipped_(std::move(skipped)), driver_(std::move(driver)),
          rng_(seed) {}

    std::uint64_t next(std::uint64_t bound) { return rng_() % bound; }
    // A time within [shortest, longest).
    int drawTime_ms(int shortest_ms, int longest_ms) {
        return shortest_ms + int(next(std::uint64_t(longest_ms - shortest_ms)));
    }

    // Whether another step is due; counts it.
    bool nextStep() {
        if (!failure_.empty() || drawn_ >= steps_)
            return false;
        ++drawn_;
        return true;
    }

    // Draws one operation of `table` by weight, among those that `allowed`
    // lets through (the controls the current state enables, say).
    template <class Op, std::size_t N>
    Op draw(
        const Weighted<Op> (&table)[N], Op fallback,
        const std::function<bool(std::type_identity_t<Op>)>& allowed = [](Op) { return true; }) {
        int total = 0;
        for (const auto& w : table)
            total += weight(w, allowed);
        if (total == 0)
            return fallback;
        int pick = int(next(std::uint64_t(total)));
        for (const auto& w : table) {
            if (pick < weight(w, allowed))
                return w.op;
            pick -= weight(w, allowed);
        }
        return fallback;
    }

    // Records a step under the number of the draw it belongs to.
    void step(const std::string& what) {
        taken_.push_back(std::to_string(drawn_) + ". " + what);
        std::printf("life: %s\n", taken_.back().c_str());
        std::fflush(stdout);
    }
    // Progress that is not a step (what a check found).
    static void note(const std::string& what) {
        std::printf("life:    %s\n", what.c_str());
        std::fflush(stdout);
    }

    // Notes a broken invariant; the run stops after the current check, so
    // every problem that one check finds is reported.
    void fail(const std::string& what) {
        if (!failure_.empty())
            failure_ += "\n";
        failure_ += what;
    }
    bool failed() const { return !failure_.empty(); }

    // Empty when every invariant held; else the failure, the steps taken,
    // the command that replays them and `tail` (the program's log, say).
    std::string report(const std::string& tail) const {
        if (failure_.empty())
            return {};
        std::ostringstream out;
        out << "life test failed: seed " << seed_ << ", step " << drawn_ << "\n"
            << failure_ << "\nsteps taken:\n";
        for (const std::string& taken : taken_)
            out << "  " << taken << "\n";
        out << "replay: "
            << (skipped_.empty() ? std::string() : "QELTV_LIFE_SKIP=" + skipped_ + " ")
            << "scripts/life-test " << (driver_.empty() ? "" : driver_ + " ") << seed_ << " "
            << drawn_ << "\n";
        if (!tail.empty())
            out << tail << "\n";
        return out.str();
    }

private:
    template <class Op>
    int weight(const Weighted<Op>& w, const std::function<bool(Op)>& allowed) const {
        const std::string list = "," + skipped_ + ",";
        return list.find(std::string(",") + w.name + ",") == std::string::npos && allowed(w.op)
                   ? w.weight
                   : 0;
    }

    const std::uint64_t seed_;
    const int steps_;
    const std::string skipped_;
    const std::string driver_;
    std::mt19937_64 rng_;
    std::vector<std::string> taken_;
    int drawn_ = 0; // the number of the step being taken
    std::string failure_;
};

// The recordings of one capture folder as the model knows them: the
// finished files seen so far, and the recordings that ended since.
class RecordingLedger {
public:
    // How long a finished recording may take to get its final name.
    static constexpr int kRecordingFinished_ms = 90000;
    static constexpr int kPoll_ms = 50;

    explicit RecordingLedger(QString videosDir) : videosDir_(std::move(videosDir)) {}

    // A recording ended after `recorded_s` of picture and sound.
    void ended(double recorded_s, HeaderDuration header, std::string how) {
        ended_.push_back({recorded_s, header, std::move(how)});
    }

    // The recordings that ended appear, each once and whole; nothing else
    // appears and nothing that was there changes. `recordingRuns`: a
    // recording is in progress (its working file is then expected).
    // `processEvents` runs while waiting, for a program in this process.
    void check(
        bool recordingRuns, Journal& journal, const std::function<void()>& processEvents = [] {}) {
        QElapsedTimer timer;
        timer.start();
        std::map<QString, FileState> now = files();
        while (
            now.size() < known_.size() + ended_.size() ||
            (!ended_.empty() && !recordingRuns && QFileInfo::exists(videosDir_ + "/capture.avi"))) {
            if (timer.elapsed() > kRecordingFinished_ms)
                break;
            processEvents();
            QThread::msleep(kPoll_ms);
            now = files();
        }
        for (const auto& [name, state] : known_) {
            auto it = now.find(name);
            if (it == now.end())
                journal.fail(name.toStdString() + " is gone");
            else if (it->second.size != state.size || it->second.modified != state.modified)
                journal.fail(name.toStdString() + " was written over");
        }
        std::vector<QString> added;
        for (const auto& [name, state] : now)
            if (!known_.count(name))
                added.push_back(name);
        if (added.size() != ended_.size()) {
            std::string names;
            for (const QString& n : added)
                names += " " + n.toStdString();
            journal.fail(std::to_string(ended_.size()) + " recordings ended, " +
                         std::to_string(added.size()) + " new files:" + names);
            return;
        }
        // The names carry the start time, so they sort as the recordings
        // started and ended (one at a time).
        for (std::size_t i = 0; i < added.size(); ++i) {
            const Ended& e = ended_[i];
            const RecordingCheck check =
                CheckRecording((videosDir_ + "/" + added[i]).toStdString(), e.recorded_s, e.header);
            Journal::note(check.summary + " (" + e.how + ")");
            if (!check.ok())
                journal.fail("recording " + e.how + ": " + check.problems);
            known_[added[i]] = now[added[i]];
        }
        ended_.clear();
    }

    std::size_t finished() const { return known_.size(); }

private:
    struct Ended {
        double recorded_s;
        HeaderDuration header;
        std::string how;
    };
    struct FileState {
        qint64 size;
        QDateTime modified;
    };

    std::map<QString, FileState> files() const {
        std::map<QString, FileState> found;
        for (const QFileInfo& f :
             QDir(videosDir_).entryInfoList({"capture_*.avi"}, QDir::Files, QDir::Name))
            found[f.fileName()] = {f.size(), f.lastModified()};
        return found;
    }

    QString videosDir_;
    std::vector<Ended> ended_;
    std::map<QString, FileState> known_;
};

} // namespace qeltv::test::life
