// The Virtual TV Card: the program's own capture device for machines without
// a TV card. One object holds the card's state (tuned frequency, input
// routing, mixer lines); its tuner and crossbar change that state, and its
// video and audio sources read it to draw the tuned station's picture and
// play its tone (snow and silence where no station is tuned).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace qeltv {

struct VirtualStation {
    std::string name;           // burned into the picture
    std::uint32_t frequency_hz; // exact video carrier
    int pattern;                // GStreamer videotestsrc pattern number
    std::uint32_t foreground_argb;
    std::uint32_t background_argb;
    double tone_hz; // pitch of the station's audio tone
};

// Stations are received within this distance of their exact frequency.
constexpr std::uint32_t kVirtualCaptureRange_hz = 1'000'000;

// Crossbar inputs of the card, in pin order.
enum class VirtualInput {
    TunerVideo = 0,
    Composite = 1,
    SVideo = 2,
    TunerAudio = 3,
    LineAudio = 4
};

class VirtualTvCard {
public:
    VirtualTvCard();

    // The fixed set of stations, in ascending frequency.
    static const std::vector<VirtualStation>& stations();

    // Thread-safe: the tuner calls these on the GUI thread, the sources read
    // on GStreamer streaming threads.
    void tune(std::uint32_t frequency_hz);
    std::uint32_t frequency() const;
    // The station seen at the tuned frequency when the video decoder is
    // routed to the tuner video input, or nullptr for snow.
    const VirtualStation* received() const;
    // The station heard at the tuned frequency when the audio decoder is
    // routed to the tuner audio input, or nullptr for silence.
    const VirtualStation* receivedAudio() const;
    // The station whose capture range holds frequency_hz, or nullptr.
    static const VirtualStation* stationNear(std::uint32_t frequency_hz);

    // Crossbar routing: output 0 video decoder, output 1 audio decoder; the
    // value is the input index routed to it, or -1.
    long routedTo(long output) const;
    void route(long output, long input);

    // Audio input mixer lines "Tuner", "Line", "Microphone".
    static const std::vector<std::string>& mixerLines();
    bool lineEnabled(int line) const;
    void setLineEnabled(int line, bool enabled);

    // Called (on the tuning thread) after every change of frequency, routing
    // or mixer line; returns an id for removeListener. A listener may read
    // the card's state; once removeListener returns, it is never called again.
    // A listener must not wait for a thread that may be removing a listener.
    int addListener(std::function<void()> listener);
    void removeListener(int id);

private:
    void notify();

    mutable std::mutex mutex_;
    // Held while listeners run, so removal waits for a running call; it is
    // recursive so a listener may remove itself.
    std::recursive_mutex listenersMutex_;
    std::uint32_t frequency_hz_ = 0;
    long routing_[2] = {static_cast<long>(VirtualInput::TunerVideo),
                        static_cast<long>(VirtualInput::TunerAudio)};
    std::vector<bool> lines_;
    std::map<int, std::function<void()>> listeners_;
    int nextListener_ = 1;
};

} // namespace qeltv
