#include "app/session/GuiHandOff.h"

#include <QThread>

#include <condition_variable>
#include <mutex>

namespace qeltv {

namespace {
// One piece of work on its way to the GUI thread, shared by the waiting
// thread and the queued call: either may be the last to let go of it.
struct HandOffState {
    enum class Stage { Queued, Running, Done, Dropped };
    std::mutex mutex;
    std::condition_variable changed;
    Stage stage = Stage::Queued;
    std::exception_ptr error;
};
} // namespace

bool GuiHandOff::handOff(std::function<void()> work, const std::stop_token& stop) {
    // A connection that is being stopped asks for nothing any more.
    if (stop.stop_requested())
        return false;
    if (QThread::currentThread() == thread()) {
        work();
        return true;
    }
    auto state = std::make_shared<HandOffState>();
    using Stage = HandOffState::Stage;
    QMetaObject::invokeMethod(
        this,
        [this, state, work = std::move(work)] {
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                // The caller gave up before the work started: it never runs.
                if (state->stage == Stage::Dropped)
                    return;
                state->stage = Stage::Running;
            }
            ++handedOverDepth_;
            try {
                work();
            } catch (...) {
                state->error = std::current_exception();
            }
            --handedOverDepth_;
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                state->stage = Stage::Done;
            }
            state->changed.notify_all();
        },
        Qt::QueuedConnection);
    // Registered before the wait takes the lock: when the stop was requested
    // already, the callback runs right here.
    std::stop_callback onStop(stop, [state] {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (state->stage == Stage::Queued)
                state->stage = Stage::Dropped;
        }
        state->changed.notify_all();
    });
    std::unique_lock<std::mutex> lock(state->mutex);
    state->changed.wait(lock, [&] {
        return state->stage == Stage::Done || state->stage == Stage::Dropped ||
               stop.stop_requested();
    });
    if (state->stage != Stage::Done)
        return false;
    if (state->error)
        std::rethrow_exception(state->error);
    return true;
}

} // namespace qeltv
