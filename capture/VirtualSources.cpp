#include "capture/VirtualSources.h"

#include "capture/V4l2Tuner.h"

#include "capture/VirtualTvCard.h"

#include <array>

namespace qeltv {

namespace {

// videotestsrc patterns and waves by their enum values.
constexpr int kPatternSnow = 1;
constexpr int kWaveSine = 0;
constexpr int kWaveSilence = 4;
// Pixels per frame the picture scrolls, so a frozen stream shows at once.
constexpr int kScrollPixelsPerFrame = 2;
constexpr double kToneVolume = 0.3;
// Formats a V4L2 device lists at most as offered formats.
constexpr std::size_t kMaxOfferedDeviceFormats = 32;

constexpr int kVirtualMinimumSize = 32;
constexpr int kVirtualMaximumWidth = 1920;
constexpr int kVirtualMaximumHeight = 1088;
constexpr int kVirtualMaximumRate = 60;

constexpr std::array<int, 6> kPcmRates_hz{44100, 48000, 32000, 22050, 11025, 8000};

GstElement* MakeElement(const char* factory, const std::string& where) {
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (!element)
        throw CaptureError(where + ": the element " + factory + " is not installed",
                           status::E_NOTFOUND);
    return element;
}

// Keeps a tee branch whose pin is not linked out of the stream: its buffers
// are dropped, so an unused pin costs no conversion and raises no not-linked
// error, and it takes no part in the format, so a format set on the unused
// pin (a capture rate above the preview's, say) cannot refuse the one in use.
// Links change only while the graph is stopped.
GstPadProbeReturn DropWhenPinUnlinked(GstPad*, GstPadProbeInfo* info, gpointer ghostPad) {
    if (gst_pad_is_linked(GST_PAD(ghostPad)))
        return GST_PAD_PROBE_OK;
    if (info->type & GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM) {
        GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
        if (GST_QUERY_TYPE(query) == GST_QUERY_CAPS) {
            GstCaps* filter = nullptr;
            gst_query_parse_caps(query, &filter);
            const auto any = filter ? GstOwned<GstCaps>::ref(filter)
                                    : GstOwned<GstCaps>::adopt(gst_caps_new_any());
            gst_query_set_caps_result(query, any.get());
            return GST_PAD_PROBE_HANDLED;
        }
        if (GST_QUERY_TYPE(query) == GST_QUERY_ACCEPT_CAPS) {
            gst_query_set_accept_caps_result(query, TRUE);
            return GST_PAD_PROBE_HANDLED;
        }
        return GST_PAD_PROBE_OK;
    }
    if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM)
        return GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_CAPS ? GST_PAD_PROBE_DROP
                                                                                : GST_PAD_PROBE_OK;
    return GST_PAD_PROBE_DROP;
}

GstPad* GhostSource(GstElement* bin, GstElement* element, const char* name) {
    const auto target = GstOwned<GstPad>::adopt(gst_element_get_static_pad(element, "src"));
    GstPad* ghost = gst_ghost_pad_new(name, target.get());
    gst_pad_set_active(ghost, TRUE);
    gst_element_add_pad(bin, ghost);
    return ghost;
}

} // namespace

MediaType PcmFormat(int rate_hz, int bits, int channels) {
    CapsRef caps(gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING,
                                     bits == 8    ? "U8"
                                     : bits == 24 ? "S24LE"
                                     : bits == 32 ? "S32LE"
                                                  : "S16LE",
                                     "rate", G_TYPE_INT, rate_hz, "channels", G_TYPE_INT, channels,
                                     nullptr));
    return MediaTypeFromCaps(caps.get());
}

std::vector<MediaType> PcmFormats() {
    std::vector<MediaType> formats;
    for (int rate : kPcmRates_hz)
        for (int bits : {16, 8})
            for (int channels : {2, 1})
                formats.push_back(PcmFormat(rate, bits, channels));
    return formats;
}

MediaType VideoFormat(std::uint32_t subtypeCode, int width, int height,
                      std::int64_t avgTimePerFrame) {
    MediaType type;
    type.majortype = MajorType::Video;
    type.subtype = subtypeCode;
    type.formattype = FormatType::VideoInfo;
    type.video.biWidth = width;
    type.video.biHeight = height;
    type.video.AvgTimePerFrame = avgTimePerFrame;
    // Round trip through caps fills bit count, compression and image size.
    CapsRef caps = MediaTypeToCaps(type);
    return caps ? MediaTypeFromCaps(caps.get()) : type;
}

// ---------------------------------------------------------------- video

VideoCaptureFilter::VideoCaptureFilter(GstElement* bin, std::string name, std::string moniker,
                                       GstElement* source)
    : Filter(bin, std::move(name), std::move(moniker)), source_(source) {}

void VideoCaptureFilter::buildPins(GstElement* native, GstElement* last, CapsRef deliverable,
                                   std::vector<MediaType> offered, const MediaType& initial) {
    native_ = native;
    GstElement* bin = element();
    GstElement* tee = MakeElement("tee", name());
    g_object_set(tee, "allow-not-linked", TRUE, nullptr);
    gst_bin_add(GST_BIN(bin), tee);
    gst_element_link(last, tee);
    CapsRef initialCaps = MediaTypeToCaps(initial);
    g_object_set(native_, "caps", initialCaps.get(), nullptr);
    for (const char* pinName : {"Capture", "Preview"}) {
        GstElement* convert = MakeElement("videoconvert", name());
        GstElement* scale = MakeElement("videoscale", name());
        GstElement* rate = MakeElement("videorate", name());
        GstElement* format = MakeElement("capsfilter", name());
        g_object_set(rate, "drop-only", TRUE, nullptr);
        g_object_set(format, "caps", initialCaps.get(), nullptr);
        gst_bin_add_many(GST_BIN(bin), convert, scale, rate, format, nullptr);
        gst_element_link_many(convert, scale, rate, format, nullptr);
        const auto teePad = GstOwned<GstPad>::adopt(gst_element_request_pad_simple(tee, "src_%u"));
        const auto convertSink =
            GstOwned<GstPad>::adopt(gst_element_get_static_pad(convert, "sink"));
        gst_pad_link(teePad.get(), convertSink.get());
        GstPad* ghost = GhostSource(bin, format, pinName);
        gst_pad_add_probe(teePad.get(),
                          static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                       GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                                       GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM),
                          DropWhenPinUnlinked, ghost, nullptr);
        Pin& pin = addPin(pinName, PinDirection::Output, MediaKind::Video, ghost);
        pin.setFormatFilter(format, deliverable, offered);
    }
}

void VideoCaptureFilter::prepareToRun() {
    Pin* preview = nullptr;
    Pin* capture = nullptr;
    for (Pin* pin : pins()) {
        if (pin->name() == "Preview")
            preview = pin;
        else if (pin->name() == "Capture")
            capture = pin;
    }
    Pin* leading = preview;
    if (capture && capture->IsConnected() && !(preview && preview->IsConnected()))
        leading = capture;
    if (!leading || !native_)
        return;
    CapsRef caps = leading->formatCaps();
    if (caps)
        g_object_set(native_, "caps", caps.get(), nullptr);
}

VirtualVideoCapture::VirtualVideoCapture(std::string name, std::string moniker,
                                         CaptureContext& context)
    : VideoCaptureFilter(gst_bin_new(nullptr), name, std::move(moniker),
                         MakeElement("videotestsrc", name)),
      card_(context.card), tuner_(context.card, context.autoTune), crossbar_(context.card) {
    GstElement* bin = element();
    testSource_ = configurable();
    g_object_set(testSource_, "is-live", TRUE, "horizontal-speed", kScrollPixelsPerFrame, nullptr);
    GstElement* native = MakeElement("capsfilter", name);
    stationName_ = MakeElement("textoverlay", name);
    g_object_set(stationName_, "font-desc", "Sans Bold 20", "halignment", 2 /* right */,
                 "valignment", 2 /* top */, "shaded-background", TRUE, nullptr);
    // The card's picture controls act here, before the burned-in texts.
    GstElement* balance = MakeElement("videobalance", name);
    balanceControls_ = std::make_unique<BalancePictureControls>(balance);
    GstElement* clock = MakeElement("clockoverlay", name);
    g_object_set(clock, "time-format", "%H:%M:%S", "font-desc", "Monospace Bold 16", "halignment",
                 2 /* right */, "valignment", 1 /* bottom */, "shaded-background", TRUE, nullptr);
    gst_bin_add_many(GST_BIN(bin), testSource_, native, balance, stationName_, clock, nullptr);
    gst_element_link_many(testSource_, native, balance, stationName_, clock, nullptr);

    CapsRef deliverable(gst_caps_new_simple(
        "video/x-raw", "width", GST_TYPE_INT_RANGE, kVirtualMinimumSize, kVirtualMaximumWidth,
        "height", GST_TYPE_INT_RANGE, kVirtualMinimumSize, kVirtualMaximumHeight, "framerate",
        GST_TYPE_FRACTION_RANGE, 1, 1, kVirtualMaximumRate, 1, nullptr));
    GstOwnedValue formats;
    gst_value_list_init(formats.get(), 6);
    for (const char* f : {"YUY2", "UYVY", "I420", "BGR", "BGRx", "GRAY8"}) {
        GValue v = G_VALUE_INIT;
        g_value_init(&v, G_TYPE_STRING);
        g_value_set_string(&v, f);
        // The list takes the string over and leaves `v` empty.
        gst_value_list_append_and_take_value(formats.get(), &v);
    }
    gst_caps_set_value(deliverable.get(), "format", formats.get());

    std::vector<MediaType> offered;
    for (auto [w, h] : {std::pair{640, 480}, {320, 240}, {720, 576}, {160, 120}})
        offered.push_back(VideoFormat(subtype::YUY2, w, h, kDefaultFrameDuration));
    for (std::uint32_t code : {subtype::RGB24, subtype::RGB32, subtype::I420})
        offered.push_back(
            VideoFormat(code, kDefaultCaptureWidth, kDefaultCaptureHeight, kDefaultFrameDuration));
    buildPins(native, clock, deliverable, offered, offered.front());
    showReceived();
    listener_ = card_.addListener([this] { showReceived(); });
}

VirtualVideoCapture::~VirtualVideoCapture() {
    card_.removeListener(listener_);
}

void VirtualVideoCapture::showReceived() {
    const VirtualStation* station = card_.received();
    // Most steps of a scan go from snow to snow; setting the source's
    // properties waits for the frame it is drawing.
    if (shown_ && *shown_ == station)
        return;
    shown_ = station;
    if (station) {
        g_object_set(testSource_, "pattern", station->pattern, "foreground-color",
                     station->foreground_argb, "background-color", station->background_argb,
                     nullptr);
        g_object_set(stationName_, "text", station->name.c_str(), "silent", FALSE, nullptr);
    } else {
        g_object_set(testSource_, "pattern", kPatternSnow, nullptr);
        g_object_set(stationName_, "text", "", "silent", TRUE, nullptr);
    }
}

V4l2VideoCapture::V4l2VideoCapture(std::string name, std::string moniker,
                                   const std::string& devicePath, AutoTuneStore& autoTune)
    : VideoCaptureFilter(gst_bin_new(nullptr), name, std::move(moniker),
                         MakeElement("v4l2src", name)) {
    // A webcam has no tuner and perhaps no inputs to route: then there are
    // none, as on a graph without them.
    try {
        tuner_ = std::make_unique<V4l2Tuner>(devicePath, autoTune);
    } catch (const CaptureError& e) {
        GST_INFO("%s: no tuner: %s", devicePath.c_str(), e.what());
    }
    try {
        crossbar_ = std::make_unique<V4l2Crossbar>(devicePath);
    } catch (const CaptureError& e) {
        GST_INFO("%s: no crossbar: %s", devicePath.c_str(), e.what());
    }
    try {
        controls_ = std::make_unique<V4l2PictureControls>(devicePath);
    } catch (const CaptureError& e) {
        GST_INFO("%s: no picture controls: %s", devicePath.c_str(), e.what());
    }
    GstElement* source = configurable();
    g_object_set(source, "device", devicePath.c_str(), nullptr);
    // The formats the device delivers, asked while it is open.
    if (gst_element_set_state(source, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
        gst_element_set_state(source, GST_STATE_NULL);
        throw CaptureError("open " + devicePath + ": the device cannot be opened",
                           status::E_NOTFOUND);
    }
    CapsRef deliverable(gst_pad_query_caps(
        GstOwned<GstPad>::adopt(gst_element_get_static_pad(source, "src")).get(), nullptr));
    gst_element_set_state(source, GST_STATE_NULL);

    std::vector<MediaType> offered;
    for (guint i = 0;
         i < gst_caps_get_size(deliverable.get()) && offered.size() < kMaxOfferedDeviceFormats;
         ++i) {
        CapsRef one(gst_caps_copy_nth(deliverable.get(), i));
        one = CapsRef(gst_caps_fixate(gst_caps_ref(one.get())));
        MediaType type = MediaTypeFromCaps(one.get());
        if (type.majortype == MajorType::Video)
            offered.push_back(type);
    }
    MediaType initial = VideoFormat(subtype::YUY2, kDefaultCaptureWidth, kDefaultCaptureHeight,
                                    kDefaultFrameDuration);
    CapsRef initialCaps = MediaTypeToCaps(initial);
    if (!gst_caps_can_intersect(initialCaps.get(), deliverable.get()) && !offered.empty())
        initial = offered.front();

    GstElement* native = MakeElement("capsfilter", name);
    gst_bin_add_many(GST_BIN(element()), source, native, nullptr);
    gst_element_link(source, native);
    buildPins(native, native, deliverable, offered, initial);
}

// ---------------------------------------------------------------- audio

AudioCaptureFilter::AudioCaptureFilter(GstElement* bin, std::string name, std::string moniker,
                                       GstElement* source)
    : Filter(bin, std::move(name), std::move(moniker)), source_(source) {}

void AudioCaptureFilter::buildOutput(GstElement* last) {
    GstElement* bin = element();
    GstElement* convert = MakeElement("audioconvert", name());
    GstElement* resample = MakeElement("audioresample", name());
    GstElement* format = MakeElement("capsfilter", name());
    const MediaType initial =
        PcmFormat(kDefaultSampleRate_hz, kDefaultAudioBits, kDefaultAudioChannels);
    g_object_set(format, "caps", MediaTypeToCaps(initial).get(), nullptr);
    gst_bin_add_many(GST_BIN(bin), convert, resample, format, nullptr);
    gst_element_link_many(last, convert, resample, format, nullptr);
    GstPad* ghost = GhostSource(bin, format, "Capture");
    CapsRef deliverable(gst_caps_from_string(
        "audio/x-raw, format=(string){ S16LE, U8, S24LE, S32LE }, rate=(int)[ 8000, 96000 ], "
        "channels=(int)[ 1, 2 ], layout=(string)interleaved"));
    Pin& pin = addPin("Capture", PinDirection::Output, MediaKind::Audio, ghost);
    pin.setFormatFilter(format, deliverable, PcmFormats());
}

VirtualAudioCapture::VirtualAudioCapture(std::string name, std::string moniker, VirtualTvCard& card)
    : AudioCaptureFilter(gst_bin_new(nullptr), name, std::move(moniker),
                         MakeElement("audiotestsrc", name)),
      card_(card) {
    tone_ = configurable();
    g_object_set(tone_, "is-live", TRUE, "volume", kToneVolume, nullptr);
    gst_bin_add(GST_BIN(element()), tone_);
    buildOutput(tone_);
    const auto& lines = VirtualTvCard::mixerLines();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const int line = static_cast<int>(i);
        Pin& pin = addPin(lines[i], PinDirection::Input, MediaKind::Audio, nullptr);
        pin.setMixer([this, line] { return card_.lineEnabled(line); },
                     [this, line](bool enable) {
                         card_.setLineEnabled(line, enable);
                         playReceived();
                     });
    }
    playReceived();
    listener_ = card_.addListener([this] { playReceived(); });
}

VirtualAudioCapture::~VirtualAudioCapture() {
    card_.removeListener(listener_);
}

void VirtualAudioCapture::playReceived() {
    constexpr int kTunerLine = 0;
    const VirtualStation* station = card_.receivedAudio();
    const VirtualStation* heard = card_.lineEnabled(kTunerLine) ? station : nullptr;
    // As the picture: unchanged sound is not set again.
    if (heard_ && *heard_ == heard)
        return;
    heard_ = heard;
    if (heard)
        g_object_set(tone_, "wave", kWaveSine, "freq", station->tone_hz, nullptr);
    else
        g_object_set(tone_, "wave", kWaveSilence, nullptr);
}

DeviceAudioCapture::DeviceAudioCapture(std::string name, std::string moniker, const char* factory,
                                       const char* deviceProperty, const std::string& device)
    : AudioCaptureFilter(gst_bin_new(nullptr), name, std::move(moniker),
                         MakeElement(factory, name)) {
    GstElement* source = configurable();
    if (!device.empty() && deviceProperty)
        g_object_set(source, deviceProperty, device.c_str(), nullptr);
    GstElement* volume = MakeElement("volume", name);
    gst_bin_add_many(GST_BIN(element()), source, volume, nullptr);
    gst_element_link(source, volume);
    buildOutput(volume);
    Pin& pin = addPin("Master", PinDirection::Input, MediaKind::Audio, nullptr);
    pin.setMixer(
        [volume] {
            gboolean mute = FALSE;
            g_object_get(volume, "mute", &mute, nullptr);
            return !mute;
        },
        [volume](bool enable) { g_object_set(volume, "mute", enable ? FALSE : TRUE, nullptr); });
}

} // namespace qeltv
