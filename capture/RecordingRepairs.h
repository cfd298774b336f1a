// Recordings repaired on threads of their own, so that a file of gigabytes
// never holds up the window; progress and the outcome reach the GUI thread
// as queued calls.
#pragma once

#include "capture/AviRepair.h"

#include <QObject>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace qeltv {

class RecordingRepairs {
public:
    using Progress = std::function<void(const std::filesystem::path& file, int percent)>;
    using Finished =
        std::function<void(const std::filesystem::path& file, const AviRepairResult& result)>;

    RecordingRepairs(Progress progress, Finished finished);
    // Waits for the repairs under way: the program never leaves a file half
    // repaired behind it.
    ~RecordingRepairs();
    RecordingRepairs(const RecordingRepairs&) = delete;
    RecordingRepairs& operator=(const RecordingRepairs&) = delete;

    // Repairs the file when its writer did not finish it; false when it
    // needs no repair.
    bool start(const std::filesystem::path& file);
    // Waits until every repair started has ended (their reports still
    // arrive through the event loop).
    void waitForAll();

private:
    struct Repair {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    Progress progress_;
    Finished finished_;
    // The receiver of the queued calls; it lives on the GUI thread.
    QObject context_;
    std::vector<Repair> repairs_;
};

} // namespace qeltv
