// A recording whose sound stops coming (a sound card that hangs) stalls the
// muxer, and with it the picture's branch: it still ends, the end-of-stream
// wait gives up and the stop flushes the stalled branch, so the GUI thread
// never hangs on it.
#include "capture/Devices.h"
#include "capture/GstRef.h"
#include "capture/VirtualSources.h"
#include "test_graph_support.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace qeltv {
namespace {

using test::GraphTest;
using test::RecordingObjects;
using test::WireRecording;

constexpr int kEndOfStreamWait_ms = 1000;
// Far beyond a wait and a stop; a hang ends the test program instead of the
// test run.
constexpr auto kHangLimit = std::chrono::seconds(60);

TEST_F(GraphTest, StoppingAStalledRecordingReturns) {
    RecordingObjects objects(*graph);
    card.tune(VirtualTvCard::stations()[0].frequency_hz);
    ASSERT_NO_FATAL_FAILURE(WireRecording(*graph, objects, path("stalled.avi")));
    graph->Run();
    // The sound source stops: the muxer waits for sound, the picture's queue
    // fills and the picture's source blocks on it.
    const auto it = GstOwned<GstIterator>::adopt(
        gst_bin_iterate_sources(GST_BIN(objects.acap.filter().element())));
    GstOwnedValue item;
    while (gst_iterator_next(it.get(), item.get()) == GST_ITERATOR_OK) {
        auto* source = GST_ELEMENT(g_value_get_object(item.get()));
        gst_element_set_locked_state(source, TRUE);
        gst_element_set_state(source, GST_STATE_PAUSED);
        g_value_reset(item.get());
    }
    test::Spin(3000);

    std::atomic<bool> returned{false};
    std::thread watchdog([&] {
        const auto deadline = std::chrono::steady_clock::now() + kHangLimit;
        while (!returned && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!returned) {
            std::fputs("the stop hung on the stalled branch\n", stderr);
            std::_Exit(2);
        }
    });
    EXPECT_FALSE(graph->StopAfterEndOfStream(kEndOfStreamWait_ms));
    returned = true;
    watchdog.join();
    EXPECT_EQ(graph->state(), GST_STATE_NULL);
}

} // namespace
} // namespace qeltv
