#include "capture/Devices.h"

#include "capture/AudioEncoderTrials.h"
#include "capture/GstRef.h"
#include "capture/VideoRenderer.h"
#include "capture/VirtualSources.h"
#include "capture/WebmWriter.h"
#include "common/UniqueFd.h"

#include <gst/pbutils/pbutils.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <linux/videodev2.h>
#include <mutex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace qeltv {

template <> struct GstRefTraits<GstDiscoverer> : GObjectRefTraits<GstDiscoverer> {};
template <> struct GstRefTraits<GstDiscovererInfo> : GObjectRefTraits<GstDiscovererInfo> {};

namespace {

constexpr const char* kCacheFileName = "compressors.txt";
// Version 4: the trial is a live recording with sound, read back and every
// frame decoded, with the encoders at their real-time settings.
constexpr const char* kCacheHeader = "qeltv-compressors 4";
// Trial recording: this many frames at this size and rate, and sound of the
// same length.
constexpr int kTrialVideoBuffers = 10;
constexpr int kTrialFramesPerSecond = 25;
constexpr int kTrialWidth = 320;
constexpr int kTrialHeight = 240;
constexpr int kTrialSampleRate_hz = 44100;
constexpr int kTrialSamplesPerBuffer = kTrialSampleRate_hz / kTrialFramesPerSecond;
constexpr int kTrialAudioBuffers = kTrialVideoBuffers;
// Trials that run at the same time.
constexpr std::size_t kMaxParallelTrials = 8;
// Pictures held before a video compressor: a live source never waits for
// a compressor that cannot keep up; beyond this the oldest pictures are
// dropped (and counted as dropped frames of the recording).
constexpr guint64 kPictureQueueTime_ns = 1'000'000'000ULL;
// Sound held before the audio compressor while the video compressor lags.
constexpr guint64 kSoundQueueTime_ns = 5'000'000'000ULL;
// The video compressor beside an audio compressor on trial.
constexpr const char* kTrialPartnerVideoEncoder = "jpegenc";
// How far the trial file's length may lie from the frames recorded.
constexpr GstClockTime kTrialDurationTolerance_ns = 2 * GST_SECOND / kTrialFramesPerSecond;
// Longest wait for reading a trial file back.
constexpr GstClockTime kDiscovererTimeout_ns = 5 * GST_SECOND;
// Audio encoders without a usable bitrate default get this one (kbit/s).
constexpr int kDefaultAudioBitrate_kbps = 128;

std::string Truncated(std::string text, std::size_t limit) {
    if (text.size() > limit)
        text.resize(limit);
    return text;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

GstElement* Make(const char* factory, const std::string& where) {
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (!element)
        throw CaptureError(where + ": the element " + factory + " is not installed",
                           status::E_NOTFOUND);
    return element;
}

GstPad* Ghost(GstElement* bin, GstElement* element, const char* padName, const char* name) {
    auto target = GstOwned<GstPad>::adopt(gst_element_get_static_pad(element, padName));
    GstPad* ghost = gst_ghost_pad_new(name, target.get());
    gst_pad_set_active(ghost, TRUE);
    gst_element_add_pad(bin, ghost);
    return ghost;
}

// ------------------------------------------------------------ compressor filters

// Some libav encoders (the MPEG-4 part 2 one among them) stamp their frames
// with libav's "no time" value, which reads as a time past 292 years. The
// AVI muxer takes the stream with the earliest time first, so such frames
// would wait behind the live audio for ever and the recording would stall.
// Without a time a frame is taken at once; AVI places frames by their count.
GstPadProbeReturn ClearNegativeTimestamps(GstPad*, GstPadProbeInfo* info, gpointer) {
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    const auto negative = [](GstClockTime t) {
        return GST_CLOCK_TIME_IS_VALID(t) && t > static_cast<GstClockTime>(G_MAXINT64);
    };
    if (!negative(GST_BUFFER_PTS(buffer)) && !negative(GST_BUFFER_DTS(buffer)))
        return GST_PAD_PROBE_OK;
    buffer = gst_buffer_make_writable(buffer);
    if (negative(GST_BUFFER_PTS(buffer)))
        GST_BUFFER_PTS(buffer) = GST_CLOCK_TIME_NONE;
    if (negative(GST_BUFFER_DTS(buffer)))
        GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    return GST_PAD_PROBE_OK;
}

// Real-time settings of the encoders whose own defaults favour quality over
// speed: a recording is live, and a frame the encoder cannot take in time is
// lost. Each stays a property the configuration dialog shows and changes.
struct RealtimeSetting {
    const char* factory;
    const char* property;
    const char* value; // as gst_util_set_object_arg reads it
};
constexpr RealtimeSetting kRealtimeSettings[] = {
    // libvpx: a deadline of 1 is its real-time mode; cpu-used trades quality
    // for speed.
    {"vp8enc", "deadline", "1"},
    {"vp8enc", "cpu-used", "8"},
    {"vp8enc", "threads", "0"},
    // x264: no look-ahead or B-frames held back, a fast preset.
    {"x264enc", "speed-preset", "superfast"},
    {"x264enc", "tune", "zerolatency"},
    // libav's encoders run on one thread unless told otherwise.
    {"avenc_mpeg4", "threads", "auto"},
    {"avenc_msmpeg4", "threads", "auto"},
    {"avenc_msmpeg4v2", "threads", "auto"},
    {"avenc_wmv1", "threads", "auto"},
    {"avenc_wmv2", "threads", "auto"},
    {"avenc_mjpeg", "threads", "auto"},
    {"avenc_ljpeg", "threads", "auto"},
    {"avenc_h263p", "threads", "auto"},
    {"avenc_huffyuv", "threads", "auto"},
    {"avenc_ffv1", "threads", "auto"},
    // zlib's best compression takes several times a frame's duration.
    {"pngenc", "compression-level", "1"},
    {"avenc_png", "compression-level", "1"},
    {"avenc_png", "threads", "auto"},
};

// Encoders made for encoding files, not live pictures: mjpegtools' MPEG-2
// encoder takes several frame durations per frame at the capture format
// whatever its settings, so a recording through it loses frames.
constexpr const char* kOfflineEncoders[] = {"mpeg2enc"};

bool IsOfflineEncoder(const char* factory) {
    return std::any_of(std::begin(kOfflineEncoders), std::end(kOfflineEncoders),
                       [factory](const char* name) { return std::strcmp(name, factory) == 0; });
}

// Encoders that give one picture for each frame and hold nothing back, but
// whose library, asked to drain at the end of the stream, complains on the
// program's standard error (OpenH264's "cmInitParaError"): whatever they
// were given has already come out, so the end of the stream goes on past
// them without the drain.
constexpr const char* kEncodersWithoutDrain[] = {"openh264enc"};

bool EndsWithoutDrain(const std::string& factory) {
    return std::any_of(std::begin(kEncodersWithoutDrain), std::end(kEncodersWithoutDrain),
                       [&factory](const char* name) { return factory == name; });
}

// On the encoder's input: the end of the stream leaves from its output
// instead. An encoder that never produced anything has no stream started on
// its output and no drain to make; its end passes through as usual.
GstPadProbeReturn EndPastEncoder(GstPad* pad, GstPadProbeInfo* info, gpointer) {
    if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) != GST_EVENT_EOS)
        return GST_PAD_PROBE_OK;
    const auto encoder = GstOwned<GstElement>::adopt(gst_pad_get_parent_element(pad));
    if (!encoder)
        return GST_PAD_PROBE_OK;
    const auto output = GstOwned<GstPad>::adopt(gst_element_get_static_pad(encoder.get(), "src"));
    const auto segment = output ? GstOwned<GstEvent>::adopt(
                                      gst_pad_get_sticky_event(output.get(), GST_EVENT_SEGMENT, 0))
                                : GstOwned<GstEvent>();
    if (!segment)
        return GST_PAD_PROBE_OK;
    gst_pad_push_event(output.get(), gst_event_new_eos());
    return GST_PAD_PROBE_DROP;
}

class VideoCompressorFilter : public Filter {
public:
    VideoCompressorFilter(const std::string& name, const std::string& moniker,
                          const std::string& factory)
        : Filter(gst_bin_new(nullptr), name, moniker), encoder_(Make(factory.c_str(), name)) {
        for (const RealtimeSetting& setting : kRealtimeSettings) {
            if (factory == setting.factory &&
                g_object_class_find_property(G_OBJECT_GET_CLASS(encoder_), setting.property)) {
                gst_util_set_object_arg(G_OBJECT(encoder_), setting.property, setting.value);
                rememberOwnDefault(encoder_, setting.property);
            }
        }
        GstElement* queue = Make("queue", name);
        g_object_set(queue, "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time",
                     kPictureQueueTime_ns, "leaky", kLeakyDownstream, nullptr);
        GstElement* convert = Make("videoconvert", name);
        gst_bin_add_many(GST_BIN(element()), queue, convert, encoder_, nullptr);
        if (!gst_element_link_many(queue, convert, encoder_, nullptr))
            throw CaptureError(name + ": " + factory + " does not take raw video",
                               status::VFW_E_CANNOT_CONNECT);
        addPin("Input", PinDirection::Input, MediaKind::Video,
               Ghost(element(), queue, "sink", "Input"));
        GstPad* output = Ghost(element(), encoder_, "src", "Output");
        auto encoderSource = GstOwned<GstPad>::adopt(gst_element_get_static_pad(encoder_, "src"));
        gst_pad_add_probe(encoderSource.get(), GST_PAD_PROBE_TYPE_BUFFER, ClearNegativeTimestamps,
                          nullptr, nullptr);
        addPin("Output", PinDirection::Output, MediaKind::Video, output);
        if (EndsWithoutDrain(factory)) {
            auto encoderSink =
                GstOwned<GstPad>::adopt(gst_element_get_static_pad(encoder_, "sink"));
            gst_pad_add_probe(encoderSink.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
                              EndPastEncoder, nullptr, nullptr);
        }
    }
    GstElement* configurable() const override { return encoder_; }
    bool hasInputQueue() const override { return true; }

private:
    GstElement* encoder_;
};

// The audio compressor: the input is converted to the chosen rate and
// channels, then encoded (or passed on as PCM). Its output pin offers the
// formats of the format list.
class AudioCompressorFilter : public Filter {
public:
    // trials: the session's answers on which formats the encoder takes;
    // without them each format is tried when the filter is made.
    AudioCompressorFilter(const std::string& name, const std::string& moniker,
                          const std::string& factory, AudioEncoderTrials* trials = nullptr)
        : Filter(gst_bin_new(nullptr), name, moniker), factory_(factory), trials_(trials) {
        GstElement* queue = Make("queue", name);
        // Sound waits here while the video compressor catches up: the muxer
        // interleaves by time, and a full queue would block the live sound
        // source, whose lost time never comes back.
        g_object_set(queue, "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time",
                     kSoundQueueTime_ns, nullptr);
        GstElement* convert = Make("audioconvert", name);
        GstElement* resample = Make("audioresample", name);
        input_ = Make("capsfilter", name);
        gst_bin_add_many(GST_BIN(element()), queue, convert, resample, input_, nullptr);
        gst_element_link_many(queue, convert, resample, input_, nullptr);
        addPin("Input", PinDirection::Input, MediaKind::Audio,
               Ghost(element(), queue, "sink", "Input"));
        if (factory.empty()) {
            // Uncompressed: the format filter is the output format.
            const MediaType initial =
                PcmFormat(kDefaultSampleRate_hz, kDefaultAudioBits, kDefaultAudioChannels);
            g_object_set(input_, "caps", MediaTypeToCaps(initial).get(), nullptr);
            Pin& out = addPin("Output", PinDirection::Output, MediaKind::Audio,
                              Ghost(element(), input_, "src", "Output"));
            out.setFormatFilter(
                input_,
                CapsRef(gst_caps_from_string("audio/x-raw, format=(string){ S16LE, U8, S24LE, "
                                             "S32LE }, rate=(int)[ 1000, 96000 ]")),
                PcmFormats());
            return;
        }
        encoder_ = Make(factory.c_str(), name);
        gst_bin_add(GST_BIN(element()), encoder_);
        if (!gst_element_link(input_, encoder_))
            throw CaptureError(name + ": " + factory + " does not take raw audio",
                               status::VFW_E_CANNOT_CONNECT);
        buildFormats();
        auto encoderSource = GstOwned<GstPad>::adopt(gst_element_get_static_pad(encoder_, "src"));
        gst_pad_add_probe(encoderSource.get(), GST_PAD_PROBE_TYPE_BUFFER, ClearNegativeTimestamps,
                          nullptr, nullptr);
        Pin& out = addPin("Output", PinDirection::Output, MediaKind::Audio,
                          Ghost(element(), encoder_, "src", "Output"));
        out.setConfigure([this](const CapsRef& caps) { return apply(caps); },
                         [this] { return MediaTypeToCaps(current_); }, formats_);
        if (!formats_.empty())
            apply(MediaTypeToCaps(formats_.front()));
    }
    GstElement* configurable() const override { return encoder_ ? encoder_ : input_; }
    bool hasInputQueue() const override { return true; }

private:
    int bitrate_kbps() const {
        const int kbps = EncoderBitrate_kbps(encoder_);
        return kbps > 0 ? kbps : kDefaultAudioBitrate_kbps;
    }

    // Whether the encoder takes this format at this bitrate: asked of the
    // session's trials when there are any, otherwise tried now.
    bool encodes(int rate_hz, int channels, int kbps) const {
        return trials_ ? trials_->Encodes(factory_, rate_hz, channels, kbps)
                       : TrialAudioEncode(factory_, rate_hz, channels, kbps);
    }

    // The bitrate a format is offered at: the encoder's own when it encodes
    // the format with it, otherwise the highest lower one that does; 0 when
    // none does and the format is not offered.
    int workingBitrate(int rate_hz, int channels, int kbps, const GstCaps* output) const {
        const int limit = MpegAudioBitrateLimit_kbps(output, rate_hz);
        if (limit > 0 && kbps > limit) {
            for (int lower : kAudioTrialBitrates_kbps)
                if (lower <= limit && encodes(rate_hz, channels, lower))
                    return lower;
            return 0;
        }
        if (encodes(rate_hz, channels, kbps))
            return kbps;
        for (int lower : kAudioTrialBitrates_kbps)
            if (lower < kbps && encodes(rate_hz, channels, lower))
                return lower;
        return 0;
    }

    void buildFormats() {
        auto sink = GstOwned<GstPad>::adopt(gst_element_get_static_pad(encoder_, "sink"));
        auto src = GstOwned<GstPad>::adopt(gst_element_get_static_pad(encoder_, "src"));
        CapsRef accepted(gst_pad_query_caps(sink.get(), nullptr));
        CapsRef produced(gst_pad_get_pad_template_caps(src.get()));
        if (gst_caps_is_empty(produced.get()))
            return;
        const int kbps = bitrate_kbps();
        for (int rate : {44100, 48000, 32000, 22050, 11025, 8000}) {
            for (int channels : {2, 1}) {
                CapsRef probe(gst_caps_new_simple("audio/x-raw", "rate", G_TYPE_INT, rate,
                                                  "channels", G_TYPE_INT, channels, nullptr));
                if (!gst_caps_can_intersect(probe.get(), accepted.get()))
                    continue;
                CapsRef out(gst_caps_copy_nth(produced.get(), 0));
                gst_caps_set_simple(out.get(), "rate", G_TYPE_INT, rate, "channels", G_TYPE_INT,
                                    channels, nullptr);
                out = CapsRef(gst_caps_fixate(gst_caps_ref(out.get())));
                MediaType type = MediaTypeFromCaps(out.get());
                if (type.majortype != MajorType::Audio)
                    continue;
                const int working = workingBitrate(rate, channels, kbps, out.get());
                if (working == 0)
                    continue;
                type.audio.nAvgBytesPerSec =
                    static_cast<std::uint32_t>(working * kBitsPerKilobit / kBitsPerByte);
                formats_.push_back(type);
            }
        }
    }

    HResult apply(const CapsRef& caps) {
        const MediaType wanted = MediaTypeFromCaps(caps.get());
        if (wanted.majortype != MajorType::Audio)
            return status::VFW_E_INVALIDMEDIATYPE;
        auto offered = std::find_if(formats_.begin(), formats_.end(), [&](const MediaType& f) {
            return f.subtype == wanted.subtype &&
                   f.audio.nSamplesPerSec == wanted.audio.nSamplesPerSec &&
                   f.audio.nChannels == wanted.audio.nChannels;
        });
        if (offered == formats_.end())
            return status::VFW_E_INVALIDMEDIATYPE;
        CapsRef input(gst_caps_new_simple(
            "audio/x-raw", "rate", G_TYPE_INT, static_cast<int>(wanted.audio.nSamplesPerSec),
            "channels", G_TYPE_INT, static_cast<int>(wanted.audio.nChannels), nullptr));
        g_object_set(input_, "caps", input.get(), nullptr);
        current_ = *offered;
        // A bitrate the encoder refuses at this format (a graph file saved
        // before the formats were tried, say) would stop the recording on
        // its first buffer: the format's own bitrate is used instead.
        const int wantedKbps =
            static_cast<int>(wanted.audio.nAvgBytesPerSec * kBitsPerByte / kBitsPerKilobit);
        const int offeredKbps =
            static_cast<int>(offered->audio.nAvgBytesPerSec * kBitsPerByte / kBitsPerKilobit);
        const int rate_hz = static_cast<int>(wanted.audio.nSamplesPerSec);
        const int limit = MpegAudioBitrateLimit_kbps(caps.get(), rate_hz);
        const bool wantedWorks =
            wantedKbps > 0 &&
            (wantedKbps == offeredKbps ||
             ((limit == 0 || wantedKbps <= limit) &&
              encodes(rate_hz, static_cast<int>(wanted.audio.nChannels), wantedKbps)));
        if (wantedWorks)
            current_.audio.nAvgBytesPerSec = wanted.audio.nAvgBytesPerSec;
        SetEncoderBitrate(encoder_, static_cast<int>(current_.audio.nAvgBytesPerSec * kBitsPerByte /
                                                     kBitsPerKilobit));
        return status::S_OK;
    }

    std::string factory_;
    AudioEncoderTrials* trials_;
    GstElement* input_ = nullptr;
    GstElement* encoder_ = nullptr;
    std::vector<MediaType> formats_;
    MediaType current_;
};

std::shared_ptr<Filter> PlainFilter(const char* factory, const std::string& name,
                                    const std::string& moniker) {
    GstElement* element = Make(factory, name);
    if (std::string(factory) == "fakesink")
        // Nothing is rendered to it: it must not hold the graph back waiting
        // for a first buffer.
        g_object_set(element, "async", FALSE, "sync", FALSE, nullptr);
    return std::make_shared<Filter>(element, name, moniker);
}

// An encoder is a video compressor when it takes raw video.
bool FactoryIsVideo(GstElementFactory* factory) {
    CapsRef raw(gst_caps_from_string("video/x-raw"));
    for (const GList* l = gst_element_factory_get_static_pad_templates(factory); l; l = l->next) {
        auto* templ = static_cast<GstStaticPadTemplate*>(l->data);
        if (templ->direction != GST_PAD_SINK)
            continue;
        CapsRef caps(gst_static_pad_template_get_caps(templ));
        if (gst_caps_can_intersect(caps.get(), raw.get()))
            return true;
    }
    return false;
}

} // namespace

std::shared_ptr<Filter> CreateFilter(const std::string& moniker, const std::string& name,
                                     CaptureContext& context) {
    if (moniker == kVirtualCardMoniker)
        return std::make_shared<VirtualVideoCapture>(name, moniker, context);
    if (moniker == kVirtualCardAudioMoniker)
        return std::make_shared<VirtualAudioCapture>(name, moniker, context.card);
    if (StartsWith(moniker, "v4l2:"))
        return std::make_shared<V4l2VideoCapture>(name, moniker, moniker.substr(5),
                                                  context.autoTune);
    if (StartsWith(moniker, "pulse:"))
        return std::make_shared<DeviceAudioCapture>(name, moniker, "pulsesrc", "device",
                                                    moniker.substr(6));
    if (StartsWith(moniker, "pipewire:"))
        return std::make_shared<DeviceAudioCapture>(name, moniker, "pipewiresrc", "target-object",
                                                    moniker.substr(9));
    if (StartsWith(moniker, "alsa:"))
        return std::make_shared<DeviceAudioCapture>(name, moniker, "alsasrc", "device",
                                                    moniker.substr(5));
    if (moniker == kPcmMoniker)
        return std::make_shared<AudioCompressorFilter>(name, moniker, std::string(),
                                                       context.audioTrials);
    if (StartsWith(moniker, "encoder:")) {
        const std::string factoryName = moniker.substr(8);
        auto factory =
            GstOwned<GstElementFactory>::adopt(gst_element_factory_find(factoryName.c_str()));
        if (!factory)
            throw CaptureError(name + ": the compressor " + factoryName + " is not installed",
                               status::E_NOTFOUND);
        const bool video = FactoryIsVideo(factory.get());
        if (video)
            return std::make_shared<VideoCompressorFilter>(name, moniker, factoryName);
        return std::make_shared<AudioCompressorFilter>(name, moniker, factoryName,
                                                       context.audioTrials);
    }
    if (moniker == kAviMuxMoniker)
        return PlainFilter("avimux", name, moniker);
    if (moniker == kFileWriterMoniker)
        return PlainFilter("filesink", name, moniker);
    if (moniker == kNullRendererMoniker)
        return PlainFilter("fakesink", name, moniker);
    if (moniker == kVideoRendererMoniker)
        return CreateVideoRendererFilter(name);
    if (moniker == kWebmWriterMoniker)
        return CreateWebmWriterFilter(name);
    if (StartsWith(moniker, "element:"))
        return PlainFilter(moniker.substr(8).c_str(), name, moniker);
    throw CaptureError(name + ": no device has the moniker " + moniker, status::E_NOTFOUND);
}

// ------------------------------------------------------------ capture devices

namespace {

struct ProbedDevice {
    std::string name;
    std::string moniker;
};

std::string ElementDeviceMoniker(GstElement* element) {
    GstElementFactory* factory = gst_element_get_factory(element);
    if (!factory)
        return {};
    const std::string factoryName = GST_OBJECT_NAME(factory);
    struct Backend {
        const char* factory;
        const char* property;
        const char* prefix;
    };
    static constexpr Backend kBackends[] = {{"v4l2src", "device", "v4l2:"},
                                            {"pulsesrc", "device", "pulse:"},
                                            {"pipewiresrc", "target-object", "pipewire:"},
                                            {"alsasrc", "device", "alsa:"}};
    for (const Backend& backend : kBackends) {
        if (factoryName != backend.factory)
            continue;
        if (!g_object_class_find_property(G_OBJECT_GET_CLASS(element), backend.property))
            return {};
        GstOwned<gchar> value;
        g_object_get(element, backend.property, value.out(), nullptr);
        return value ? std::string(backend.prefix) + value.get() : std::string();
    }
    return {};
}

// Probes the platform's devices of a class on a worker thread and waits at
// most timeout_ms; a probe that does not come back is left behind.
std::vector<ProbedDevice> ProbeDevices(const char* deviceClass, int timeout_ms) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::vector<ProbedDevice> devices;
    };
    auto shared = std::make_shared<Shared>();
    std::string cls = deviceClass;
    std::thread([shared, cls] {
        std::vector<ProbedDevice> found;
        auto monitor = GstOwned<GstDeviceMonitor>::adopt(gst_device_monitor_new());
        gst_device_monitor_add_filter(monitor.get(), cls.c_str(), nullptr);
        auto devices = GstOwnedObjectList::adopt(gst_device_monitor_get_devices(monitor.get()));
        for (GList* l = devices.get(); l; l = l->next) {
            GstDevice* device = GST_DEVICE(l->data);
            auto element = GstOwned<GstElement>::sink(gst_device_create_element(device, nullptr));
            if (!element)
                continue;
            const std::string moniker = ElementDeviceMoniker(element.get());
            auto display = GstOwned<gchar>::adopt(gst_device_get_display_name(device));
            if (!moniker.empty())
                found.push_back({display ? display.get() : moniker, moniker});
        }
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->devices = std::move(found);
        shared->finished = true;
        shared->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(shared->mutex);
    if (!shared->done.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                               [&] { return shared->finished; }))
        return {};
    return shared->devices;
}

// FNV-1a: a stable hash for the cache key.
std::uint64_t Fnv1a(const std::string& text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

// The length of a media file as GStreamer's discoverer reads it; nothing
// when the file does not read or has no video stream.
std::optional<GstClockTime> DiscoveredDuration(const std::string& file) {
    GstOwned<GError> error;
    auto discoverer =
        GstOwned<GstDiscoverer>::adopt(gst_discoverer_new(kDiscovererTimeout_ns, error.out()));
    if (!discoverer)
        return std::nullopt;
    auto uri = GstOwned<gchar>::adopt(gst_filename_to_uri(file.c_str(), nullptr));
    auto info = GstOwned<GstDiscovererInfo>::adopt(
        gst_discoverer_discover_uri(discoverer.get(), uri.get(), error.out()));
    if (!info || gst_discoverer_info_get_result(info.get()) != GST_DISCOVERER_OK)
        return std::nullopt;
    GList* streams = gst_discoverer_info_get_video_streams(info.get());
    const bool hasVideo = streams != nullptr;
    gst_discoverer_stream_info_list_free(streams);
    if (!hasVideo)
        return std::nullopt;
    return gst_discoverer_info_get_duration(info.get());
}

bool WaitForEnd(GstElement* pipeline, int timeout_ms);

// How many video frames of a file the platform's own decoders give back. A
// compressor whose recordings they cannot decode (lossless JPEG, say) would
// leave players without a picture, so it is not offered.
int DecodedVideoFrames(const std::string& file) {
    GstOwned<GError> error;
    auto pipeline = GstOwned<GstElement>::sink(
        gst_parse_launch("filesrc name=source ! decodebin name=decoder "
                         "decoder. ! video/x-raw ! queue ! fakesink name=video sync=false "
                         "decoder. ! audio/x-raw ! queue ! fakesink sync=false",
                         error.out()));
    if (!pipeline)
        return 0;
    auto source =
        GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "source"));
    auto video = GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "video"));
    g_object_set(source.get(), "location", file.c_str(), nullptr);
    auto pad = GstOwned<GstPad>::adopt(gst_element_get_static_pad(video.get(), "sink"));
    std::atomic<int> frames = 0;
    gst_pad_add_probe(
        pad.get(), GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo*, gpointer count) {
            ++*static_cast<std::atomic<int>*>(count);
            return GST_PAD_PROBE_OK;
        },
        &frames, nullptr);
    const bool ended =
        gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE &&
        WaitForEnd(pipeline.get(), kCompressorTrialTimeout_ms);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return ended ? frames.load() : 0;
}

bool WaitForEnd(GstElement* pipeline, int timeout_ms) {
    auto bus = GstOwned<GstBus>::adopt(gst_element_get_bus(pipeline));
    auto message = GstOwned<GstMessage>::adopt(gst_bus_timed_pop_filtered(
        bus.get(), static_cast<GstClockTime>(timeout_ms) * GST_MSECOND,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    return message && GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_EOS;
}

} // namespace

namespace {

// Links an element's "src" pad to a filter's input pin.
bool LinkToPin(GstElement* from, Pin* to) {
    auto src = GstOwned<GstPad>::adopt(gst_element_get_static_pad(from, "src"));
    return to && to->pad() && gst_pad_link(src.get(), to->pad()) == GST_PAD_LINK_OK;
}

// Links a filter's output pin to a new request pad of the muxer.
bool LinkToMux(Pin* from, GstElement* mux, const char* padTemplate) {
    if (!from || !from->pad())
        return false;
    auto sink = GstOwned<GstPad>::adopt(gst_element_request_pad_simple(mux, padTemplate));
    return sink && gst_pad_link(from->pad(), sink.get()) == GST_PAD_LINK_OK;
}

Pin* PinOf(Filter& filter, PinDirection direction) {
    for (Pin* pin : filter.pins())
        if (pin->direction() == direction && pin->pad())
            return pin;
    return nullptr;
}

} // namespace

bool EncoderWorksWithAviMux(const std::string& factory, bool video) {
    for (char c : factory) {
        if (!g_ascii_isalnum(c) && c != '_' && c != '-')
            return false;
    }
    // A recording in miniature with the very compressor filters a recording
    // uses: live picture and sound at the same time into the AVI muxer and a
    // file, ended by end of stream. An encoder that holds the muxer back, or
    // whose file does not read back with its length, is not offered.
    char fileTemplate[] = "/tmp/qeltv-trial-XXXXXX.avi";
    UniqueFd fd(mkstemps(fileTemplate, static_cast<int>(std::strlen(".avi"))));
    if (!fd) {
        GST_WARNING("compressor trial: no temporary file: %s", std::strerror(errno));
        return false;
    }
    // Only the name is wanted: the trial's file writer opens the file itself.
    fd.reset();
    const std::string file = fileTemplate;
    bool ok = false;
    try {
        const std::string moniker = std::string("encoder:") + factory;
        // The other stream goes through the simplest compressor of its kind.
        auto videoFilter = std::make_shared<VideoCompressorFilter>(
            "trial video", moniker, video ? factory : std::string(kTrialPartnerVideoEncoder));
        auto audioFilter = std::make_shared<AudioCompressorFilter>("trial audio", moniker,
                                                                   video ? std::string() : factory);
        auto pipeline = GstOwned<GstElement>::sink(gst_pipeline_new("compressor trial"));
        GstElement* videoSource = Make("videotestsrc", "trial");
        GstElement* videoFormat = Make("capsfilter", "trial");
        GstElement* audioSource = Make("audiotestsrc", "trial");
        GstElement* audioFormat = Make("capsfilter", "trial");
        GstElement* mux = Make("avimux", "trial");
        GstElement* sink = Make("filesink", "trial");
        g_object_set(videoSource, "is-live", TRUE, "num-buffers", kTrialVideoBuffers, nullptr);
        g_object_set(audioSource, "is-live", TRUE, "num-buffers", kTrialAudioBuffers,
                     "samplesperbuffer", kTrialSamplesPerBuffer, nullptr);
        CapsRef videoCaps(
            gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "YUY2", "width", G_TYPE_INT,
                                kTrialWidth, "height", G_TYPE_INT, kTrialHeight, "framerate",
                                GST_TYPE_FRACTION, kTrialFramesPerSecond, 1, nullptr));
        CapsRef audioCaps(gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "S16LE",
                                              "rate", G_TYPE_INT, kTrialSampleRate_hz, "channels",
                                              G_TYPE_INT, 2, "layout", G_TYPE_STRING, "interleaved",
                                              nullptr));
        g_object_set(videoFormat, "caps", videoCaps.get(), nullptr);
        g_object_set(audioFormat, "caps", audioCaps.get(), nullptr);
        g_object_set(sink, "location", file.c_str(), nullptr);
        gst_bin_add_many(GST_BIN(pipeline.get()), videoSource, videoFormat, audioSource,
                         audioFormat, mux, sink, videoFilter->element(), audioFilter->element(),
                         nullptr);
        const bool linked = gst_element_link(videoSource, videoFormat) &&
                            gst_element_link(audioSource, audioFormat) &&
                            gst_element_link(mux, sink) &&
                            LinkToPin(videoFormat, PinOf(*videoFilter, PinDirection::Input)) &&
                            LinkToPin(audioFormat, PinOf(*audioFilter, PinDirection::Input)) &&
                            LinkToMux(PinOf(*videoFilter, PinDirection::Output), mux, "video_%u") &&
                            LinkToMux(PinOf(*audioFilter, PinDirection::Output), mux, "audio_%u");
        if (linked &&
            gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE)
            ok = WaitForEnd(pipeline.get(), kCompressorTrialTimeout_ms);
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    } catch (const CaptureError& e) {
        GST_INFO("compressor trial %s: %s", factory.c_str(), e.what());
        ok = false;
    }
    if (ok) {
        const GstClockTime expected = kTrialVideoBuffers * GST_SECOND / kTrialFramesPerSecond;
        const auto duration = DiscoveredDuration(file);
        const int decoded = DecodedVideoFrames(file);
        ok = duration && *duration + kTrialDurationTolerance_ns >= expected &&
             *duration <= expected + kTrialDurationTolerance_ns && decoded == kTrialVideoBuffers;
        GST_INFO("compressor trial %s: %" GST_TIME_FORMAT ", %d of %d frames decoded",
                 factory.c_str(), GST_TIME_ARGS(duration.value_or(0)), decoded, kTrialVideoBuffers);
    }
    std::remove(file.c_str());
    return ok;
}

DeviceEnumerator::DeviceEnumerator(std::filesystem::path cacheFolder) {
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    if (cacheFolder.empty())
        cacheFolder = DefaultCacheFolder();
    cacheFile_ = cacheFolder / kCacheFileName;
}

std::filesystem::path DeviceEnumerator::DefaultCacheFolder() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache && *cache)
        return std::filesystem::path(cache) / "qeltv";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home ? home : "/tmp") / ".cache" / "qeltv";
}

std::string DeviceEnumerator::RegistryKey() {
    std::vector<std::string> plugins;
    auto list = GstOwnedObjectList::adopt(gst_registry_get_plugin_list(gst_registry_get()));
    for (GList* l = list.get(); l; l = l->next) {
        GstPlugin* plugin = GST_PLUGIN(l->data);
        const char* file = gst_plugin_get_filename(plugin);
        plugins.push_back(std::string(gst_plugin_get_name(plugin)) + " " +
                          gst_plugin_get_version(plugin) + " " + (file ? file : ""));
    }
    std::sort(plugins.begin(), plugins.end());
    std::string all;
    for (const auto& p : plugins)
        all += p + "\n";
    char key[32];
    std::snprintf(key, sizeof key, "%016llx", static_cast<unsigned long long>(Fnv1a(all)));
    return key;
}

std::vector<DeviceInfo> DeviceEnumerator::compressors(bool video) const {
    // Read the cache when it was made for this plug-in set.
    const std::string key = RegistryKey();
    struct Entry {
        bool video;
        std::string factory;
        std::string name;
    };
    std::vector<Entry> entries;
    bool cached = false;
    {
        std::ifstream in(cacheFile_);
        std::string header;
        if (in && std::getline(in, header) && header == std::string(kCacheHeader) + " " + key) {
            cached = true;
            std::string line;
            while (std::getline(in, line)) {
                std::istringstream fields(line);
                std::string kind, factory, name;
                if (!std::getline(fields, kind, '\t') || !std::getline(fields, factory, '\t') ||
                    !std::getline(fields, name)) {
                    cached = false;
                    break;
                }
                entries.push_back({kind == "V", factory, name});
            }
            if (!cached)
                entries.clear();
        }
    }
    if (!cached) {
        auto mux = GstOwned<GstElementFactory>::adopt(gst_element_factory_find("avimux"));
        CapsRef videoIn, audioIn;
        if (mux) {
            for (const GList* l = gst_element_factory_get_static_pad_templates(mux.get()); l;
                 l = l->next) {
                auto* templ = static_cast<GstStaticPadTemplate*>(l->data);
                if (templ->direction != GST_PAD_SINK)
                    continue;
                CapsRef caps(gst_static_pad_template_get_caps(templ));
                if (StartsWith(templ->name_template, "video"))
                    videoIn = caps;
                else if (StartsWith(templ->name_template, "audio"))
                    audioIn = caps;
            }
        }
        auto encoders = GstOwnedObjectList::adopt(
            gst_element_factory_list_get_elements(GST_ELEMENT_FACTORY_TYPE_ENCODER, GST_RANK_NONE));
        for (GList* l = encoders.get(); l && videoIn && audioIn; l = l->next) {
            GstElementFactory* factory = GST_ELEMENT_FACTORY(l->data);
            if (IsOfflineEncoder(GST_OBJECT_NAME(factory)))
                continue;
            const bool isVideo = FactoryIsVideo(factory);
            const char* klass =
                gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
            if (!isVideo && (!klass || std::string(klass).find("Audio") == std::string::npos))
                continue;
            // Image encoders (jpegenc) count as video when they take raw video.
            // Caps first: the encoder's output must be something the mux takes.
            bool acceptedByMux = false;
            for (const GList* t = gst_element_factory_get_static_pad_templates(factory); t;
                 t = t->next) {
                auto* templ = static_cast<GstStaticPadTemplate*>(t->data);
                if (templ->direction != GST_PAD_SRC)
                    continue;
                CapsRef caps(gst_static_pad_template_get_caps(templ));
                if (gst_caps_can_intersect(caps.get(), isVideo ? videoIn.get() : audioIn.get()))
                    acceptedByMux = true;
            }
            if (!acceptedByMux)
                continue;
            entries.push_back(
                {isVideo, GST_OBJECT_NAME(factory),
                 gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_LONGNAME)});
        }
        // Then a trial: some fail at once (no hardware, refused rates), some
        // only in a live recording. A trial mostly waits for its live
        // sources, so several run at the same time.
        std::vector<char> works(entries.size(), 0);
        {
            std::vector<std::thread> trials;
            std::atomic<std::size_t> next{0};
            const std::size_t workers = std::min(entries.size(), kMaxParallelTrials);
            for (std::size_t w = 0; w < workers; ++w)
                trials.emplace_back([&] {
                    for (std::size_t i = next++; i < entries.size(); i = next++)
                        works[i] = EncoderWorksWithAviMux(entries[i].factory, entries[i].video);
                });
            for (std::thread& t : trials)
                t.join();
        }
        std::size_t kept = 0;
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (works[i])
                entries[kept++] = entries[i];
        entries.resize(kept);
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            return std::tie(a.name, a.factory) < std::tie(b.name, b.factory);
        });
        std::error_code ignored;
        std::filesystem::create_directories(cacheFile_.parent_path(), ignored);
        const std::filesystem::path temporary = cacheFile_.string() + ".tmp";
        {
            std::ofstream out(temporary, std::ios::trunc);
            out << kCacheHeader << " " << key << "\n";
            for (const Entry& e : entries)
                out << (e.video ? "V" : "A") << "\t" << e.factory << "\t" << e.name << "\n";
        }
        std::filesystem::rename(temporary, cacheFile_, ignored);
    }
    std::vector<DeviceInfo> result;
    if (!video)
        result.push_back({kPcmName, kPcmMoniker, 0});
    for (const Entry& e : entries) {
        if (e.video != video)
            continue;
        result.push_back({Truncated(e.name, kMaxFriendlyNameLength), "encoder:" + e.factory,
                          static_cast<int>(result.size())});
    }
    return result;
}

std::vector<DeviceInfo> DeviceEnumerator::Enumerate(DeviceCategory category) const {
    switch (category) {
    case DeviceCategory::VideoCompressor:
        return compressors(true);
    case DeviceCategory::AudioCompressor:
        return compressors(false);
    case DeviceCategory::VideoInput:
    case DeviceCategory::AudioInput:
        break;
    }
    const bool video = category == DeviceCategory::VideoInput;
    std::vector<DeviceInfo> result;
    for (const ProbedDevice& device :
         ProbeDevices(video ? "Video/Source" : "Audio/Source", kDeviceProbeTimeout_ms)) {
        if (video != StartsWith(device.moniker, "v4l2:"))
            continue;
        result.push_back({Truncated(device.name, kMaxFriendlyNameLength), device.moniker,
                          static_cast<int>(result.size())});
    }
    result.push_back({video ? kVirtualCardName : kVirtualCardAudioName,
                      video ? kVirtualCardMoniker : kVirtualCardAudioMoniker,
                      static_cast<int>(result.size())});
    return result;
}

std::string DeviceEnumerator::MonikerAt(DeviceCategory category, int position) const {
    const std::vector<DeviceInfo> devices = Enumerate(category);
    if (position < 0 || static_cast<std::size_t>(position) >= devices.size())
        return {};
    return devices[static_cast<std::size_t>(position)].moniker;
}

// ------------------------------------------------------------ device identity

namespace {

constexpr const char* kSystemNodeFolder = "/dev";
constexpr const char* kVideoNodePrefix = "video";

std::string FixedField(const __u8* text, std::size_t size) {
    const char* begin = reinterpret_cast<const char*>(text);
    return std::string(begin, strnlen(begin, size));
}

// The number of a video node's name ("video12" is 12), or -1.
int VideoNodeNumber(const std::string& name) {
    const std::size_t prefix = std::strlen(kVideoNodePrefix);
    if (name.size() <= prefix || name.compare(0, prefix, kVideoNodePrefix) != 0)
        return -1;
    int number = -1;
    const char* last = name.data() + name.size();
    const auto [end, error] = std::from_chars(name.data() + prefix, last, number);
    return error == std::errc() && end == last ? number : -1;
}

} // namespace

V4l2DeviceFinder::V4l2DeviceFinder()
    : V4l2DeviceFinder(std::make_shared<SystemFileLayer>(), kSystemNodeFolder) {}

V4l2DeviceFinder::V4l2DeviceFinder(std::shared_ptr<V4l2FileLayer> layer,
                                   std::filesystem::path nodeFolder)
    : layer_(std::move(layer)), nodeFolder_(std::move(nodeFolder)) {}

std::optional<V4l2DeviceIdentity> V4l2DeviceFinder::identify(const std::string& node) const {
    try {
        V4l2Device device(layer_, node);
        v4l2_capability capability{};
        if (Failed(V4L2_NAMED_IOCTL(device, VIDIOC_QUERYCAP, &capability))) {
            GST_DEBUG("%s", device.lastErrorText().c_str());
            return std::nullopt;
        }
        const std::uint32_t capabilities = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                                               ? capability.device_caps
                                               : capability.capabilities;
        if ((capabilities & V4L2_CAP_VIDEO_CAPTURE) == 0)
            return std::nullopt;
        return V4l2DeviceIdentity{FixedField(capability.card, sizeof capability.card),
                                  FixedField(capability.bus_info, sizeof capability.bus_info)};
    } catch (const CaptureError& e) {
        // A node that cannot be opened is no device to find.
        GST_DEBUG("%s", e.what());
        return std::nullopt;
    }
}

std::optional<std::string> V4l2DeviceFinder::find(const V4l2DeviceIdentity& identity,
                                                  const std::string& savedNode) const {
    if (identify(savedNode) == identity)
        return savedNode;
    std::vector<std::pair<int, std::string>> nodes;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(nodeFolder_, error), end;
         !error && entry != end && nodes.size() < static_cast<std::size_t>(kMaxV4l2Nodes);
         entry.increment(error)) {
        const int number = VideoNodeNumber(entry->path().filename().string());
        if (number >= 0)
            nodes.emplace_back(number, entry->path().string());
    }
    if (error)
        GST_WARNING("listing %s: %s", nodeFolder_.c_str(), error.message().c_str());
    std::sort(nodes.begin(), nodes.end());
    for (const auto& [number, node] : nodes) {
        if (node != savedNode && identify(node) == identity)
            return node;
    }
    return std::nullopt;
}

} // namespace qeltv
