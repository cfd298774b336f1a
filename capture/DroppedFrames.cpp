#include "capture/DroppedFrames.h"

#include <cstring>

namespace qeltv {

namespace {

// Longest chain of elements followed in either direction.
constexpr int kMaxFollowedElements = 64;

bool IsMadeBy(GstElement* element, const char* factoryName) {
    GstElementFactory* factory = gst_element_get_factory(element);
    return factory && std::strcmp(GST_OBJECT_NAME(factory), factoryName) == 0;
}

// The first pad of a direction; elements on a video path have one each way
// (the overlays' video input is their first).
GstOwned<GstPad> FirstPad(GstElement* element, GstPadDirection direction) {
    GST_OBJECT_LOCK(element);
    GList* pads = direction == GST_PAD_SRC ? element->srcpads : element->sinkpads;
    auto pad = GstOwned<GstPad>::ref(pads ? GST_PAD(pads->data) : nullptr);
    GST_OBJECT_UNLOCK(element);
    return pad;
}

// The element pad at the far end of a link, seen through the ghost pads of
// the bins the link enters or leaves.
GstOwned<GstPad> FarEnd(GstPad* pad) {
    auto peer = GstOwned<GstPad>::adopt(gst_pad_get_peer(pad));
    for (int i = 0; peer && i < kMaxFollowedElements; ++i) {
        if (GST_IS_GHOST_PAD(peer.get())) {
            // Into a bin.
            peer = GstOwned<GstPad>::adopt(gst_ghost_pad_get_target(GST_GHOST_PAD(peer.get())));
        } else if (GST_IS_PROXY_PAD(peer.get())) {
            // Out of a bin: the inner side of its ghost pad.
            const auto ghost = GstOwned<GstPad>::adopt(
                GST_PAD(gst_proxy_pad_get_internal(GST_PROXY_PAD(peer.get()))));
            if (!ghost)
                return {};
            peer = GstOwned<GstPad>::adopt(gst_pad_get_peer(ghost.get()));
        } else {
            break;
        }
    }
    return peer;
}

GstPadProbeReturn CountFrame(GstPad*, GstPadProbeInfo*, gpointer count) {
    ++*static_cast<std::atomic<std::uint64_t>*>(count);
    return GST_PAD_PROBE_OK;
}

} // namespace

DroppedFrames::DroppedFrames(Pin& capturePin) {
    if (!capturePin.pad())
        return;
    followDownstream(capturePin.pad());
    followUpstream(capturePin.pad());
}

DroppedFrames::~DroppedFrames() {
    for (Probe& probe : probes_)
        gst_pad_remove_probe(probe.pad.get(), probe.id);
}

void DroppedFrames::addProbe(GstPad* pad, GstPadProbeCallback callback, void* data) {
    const gulong id = gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, callback, data, nullptr);
    if (id)
        probes_.push_back({GstOwned<GstPad>::ref(pad), id});
}

void DroppedFrames::followDownstream(GstPad* capturePad) {
    auto output = GstOwned<GstPad>::ref(capturePad);
    for (int i = 0; output && i < kMaxFollowedElements; ++i) {
        const auto input = FarEnd(output.get());
        if (!input)
            return;
        const auto element = GstOwned<GstElement>::adopt(gst_pad_get_parent_element(input.get()));
        if (!element)
            return;
        if (IsMadeBy(element.get(), "avimux")) {
            addProbe(input.get(), CountFrame, &written_);
            return;
        }
        output = FirstPad(element.get(), GST_PAD_SRC);
        if (IsMadeBy(element.get(), "queue") && output) {
            int leaky = 0;
            g_object_get(element.get(), "leaky", &leaky, nullptr);
            if (leaky != 0) {
                auto queue = std::make_unique<LeakyQueue>();
                queue->queue = GstOwned<GstElement>::ref(element.get());
                addProbe(input.get(), CountFrame, &queue->in);
                addProbe(output.get(), CountFrame, &queue->out);
                queues_.push_back(std::move(queue));
            }
        }
    }
}

void DroppedFrames::followUpstream(GstPad* capturePad) {
    // The capture pin is the outer side of the capture filter's last pad.
    auto output = GST_IS_GHOST_PAD(capturePad)
                      ? GstOwned<GstPad>::adopt(gst_ghost_pad_get_target(GST_GHOST_PAD(capturePad)))
                      : GstOwned<GstPad>::ref(capturePad);
    for (int i = 0; output && i < kMaxFollowedElements; ++i) {
        const auto element = GstOwned<GstElement>::adopt(gst_pad_get_parent_element(output.get()));
        if (!element)
            return;
        if (IsMadeBy(element.get(), "videorate"))
            rateConverters_.push_back(GstOwned<GstElement>::ref(element.get()));
        const auto input = FirstPad(element.get(), GST_PAD_SINK);
        if (!input) {
            // The source: its frames are numbered, and a number skipped is a
            // frame lost before it reached the pipeline.
            addProbe(
                output.get(),
                [](GstPad*, GstPadProbeInfo* info, gpointer data) {
                    auto* numbering = static_cast<SourceNumbering*>(data);
                    const GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
                    const guint64 offset = GST_BUFFER_OFFSET(buffer);
                    if (offset == GST_BUFFER_OFFSET_NONE)
                        return GST_PAD_PROBE_OK;
                    if (numbering->next != GST_BUFFER_OFFSET_NONE && offset > numbering->next)
                        numbering->lost += offset - numbering->next;
                    numbering->next = offset + 1;
                    return GST_PAD_PROBE_OK;
                },
                &source_);
            return;
        }
        output = FarEnd(input.get());
    }
}

std::uint64_t DroppedFrames::dropped() const {
    std::uint64_t total = source_.lost;
    for (const auto& rate : rateConverters_) {
        guint64 drops = 0;
        g_object_get(rate.get(), "drop", &drops, nullptr);
        total += drops;
    }
    for (const auto& queue : queues_) {
        // What went in first, what came out last: a frame on its way
        // through is held, or out, by the time the later counts are read.
        const std::uint64_t in = queue->in;
        guint held = 0;
        g_object_get(queue->queue.get(), "current-level-buffers", &held, nullptr);
        const std::uint64_t out = queue->out;
        if (in > out + held)
            total += in - out - held;
    }
    return total;
}

} // namespace qeltv
