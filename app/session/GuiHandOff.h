// The way from any thread onto the GUI thread, where the session lives: a
// web page's connection thread hands its step over and waits for it.
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <type_traits>

namespace qeltv {

class GuiHandOff : public QObject {
public:
    // Work handed over runs on the thread `this` lives on: the GUI thread.
    GuiHandOff() = default;

    // Runs `work` on the GUI thread and waits for it, from any thread.
    // Gives up as soon as `stop` is requested: work not yet started is then
    // dropped, never run later, and false is returned. Work that runs checks
    // the state (the graph mode) when it runs, which may be inside a modal
    // loop. An exception it throws is thrown again to the caller. Called on
    // the GUI thread, the work runs at once.
    bool handOff(std::function<void()> work, const std::stop_token& stop);
    // The same, with the work's result; empty when it was dropped.
    template <class Work>
    auto runOnGuiThread(Work work, const std::stop_token& stop)
        -> std::optional<std::invoke_result_t<Work&>> {
        using Result = std::invoke_result_t<Work&>;
        // Shared: a caller that gives up on stop leaves before the work ends.
        auto result = std::make_shared<std::optional<Result>>();
        if (!handOff([result, work = std::move(work)]() mutable { result->emplace(work()); }, stop))
            return std::nullopt;
        return std::move(*result);
    }

    // Whether the running code was handed over by another thread: a message
    // box it raises must not hold it.
    bool handedOver() const { return handedOverDepth_ > 0; }

private:
    int handedOverDepth_ = 0;
};

} // namespace qeltv
