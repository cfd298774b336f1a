#include "capture/RecordingRepairs.h"

namespace qeltv {

RecordingRepairs::RecordingRepairs(Progress progress, Finished finished)
    : progress_(std::move(progress)), finished_(std::move(finished)) {}

RecordingRepairs::~RecordingRepairs() {
    waitForAll();
}

void RecordingRepairs::waitForAll() {
    for (Repair& repair : repairs_)
        if (repair.thread.joinable())
            repair.thread.join();
    repairs_.clear();
}

bool RecordingRepairs::start(const std::filesystem::path& file) {
    if (AviIsFinished(file))
        return false;
    // Threads of repairs that have ended are let go first.
    for (Repair& repair : repairs_)
        if (*repair.done && repair.thread.joinable())
            repair.thread.join();
    std::erase_if(repairs_, [](const Repair& repair) { return !repair.thread.joinable(); });
    auto done = std::make_shared<std::atomic<bool>>(false);
    QObject* context = &context_;
    Progress progress = progress_;
    Finished finished = finished_;
    std::thread thread([file, done, context, progress, finished] {
        int reported = -1;
        const AviRepairResult result = RepairAvi(file, [&](int percent) {
            if (percent == reported)
                return;
            reported = percent;
            QMetaObject::invokeMethod(
                context, [progress, file, percent] { progress(file, percent); },
                Qt::QueuedConnection);
        });
        QMetaObject::invokeMethod(
            context, [finished, file, result] { finished(file, result); }, Qt::QueuedConnection);
        *done = true;
    });
    repairs_.push_back({std::move(thread), std::move(done)});
    return true;
}

} // namespace qeltv
