// Media types, their texts, caps conversion and pin formats of the Virtual
// TV Card's capture filters.
#include "capture/Devices.h"
#include "capture/MediaType.h"
#include "capture/VirtualSources.h"
#include "test_graph_support.h"

namespace qeltv {
namespace {

using test::GraphTest;

MediaType Video(std::uint32_t sub, int w, int h) {
    test::App(); // GStreamer is initialised with the application
    return VideoFormat(sub, w, h, 400000);
}

TEST(MediaTypeTextTest, VideoFormatsNameTheirCompression) {
    EXPECT_EQ(MediaTypeText(Video(subtype::YUY2, 640, 480)),
              "Major Type: Video - Sub Type: YUY2 Format: VideoInfo YUY2 640X480, 16 bits");
    EXPECT_EQ(MediaTypeText(Video(subtype::RGB24, 320, 240)),
              "Major Type: Video - Sub Type: RGB24 Format: VideoInfo RGB 320X240, 24 bits");
    EXPECT_EQ(MediaTypeText(Video(subtype::RGB32, 720, 576)),
              "Major Type: Video - Sub Type: RGB32 Format: VideoInfo RGB 720X576, 32 bits");
    MediaType rle = Video(subtype::RGB24, 16, 16);
    rle.video.biCompression = kBiRle8;
    rle.video.biBitCount = 8;
    EXPECT_EQ(MediaTypeText(rle),
              "Major Type: Video - Sub Type: RGB24 Format: VideoInfo RLE8 16X16, 8 bits");
    rle.video.biCompression = kBiRle4;
    EXPECT_EQ(MediaTypeText(rle),
              "Major Type: Video - Sub Type: RGB24 Format: VideoInfo RLE4 16X16, 8 bits");
    rle.video.biCompression = kBiBitfields;
    rle.formattype = FormatType::VideoInfo2;
    EXPECT_EQ(MediaTypeText(rle),
              "Major Type: Video - Sub Type: RGB24 Format: VideoInfo2 BITFIELDS 16X16, 8 bits");
}

TEST(MediaTypeTextTest, OtherFormatsAndUnnamedTypes) {
    EXPECT_EQ(MediaTypeText(PcmFormat(44100, 16, 2)),
              "Major Type: Audio - Sub Type: PCM Format: WaveFormatEx");
    MediaType unknown;
    EXPECT_EQ(MediaTypeText(unknown), "Major Type: UnKnown  - Sub Type: UnKnown  Format: None");
}

TEST(AudioFormatTextTest, PcmAndCompressedTexts) {
    test::App();
    EXPECT_EQ(AudioFormatText(PcmFormat(44100, 16, 2)), "44100 Hertz, 16 bits, stereo, 172 kb/sec");
    EXPECT_EQ(AudioFormatText(PcmFormat(8000, 8, 1)), "8000 Hertz, 8 bits, mono, 7 kb/sec");
    MediaType mp3;
    mp3.majortype = MajorType::Audio;
    mp3.subtype = subtype::MP3;
    mp3.formattype = FormatType::WaveFormatEx;
    mp3.audio = {subtype::MP3, 2, 44100, 16000, 1, 0};
    EXPECT_EQ(AudioFormatText(mp3), "128 kbits, 44100 Hertz, stereo, 15 kb/sec");
    // A format without a wave format block has an empty text.
    EXPECT_EQ(AudioFormatText(Video(subtype::YUY2, 640, 480)), "");
}

TEST(MediaTypeCapsTest, RoundTripsThroughCaps) {
    test::App();
    for (const MediaType& type : {Video(subtype::YUY2, 640, 480), Video(subtype::I420, 320, 240),
                                  Video(subtype::RGB24, 160, 120), Video(subtype::RGB32, 720, 576),
                                  PcmFormat(48000, 16, 1), PcmFormat(22050, 8, 2)}) {
        CapsRef caps = MediaTypeToCaps(type);
        ASSERT_TRUE(caps) << MediaTypeText(type);
        EXPECT_EQ(MediaTypeFromCaps(caps.get()), type) << caps.toString();
    }
    EXPECT_EQ(MediaTypeToCaps(Video(subtype::YUY2, 640, 480)).toString(),
              "video/x-raw, format=(string)YUY2, width=(int)640, height=(int)480, "
              "framerate=(fraction)25/1");
    // 100 ns frame durations survive: 333667 is NTSC's 29.97 frames per second.
    int num = 0, den = 0;
    RateFromFrameDuration(333667, num, den);
    EXPECT_EQ(FrameDurationFromRate(num, den), 333667);
}

TEST_F(GraphTest, CapturePinsReportAndAcceptFormats) {
    FilterObject cap(*graph, "filterVideoCap");
    cap.setMoniker(kVirtualCardMoniker);
    cap.Attach();
    std::vector<std::string> names;
    for (Pin* pin : cap.filter().pins())
        names.push_back(pin->name() + (pin->direction() == PinDirection::Output ? ">" : "<"));
    EXPECT_EQ(names, (std::vector<std::string>{"Capture>", "Preview>"}));

    Pin* preview = FilterGraph::FindPinByName(cap.filter(), "PREVIEW");
    ASSERT_NE(preview, nullptr);
    MediaType type;
    ASSERT_EQ(preview->GetFormat(type), status::S_OK);
    EXPECT_EQ(MediaTypeText(type),
              "Major Type: Video - Sub Type: YUY2 Format: VideoInfo YUY2 640X480, 16 bits");
    EXPECT_EQ(type.video.AvgTimePerFrame, 400000);

    EXPECT_EQ(preview->SetFormat(Video(subtype::RGB24, 320, 240)), status::S_OK);
    ASSERT_EQ(preview->GetFormat(type), status::S_OK);
    EXPECT_EQ(MediaTypeText(type),
              "Major Type: Video - Sub Type: RGB24 Format: VideoInfo RGB 320X240, 24 bits");

    // A size the card cannot deliver is refused and the pin keeps its format.
    EXPECT_EQ(preview->SetFormat(Video(subtype::YUY2, 4000, 3000)), status::VFW_E_INVALIDMEDIATYPE);
    ASSERT_EQ(preview->GetFormat(type), status::S_OK);
    EXPECT_EQ(type.video.biWidth, 320);
    // Audio on a video pin is refused too.
    EXPECT_EQ(preview->SetFormat(PcmFormat(44100, 16, 2)), status::VFW_E_INVALIDMEDIATYPE);
    EXPECT_FALSE(preview->GetStreamCaps().empty());
}

TEST_F(GraphTest, AudioCaptureHasMixerLinesAndCompressorFormats) {
    FilterObject audio(*graph, "filterAudioCap");
    audio.setMoniker(kVirtualCardAudioMoniker);
    audio.Attach();
    std::vector<std::string> names;
    for (Pin* pin : audio.filter().pins())
        names.push_back(pin->name() + (pin->direction() == PinDirection::Output ? ">" : "<"));
    EXPECT_EQ(names, (std::vector<std::string>{"Capture>", "Tuner<", "Line<", "Microphone<"}));
    Pin* line = FilterGraph::FindPinByName(audio.filter(), "line");
    bool enabled = true;
    ASSERT_EQ(line->get_Enable(enabled), status::S_OK);
    EXPECT_FALSE(enabled);
    EXPECT_EQ(line->put_Enable(true), status::S_OK);
    EXPECT_TRUE(card.lineEnabled(1));
    // The output pin has no mixer.
    EXPECT_EQ(audio.filter().pins()[0]->get_Enable(enabled), status::E_NOINTERFACE);

    FilterObject pcm(*graph, "filterAudioCompression");
    pcm.setMoniker(kPcmMoniker);
    pcm.Attach();
    Pin* out = FilterGraph::FindPinByName(pcm.filter(), "Output");
    ASSERT_NE(out, nullptr);
    const std::vector<MediaType> formats = out->GetStreamCaps();
    ASSERT_EQ(formats.size(), 24u);
    EXPECT_EQ(AudioFormatText(formats[0]), "44100 Hertz, 16 bits, stereo, 172 kb/sec");
    EXPECT_EQ(AudioFormatText(formats[1]), "44100 Hertz, 16 bits, mono, 86 kb/sec");
    EXPECT_EQ(out->SetFormat(formats[4]), status::S_OK);
    MediaType now;
    ASSERT_EQ(out->GetFormat(now), status::S_OK);
    EXPECT_EQ(AudioFormatText(now), AudioFormatText(formats[4]));

    FilterObject mp3(*graph, "mp3");
    mp3.setMoniker("encoder:lamemp3enc");
    mp3.Attach();
    Pin* encoded = FilterGraph::FindPinByName(mp3.filter(), "Output");
    const std::vector<MediaType> mp3Formats = encoded->GetStreamCaps();
    ASSERT_FALSE(mp3Formats.empty());
    EXPECT_EQ(AudioFormatText(mp3Formats[0]), "128 kbits, 44100 Hertz, stereo, 15 kb/sec");
    MediaType faster = mp3Formats[0];
    faster.audio.nAvgBytesPerSec = 24000; // 192 kbit/s
    EXPECT_EQ(encoded->SetFormat(faster), status::S_OK);
    guint bitrate = 0;
    g_object_get(mp3.filter().configurable(), "bitrate", &bitrate, nullptr);
    EXPECT_EQ(bitrate, 192u);
    EXPECT_EQ(encoded->SetFormat(PcmFormat(44100, 16, 2)), status::VFW_E_INVALIDMEDIATYPE);
}

} // namespace
} // namespace qeltv
