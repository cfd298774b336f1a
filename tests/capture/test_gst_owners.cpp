// The owners of what GStreamer and GLib hand out that is not a reference: a
// GValue, a pad probe, a signal handler. Each must release exactly once (a
// second removal is a GLib warning, a missed one a callback into freed data)
// and keep its pad or instance alive until it does.
#include "capture/GstRef.h"

#include <gtest/gtest.h>

#include <atomic>
#include <utility>

namespace qeltv {
namespace {

// Counts the warnings and critical messages GLib and GStreamer log, such as
// the one for removing a probe or handler that is not there.
class LoggedProblems {
public:
    LoggedProblems() { previous_ = g_log_set_default_handler(&LoggedProblems::Log, this); }
    ~LoggedProblems() { g_log_set_default_handler(previous_, nullptr); }
    int count() const { return count_; }

private:
    static void Log(const gchar*, GLogLevelFlags level, const gchar* message, gpointer self) {
        if (level & (G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR)) {
            ++static_cast<LoggedProblems*>(self)->count_;
            ADD_FAILURE() << message;
        }
    }
    GLogFunc previous_ = nullptr;
    int count_ = 0;
};

// Set when the watched object is finalized.
void Finalized(gpointer flag, GObject*) {
    *static_cast<bool*>(flag) = true;
}

// A source pad linked to a sink pad that takes every buffer: pushing on the
// source runs the source's probes.
struct LinkedPads {
    GstOwned<GstPad> src = GstOwned<GstPad>::sink(gst_pad_new("src", GST_PAD_SRC));
    GstOwned<GstPad> sink = GstOwned<GstPad>::sink(gst_pad_new("sink", GST_PAD_SINK));

    LinkedPads() {
        gst_pad_set_chain_function(sink.get(), [](GstPad*, GstObject*, GstBuffer* buffer) {
            gst_buffer_unref(buffer);
            return GST_FLOW_OK;
        });
        EXPECT_EQ(gst_pad_link(src.get(), sink.get()), GST_PAD_LINK_OK);
        EXPECT_TRUE(gst_pad_set_active(sink.get(), TRUE));
        EXPECT_TRUE(gst_pad_set_active(src.get(), TRUE));
        EXPECT_TRUE(gst_pad_push_event(src.get(), gst_event_new_stream_start("owners")));
        GstSegment segment;
        gst_segment_init(&segment, GST_FORMAT_TIME);
        EXPECT_TRUE(gst_pad_push_event(src.get(), gst_event_new_segment(&segment)));
    }
    ~LinkedPads() {
        gst_pad_set_active(src.get(), FALSE);
        gst_pad_set_active(sink.get(), FALSE);
    }
    void push() { EXPECT_EQ(gst_pad_push(src.get(), gst_buffer_new()), GST_FLOW_OK); }
};

GstPadProbeReturn CountBuffer(GstPad*, GstPadProbeInfo*, gpointer count) {
    ++*static_cast<int*>(count);
    return GST_PAD_PROBE_OK;
}

class CaptureOwners : public ::testing::Test {
protected:
    static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
};

// A probe runs while owned and never after its owner is reset, moved away
// or gone; it is removed once, and its pad lives as long as the probe.
TEST_F(CaptureOwners, ProbeIsRemovedOnceAndKeepsItsPad) {
    LoggedProblems problems;
    int buffers = 0;
    {
        LinkedPads pads;
        auto probe = GstOwnedPadProbe::add(pads.src.get(), GST_PAD_PROBE_TYPE_BUFFER, &CountBuffer,
                                           &buffers);
        ASSERT_TRUE(probe);
        EXPECT_EQ(probe.pad(), pads.src.get());
        pads.push();
        EXPECT_EQ(buffers, 1);

        // Moved: the new owner holds it, the old one is empty and removes
        // nothing when it goes.
        GstOwnedPadProbe moved = std::move(probe);
        EXPECT_FALSE(probe);
        EXPECT_EQ(probe.id(), 0u);
        pads.push();
        EXPECT_EQ(buffers, 2);
        moved.reset();
        EXPECT_FALSE(moved);
        pads.push();
        EXPECT_EQ(buffers, 2);

        // Assigning over an owner removes the probe it held.
        int other = 0;
        auto first = GstOwnedPadProbe::add(pads.src.get(), GST_PAD_PROBE_TYPE_BUFFER, &CountBuffer,
                                           &buffers);
        first =
            GstOwnedPadProbe::add(pads.src.get(), GST_PAD_PROBE_TYPE_BUFFER, &CountBuffer, &other);
        pads.push();
        EXPECT_EQ(buffers, 2);
        EXPECT_EQ(other, 1);
        {
            auto scoped = GstOwnedPadProbe::add(pads.src.get(), GST_PAD_PROBE_TYPE_BUFFER,
                                                &CountBuffer, &buffers);
            pads.push();
            EXPECT_EQ(buffers, 3);
        }
        pads.push();
        EXPECT_EQ(buffers, 3);
        EXPECT_EQ(other, 3);
    }

    // The pad outlives everything but the probe's owner.
    bool padGone = false;
    GstOwnedPadProbe probe;
    {
        LinkedPads pads;
        probe = GstOwnedPadProbe::add(pads.src.get(), GST_PAD_PROBE_TYPE_BUFFER, &CountBuffer,
                                      &buffers);
        g_object_weak_ref(G_OBJECT(pads.src.get()), &Finalized, &padGone);
    }
    EXPECT_FALSE(padGone);
    probe.reset();
    EXPECT_TRUE(padGone);
    EXPECT_EQ(problems.count(), 0);
}

// What a handler's calls and the release of its data leave behind.
struct HandlerRecord {
    int calls = 0;
    int released = 0;
};

void CountAdded(GstBin*, GstElement*, gpointer record) {
    ++static_cast<HandlerRecord*>(record)->calls;
}

void ReleaseRecord(gpointer record, GClosure*) {
    ++static_cast<HandlerRecord*>(record)->released;
}

// A handler is called while owned and never after; it is disconnected once
// (its data released once), and its instance lives as long as the handler.
TEST_F(CaptureOwners, SignalHandlerIsDisconnectedOnceAndKeepsItsInstance) {
    LoggedProblems problems;
    auto bin = GstOwned<GstBin>::sink(GST_BIN(gst_bin_new("bin")));
    const auto add = [&](const char* name) {
        EXPECT_TRUE(gst_bin_add(bin.get(), gst_bin_new(name)));
    };
    HandlerRecord record;
    auto handler = GstOwnedSignalHandler::connect(bin.get(), "element-added",
                                                  G_CALLBACK(&CountAdded), &record, &ReleaseRecord);
    ASSERT_TRUE(handler);
    EXPECT_EQ(handler.instance(), G_OBJECT(bin.get()));
    add("one");
    EXPECT_EQ(record.calls, 1);

    GstOwnedSignalHandler moved = std::move(handler);
    EXPECT_FALSE(handler);
    EXPECT_EQ(handler.instance(), nullptr);
    add("two");
    EXPECT_EQ(record.calls, 2);
    EXPECT_EQ(record.released, 0);
    moved.reset();
    EXPECT_FALSE(moved);
    add("three");
    EXPECT_EQ(record.calls, 2);
    EXPECT_EQ(record.released, 1);

    // The last reference but the handler's own: the bin goes with the
    // handler, not before.
    bool binGone = false;
    g_object_weak_ref(G_OBJECT(bin.get()), &Finalized, &binGone);
    HandlerRecord last;
    {
        auto scoped = GstOwnedSignalHandler::connect(
            bin.get(), "element-added", G_CALLBACK(&CountAdded), &last, &ReleaseRecord);
        add("four");
        bin.reset();
        EXPECT_FALSE(binGone);
    }
    EXPECT_TRUE(binGone);
    EXPECT_EQ(last.calls, 1);
    EXPECT_EQ(last.released, 1);
    EXPECT_EQ(record.released, 1);
    EXPECT_EQ(problems.count(), 0);
}

// A value is unset once, when its last owner goes: the object it holds is
// released then, not before.
TEST_F(CaptureOwners, ValueIsUnsetByItsLastOwner) {
    LoggedProblems problems;
    bool binGone = false;
    GstElement* bin = gst_bin_new("held");
    g_object_weak_ref(G_OBJECT(bin), &Finalized, &binGone);
    GstOwnedValue outer;
    EXPECT_FALSE(outer);
    {
        GstOwnedValue value(GST_TYPE_ELEMENT);
        ASSERT_TRUE(value);
        g_value_take_object(value.get(), gst_object_ref_sink(bin));
        EXPECT_EQ(g_value_get_object(value.get()), bin);

        GstOwnedValue moved = std::move(value);
        EXPECT_FALSE(value);
        EXPECT_EQ(g_value_get_object(moved.get()), bin);
        outer = std::move(moved);
        EXPECT_FALSE(moved);
    }
    EXPECT_FALSE(binGone);
    EXPECT_EQ(g_value_get_object(outer.get()), bin);
    outer.reset();
    EXPECT_TRUE(binGone);
    EXPECT_FALSE(outer);
    outer.reset();
    EXPECT_EQ(problems.count(), 0);
}

} // namespace
} // namespace qeltv
