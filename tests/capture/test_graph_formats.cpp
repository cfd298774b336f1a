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

// A capture device as most V4L2 cards and cameras are: a few sizes, each at
// a few fixed frame rates only (the Virtual TV Card takes any rate).
class FixedRateCapture : public VideoCaptureFilter {
public:
    static constexpr const char* kOffered =
        "video/x-raw, format=(string)YUY2, width=(int)640, height=(int)480, "
        "framerate=(fraction){ 30/1, 30000/1001, 25/1 }; "
        "video/x-raw, format=(string)YUY2, width=(int)320, height=(int)240, "
        "framerate=(fraction){ 30/1, 30000/1001, 25/1, 15/1 }";

    explicit FixedRateCapture(const std::string& name)
        : VideoCaptureFilter(gst_bin_new(nullptr), name, "test:fixedrate",
                             gst_element_factory_make("videotestsrc", nullptr)) {
        GstElement* source = configurable();
        g_object_set(source, "is-live", TRUE, nullptr);
        GstElement* device = gst_element_factory_make("capsfilter", nullptr);
        GstElement* native = gst_element_factory_make("capsfilter", nullptr);
        CapsRef offered(gst_caps_from_string(kOffered));
        g_object_set(device, "caps", offered.get(), nullptr);
        gst_bin_add_many(GST_BIN(element()), source, device, native, nullptr);
        if (!gst_element_link_many(source, device, native, nullptr))
            throw CaptureError("the fixed-rate source does not link", status::E_FAIL);
        buildPins(native, native, offered, {},
                  VideoFormat(subtype::YUY2, 640, 480, kDefaultFrameDuration));
    }
};

// The fraction the pin's format filter is set to.
std::string RateOf(Pin& pin) {
    CapsRef caps = pin.formatCaps();
    int num = 0, den = 0;
    if (!caps ||
        !gst_structure_get_fraction(gst_caps_get_structure(caps.get(), 0), "framerate", &num, &den))
        return "none";
    return std::to_string(num) + "/" + std::to_string(den);
}

// Guards formats on devices with fixed rates: the frame durations the format
// dialog writes (333333 for 30, 333667 for 29.97) and the device's own NTSC
// rate read back are applied as the nearest offered rate, together with the
// size, and the pin then reports what it applied; a rate far from every
// offered one is still refused.
TEST_F(GraphTest, FixedRateDeviceTakesTheNearestRateItOffers) {
    auto device = std::make_shared<FixedRateCapture>("filterVideoCap");
    graph->addFilter(device);
    Pin* preview = FilterGraph::FindPinByName(*device, "Preview");
    ASSERT_NE(preview, nullptr);

    ASSERT_EQ(preview->SetFormat(Video(subtype::YUY2, 320, 240)), status::S_OK);
    EXPECT_EQ(RateOf(*preview), "25/1");

    MediaType type = VideoFormat(subtype::YUY2, 640, 480, 333333);
    ASSERT_EQ(preview->SetFormat(type), status::S_OK);
    EXPECT_EQ(RateOf(*preview), "30/1");
    ASSERT_EQ(preview->GetFormat(type), status::S_OK);
    EXPECT_EQ(type.video.biWidth, 640);
    EXPECT_EQ(type.video.biHeight, 480);
    EXPECT_EQ(type.video.AvgTimePerFrame, 333333);

    ASSERT_EQ(preview->SetFormat(VideoFormat(subtype::YUY2, 320, 240, 333667)), status::S_OK);
    EXPECT_EQ(RateOf(*preview), "30000/1001");
    ASSERT_EQ(preview->GetFormat(type), status::S_OK);
    EXPECT_EQ(type.video.biWidth, 320);
    EXPECT_EQ(type.video.AvgTimePerFrame, 333667);
    // What the pin reports goes back unchanged.
    ASSERT_EQ(preview->SetFormat(type), status::S_OK);
    EXPECT_EQ(RateOf(*preview), "30000/1001");
    // So does the duration 30000/1001 truncates to.
    ASSERT_EQ(preview->SetFormat(VideoFormat(subtype::YUY2, 640, 480, 333666)), status::S_OK);
    EXPECT_EQ(RateOf(*preview), "30000/1001");
    ASSERT_EQ(preview->GetFormat(type), status::S_OK);
    EXPECT_EQ(type.video.biWidth, 640);

    // 20 frames per second is offered nowhere, 15 only at 320x240: refused,
    // and the pin keeps its format.
    EXPECT_EQ(preview->SetFormat(VideoFormat(subtype::YUY2, 320, 240, 500000)),
              status::VFW_E_INVALIDMEDIATYPE);
    EXPECT_EQ(preview->SetFormat(VideoFormat(subtype::YUY2, 640, 480, 666667)),
              status::VFW_E_INVALIDMEDIATYPE);
    ASSERT_EQ(preview->GetFormat(type), status::S_OK);
    EXPECT_EQ(type.video.biWidth, 640);
    EXPECT_EQ(RateOf(*preview), "30000/1001");
    ASSERT_EQ(preview->SetFormat(VideoFormat(subtype::YUY2, 320, 240, 666667)), status::S_OK);
    EXPECT_EQ(RateOf(*preview), "15/1");

    // The device streams the applied format (set after wiring, as a build
    // does).
    Filter& sink = graph->insertElement("fakesink", "sink");
    Pin* input = FilterGraph::FindPinByName(sink, "sink");
    ASSERT_NE(input, nullptr);
    ASSERT_EQ(graph->Connect(*preview, *input), status::S_OK);
    ASSERT_EQ(preview->SetFormat(VideoFormat(subtype::YUY2, 640, 480, 333667)), status::S_OK);
    graph->Run();
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            CapsRef current(gst_pad_get_current_caps(preview->pad()));
            return static_cast<bool>(current);
        },
        5000));
    CapsRef flowing(gst_pad_get_current_caps(preview->pad()));
    const GstStructure* flowingFormat = gst_caps_get_structure(flowing.get(), 0);
    int num = 0, den = 0, width = 0;
    ASSERT_TRUE(gst_structure_get_fraction(flowingFormat, "framerate", &num, &den));
    EXPECT_EQ(std::to_string(num) + "/" + std::to_string(den), "30000/1001");
    ASSERT_TRUE(gst_structure_get_int(flowingFormat, "width", &width));
    EXPECT_EQ(width, 640);
    ASSERT_EQ(preview->GetFormat(type), status::S_OK);
    EXPECT_EQ(type.video.AvgTimePerFrame, 333667);
    graph->Stop();
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
