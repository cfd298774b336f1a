#include "capture/VirtualTvCard.h"

#include "capture/Crossbar.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace qeltv {

namespace {

// Crossbar outputs of the card.
constexpr long kOutputCount = 2;

// videotestsrc pattern numbers used by the stations.
constexpr int kPatternSmpte = 0;
constexpr int kPatternCircular = 11;
constexpr int kPatternZonePlate = 14;
constexpr int kPatternBall = 18;
constexpr int kPatternBar = 20;
constexpr int kPatternPinwheel = 21;
constexpr int kPatternSpokes = 22;
constexpr int kPatternColors = 24;

// Mixer line of the tuner's own sound, the only one enabled at power-on.
constexpr int kTunerLine = 0;

} // namespace

VirtualTvCard::VirtualTvCard() : lines_(mixerLines().size(), false) {
    lines_[kTunerLine] = true;
}

const std::vector<VirtualStation>& VirtualTvCard::stations() {
    // Seven stations sit on carriers of the Western European cable and antenna
    // plans (one, on S6, on the cable plan only), so the cable-grid scan finds
    // them; "Night Owl" sits between E24 and E25 and only the continuous
    // frequency scan finds it.
    static const std::vector<VirtualStation> list = {
        {"Polder Net", 140'250'000, kPatternBar, 0xFFFFD700, 0xFF202060, 329.63},       // S6
        {"Aurora 1", 175'250'000, kPatternSmpte, 0xFFFFFFFF, 0xFF000000, 440.0},        // E5
        {"Kestrel TV", 196'250'000, kPatternBall, 0xFFFFFF00, 0xFF003366, 523.25},      // E8
        {"Tidal Sport", 471'250'000, kPatternPinwheel, 0xFF00FF80, 0xFF004020, 587.33}, // E21
        {"Night Owl", 499'250'000, kPatternCircular, 0xFFB0B0FF, 0xFF101030, 261.63},
        {"Lumen Kids", 519'250'000, kPatternColors, 0xFFFFFFFF, 0xFF000000, 659.25},      // E27
        {"Meridian News", 623'250'000, kPatternSpokes, 0xFFFF4040, 0xFF202020, 783.99},   // E40
        {"Harbour Music", 783'250'000, kPatternZonePlate, 0xFF80FFFF, 0xFF000040, 880.0}, // E60
    };
    return list;
}

void VirtualTvCard::tune(std::uint32_t frequency_hz) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (frequency_hz_ == frequency_hz) {
            return;
        }
        frequency_hz_ = frequency_hz;
    }
    notify();
}

std::uint32_t VirtualTvCard::frequency() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frequency_hz_;
}

const VirtualStation* VirtualTvCard::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (routing_[kVideoDecoderOutput] != static_cast<long>(VirtualInput::TunerVideo)) {
        return nullptr;
    }
    return stationNear(frequency_hz_);
}

const VirtualStation* VirtualTvCard::receivedAudio() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (routing_[kAudioDecoderOutput] != static_cast<long>(VirtualInput::TunerAudio)) {
        return nullptr;
    }
    return stationNear(frequency_hz_);
}

const VirtualStation* VirtualTvCard::stationNear(std::uint32_t frequency_hz) {
    for (const VirtualStation& station : stations()) {
        const long long distance_hz = std::llabs(static_cast<long long>(frequency_hz) -
                                                 static_cast<long long>(station.frequency_hz));
        if (distance_hz <= kVirtualCaptureRange_hz) {
            return &station;
        }
    }
    return nullptr;
}

long VirtualTvCard::routedTo(long output) const {
    if (output < 0 || output >= kOutputCount) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return routing_[output];
}

void VirtualTvCard::route(long output, long input) {
    if (output < 0 || output >= kOutputCount) {
        throw std::out_of_range("Virtual TV Card: no crossbar output " + std::to_string(output));
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (routing_[output] == input) {
            return;
        }
        routing_[output] = input;
    }
    notify();
}

const std::vector<std::string>& VirtualTvCard::mixerLines() {
    static const std::vector<std::string> lines = {"Tuner", "Line", "Microphone"};
    return lines;
}

bool VirtualTvCard::lineEnabled(int line) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return line >= 0 && static_cast<std::size_t>(line) < lines_.size() && lines_[line];
}

void VirtualTvCard::setLineEnabled(int line, bool enabled) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (line < 0 || static_cast<std::size_t>(line) >= lines_.size()) {
            throw std::out_of_range("Virtual TV Card: no mixer line " + std::to_string(line));
        }
        if (lines_[line] == enabled) {
            return;
        }
        lines_[line] = enabled;
    }
    notify();
}

int VirtualTvCard::addListener(std::function<void()> listener) {
    std::lock_guard<std::recursive_mutex> lock(listenersMutex_);
    const int id = nextListener_++;
    listeners_.emplace(id, std::move(listener));
    return id;
}

void VirtualTvCard::removeListener(int id) {
    std::lock_guard<std::recursive_mutex> lock(listenersMutex_);
    listeners_.erase(id);
}

void VirtualTvCard::notify() {
    // The state lock is not held here, so listeners may read the state.
    std::lock_guard<std::recursive_mutex> lock(listenersMutex_);
    // Iterate over a copy: a listener may add or remove listeners.
    const auto listeners = listeners_;
    for (const auto& [id, listener] : listeners) {
        if (listeners_.count(id) != 0) {
            listener();
        }
    }
}

} // namespace qeltv
