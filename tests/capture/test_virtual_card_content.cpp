// What the Virtual TV Card shows and plays, read from the samples its
// capture pins deliver: a station's tone at the station's pitch, a clock in
// the picture that runs, and snow and silence where no station is tuned.
#include "capture/Devices.h"
#include "capture/GstRef.h"
#include "capture/VirtualSources.h"
#include "test_graph_support.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <set>
#include <vector>

namespace qeltv {
namespace {

using test::GraphTest;
using test::WaitUntil;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr std::int64_t kFrameDuration = 400000; // 25 frames per second
// A tuned frequency with no station within the capture range.
constexpr std::uint32_t kEmptyChannel_hz = 300'000'000;
// Luma of the burned-in white text; the station's picture under the text's
// shaded background stays below it.
constexpr int kTextLuma = 230;
// Mean luma change from one frame to the next: a station's picture scrolls
// by a few pixels, snow is new noise in every pixel.
constexpr double kStationFrameChange = 10;
constexpr double kSnowFrameChange = 40;
// Buffers made before a change of the card's state may still come after it.
constexpr std::size_t kSettleBuffers = 3;
// The measured pitch may differ from the station's by this part.
constexpr double kPitchTolerance = 0.02;

// Samples of one capture pin, copied on the streaming thread.
class PinSamples {
public:
    explicit PinSamples(Pin& pin)
        : probe_(GstOwnedPadProbe::add(pin.pad(), GST_PAD_PROBE_TYPE_BUFFER, &PinSamples::Take,
                                       this)) {}
    // The probe goes before the samples it fills.
    ~PinSamples() { probe_.reset(); }

    // Forgets what came so far: the next buffers show the card's new state.
    void clear() {
        std::lock_guard lock(mutex_);
        buffers_.clear();
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return buffers_.size();
    }
    std::vector<std::vector<std::uint8_t>> buffers() {
        std::lock_guard lock(mutex_);
        return buffers_;
    }
    bool waitForBuffers(std::size_t n) {
        return WaitUntil([&] { return count() >= n; }, test::kStreamWait_ms);
    }
    GstPad* pad() const { return probe_.pad(); }

private:
    static GstPadProbeReturn Take(GstPad*, GstPadProbeInfo* info, gpointer self) {
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            auto* samples = static_cast<PinSamples*>(self);
            std::lock_guard lock(samples->mutex_);
            samples->buffers_.emplace_back(map.data, map.data + map.size);
            gst_buffer_unmap(buffer, &map);
        }
        return GST_PAD_PROBE_OK;
    }

    std::mutex mutex_;
    std::vector<std::vector<std::uint8_t>> buffers_;
    GstOwnedPadProbe probe_;
};

// The luma of pixel (x, y) of a YUY2 frame.
int Luma(const std::vector<std::uint8_t>& frame, int x, int y) {
    return frame[static_cast<std::size_t>(y * kWidth * 2 + x * 2)];
}

double MeanLumaChange(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    double sum = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            sum += std::abs(Luma(a, x, y) - Luma(b, x, y));
    return sum / (kWidth * kHeight);
}

// The text pixels of the bottom right quarter, where the clock stands.
std::vector<bool> ClockText(const std::vector<std::uint8_t>& frame) {
    std::vector<bool> text;
    for (int y = kHeight * 3 / 4; y < kHeight; ++y)
        for (int x = kWidth / 2; x < kWidth; ++x)
            text.push_back(Luma(frame, x, y) >= kTextLuma);
    return text;
}

// Pitch of the first channel of interleaved S16LE audio, from its upward
// zero crossings.
double Pitch_hz(const std::vector<std::vector<std::uint8_t>>& buffers, int rate_hz, int channels) {
    std::vector<std::int16_t> samples;
    for (const auto& b : buffers)
        for (std::size_t i = 0; i + 1 < b.size(); i += 2 * static_cast<std::size_t>(channels))
            samples.push_back(static_cast<std::int16_t>(b[i] | (b[i + 1] << 8)));
    long crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i)
        crossings += samples[i - 1] < 0 && samples[i] >= 0;
    return samples.empty() ? 0 : crossings * double(rate_hz) / double(samples.size());
}

bool Silent(const std::vector<std::vector<std::uint8_t>>& buffers) {
    for (const auto& b : buffers)
        for (std::uint8_t byte : b)
            if (byte != 0)
                return false;
    return true;
}

class VirtualCardContent : public GraphTest {
protected:
    void SetUp() override {
        GraphTest::SetUp();
        video = std::make_unique<FilterObject>(*graph, "filterVideoCap");
        audio = std::make_unique<FilterObject>(*graph, "filterAudioCap");
        videoSink = std::make_unique<FilterObject>(*graph, "filterNull");
        audioSink = std::make_unique<FilterObject>(*graph, "filterNullAudio");
        video->setMoniker(kVirtualCardMoniker);
        audio->setMoniker(kVirtualCardAudioMoniker);
        videoSink->setMoniker(kNullRendererMoniker);
        audioSink->setMoniker(kNullRendererMoniker);
        for (auto* o : {video.get(), audio.get(), videoSink.get(), audioSink.get()})
            o->Attach();
        Pin* capture = FilterGraph::FindPinByName(video->filter(), "Capture");
        ASSERT_EQ(capture->SetFormat(VideoFormat(subtype::YUY2, kWidth, kHeight, kFrameDuration)),
                  status::S_OK);
        ASSERT_EQ(graph->RenderStream(PinCategory::Capture, MediaKind::Video, &video->filter(),
                                      nullptr, &videoSink->filter()),
                  status::S_OK);
        ASSERT_EQ(graph->RenderStream(PinCategory::Capture, MediaKind::Audio, &audio->filter(),
                                      nullptr, &audioSink->filter()),
                  status::S_OK);
        frames = std::make_unique<PinSamples>(*capture);
        sound =
            std::make_unique<PinSamples>(*FilterGraph::FindPinByName(audio->filter(), "Capture"));
    }
    void TearDown() override {
        if (graph)
            graph->Stop();
        frames.reset();
        sound.reset();
        GraphTest::TearDown();
    }
    // The pitch of what the audio pin delivers now, over `buffers` buffers.
    double PitchNow(std::size_t buffers) {
        sound->clear();
        if (!sound->waitForBuffers(kSettleBuffers + buffers))
            return 0;
        GstCaps* caps = gst_pad_get_current_caps(sound->pad());
        int rate_hz = 0, channels = 0;
        const GstStructure* s = gst_caps_get_structure(caps, 0);
        gst_structure_get_int(s, "rate", &rate_hz);
        gst_structure_get_int(s, "channels", &channels);
        EXPECT_STREQ(gst_structure_get_string(s, "format"), "S16LE");
        gst_caps_unref(caps);
        auto taken = sound->buffers();
        taken.erase(taken.begin(), taken.begin() + kSettleBuffers);
        return Pitch_hz(taken, rate_hz, channels);
    }

    std::unique_ptr<FilterObject> video, audio, videoSink, audioSink;
    std::unique_ptr<PinSamples> frames, sound;
};

constexpr std::size_t kAudioBuffers = 20; // about two seconds of tone
constexpr std::size_t kClockFrames = 60;  // more than two seconds of picture

TEST_F(VirtualCardContent, StationsPlayTheirToneShowARunningClockAndEmptyChannelsSnow) {
    const auto& stations = VirtualTvCard::stations();
    card.tune(stations[0].frequency_hz);
    graph->Run();

    // Each station's tone at its own pitch.
    for (const VirtualStation* station : {&stations[0], &stations[2]}) {
        SCOPED_TRACE(station->name);
        card.tune(station->frequency_hz);
        const double pitch_hz = PitchNow(kAudioBuffers);
        EXPECT_NEAR(pitch_hz, station->tone_hz, station->tone_hz * kPitchTolerance);
    }

    // The picture changes only a little from frame to frame, and the clock
    // in it runs: over two seconds its text takes more than one shape.
    card.tune(stations[0].frequency_hz);
    frames->clear();
    ASSERT_TRUE(frames->waitForBuffers(kClockFrames));
    const auto station = frames->buffers();
    ASSERT_EQ(station[0].size(), std::size_t(kWidth * kHeight * 2));
    std::set<std::vector<bool>> clockShapes;
    for (const auto& frame : station)
        clockShapes.insert(ClockText(frame));
    EXPECT_GE(clockShapes.size(), 2u);
    EXPECT_LT(MeanLumaChange(station[10], station[11]), kStationFrameChange);

    // Off the stations: snow, new in every frame, and silence.
    card.tune(kEmptyChannel_hz);
    sound->clear();
    frames->clear();
    ASSERT_TRUE(frames->waitForBuffers(kSettleBuffers + 2));
    const auto snow = frames->buffers();
    EXPECT_GT(MeanLumaChange(snow[kSettleBuffers], snow[kSettleBuffers + 1]), kSnowFrameChange);
    ASSERT_TRUE(sound->waitForBuffers(kSettleBuffers + kAudioBuffers / 2));
    auto quiet = sound->buffers();
    quiet.erase(quiet.begin(), quiet.begin() + kSettleBuffers);
    EXPECT_TRUE(Silent(quiet));
}

} // namespace
} // namespace qeltv
