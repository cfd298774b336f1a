// The frames a recording loses between the capture device and the file,
// counted where the pipeline loses them: gaps in the numbering of the
// source's frames (a driver whose buffers overflowed), the frame-rate
// converter of the capture pin, and the leaky queue in front of a
// compressor that cannot keep up. The frames that reach the muxer are
// counted too, so the loss reads against what was captured.
#pragma once

#include "capture/FilterObject.h"
#include "capture/GstRef.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace qeltv {

class DroppedFrames {
public:
    // Follows the video stream from the capture pin up to the muxer it
    // reaches and back to the capture source; the stream is wired, not yet
    // running.
    explicit DroppedFrames(Pin& capturePin);
    ~DroppedFrames();
    DroppedFrames(const DroppedFrames&) = delete;
    DroppedFrames& operator=(const DroppedFrames&) = delete;

    // Frames lost so far.
    std::uint64_t dropped() const;
    // Frames that reached the muxer.
    std::uint64_t written() const { return written_; }

private:
    struct Probe {
        GstOwned<GstPad> pad;
        gulong id = 0;
    };
    // A leaky queue: what went in, minus what came out, minus what it
    // holds, is what it threw away.
    struct LeakyQueue {
        GstOwned<GstElement> queue;
        std::atomic<std::uint64_t> in{0};
        std::atomic<std::uint64_t> out{0};
    };
    // The frame numbers the source gives; a gap is frames it never got.
    struct SourceNumbering {
        std::atomic<std::uint64_t> lost{0};
        guint64 next = GST_BUFFER_OFFSET_NONE; // streaming thread only
    };

    void followDownstream(GstPad* capturePad);
    void followUpstream(GstPad* capturePad);
    void addProbe(GstPad* pad, GstPadProbeCallback callback, void* data);

    std::vector<Probe> probes_;
    std::vector<GstOwned<GstElement>> rateConverters_;
    std::vector<std::unique_ptr<LeakyQueue>> queues_;
    SourceNumbering source_;
    std::atomic<std::uint64_t> written_{0};
};

} // namespace qeltv
