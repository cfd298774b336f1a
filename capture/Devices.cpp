#include "capture/Devices.h"

#include "capture/GstRef.h"
#include "capture/VideoRenderer.h"
#include "capture/VirtualSources.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <linux/videodev2.h>
#include <mutex>
#include <sstream>
#include <thread>

namespace qeltv {

namespace {

constexpr const char* kCacheFileName = "compressors.txt";
constexpr const char* kCacheHeader = "qeltv-compressors 1";
// Trial sizes: enough buffers for an encoder to produce output.
constexpr int kTrialVideoBuffers = 5;
constexpr int kTrialAudioBuffers = 20;
// Audio encoders without a usable bitrate default get this one (kbit/s).
constexpr int kDefaultAudioBitrate_kbps = 128;
constexpr int kBitsPerByte = 8;
constexpr int kBitsPerKilobit = 1000;
// Bitrate properties below this are in kbit/s, above in bit/s.
constexpr guint64 kKilobitPropertyLimit = 10000;

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

class VideoCompressorFilter : public Filter {
public:
    VideoCompressorFilter(const std::string& name, const std::string& moniker,
                          const std::string& factory)
        : Filter(gst_bin_new(nullptr), name, moniker), encoder_(Make(factory.c_str(), name)) {
        GstElement* queue = Make("queue", name);
        GstElement* convert = Make("videoconvert", name);
        gst_bin_add_many(GST_BIN(element()), queue, convert, encoder_, nullptr);
        if (!gst_element_link_many(queue, convert, encoder_, nullptr))
            throw CaptureError(name + ": " + factory + " does not take raw video",
                               status::VFW_E_CANNOT_CONNECT);
        addPin("Input", PinDirection::Input, MediaKind::Video,
               Ghost(element(), queue, "sink", "Input"));
        addPin("Output", PinDirection::Output, MediaKind::Video,
               Ghost(element(), encoder_, "src", "Output"));
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
    AudioCompressorFilter(const std::string& name, const std::string& moniker,
                          const std::string& factory)
        : Filter(gst_bin_new(nullptr), name, moniker) {
        GstElement* queue = Make("queue", name);
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
        GParamSpec* param = g_object_class_find_property(G_OBJECT_GET_CLASS(encoder_), "bitrate");
        if (!param)
            return kDefaultAudioBitrate_kbps;
        GValue value = G_VALUE_INIT;
        g_value_init(&value, param->value_type);
        g_object_get_property(G_OBJECT(encoder_), "bitrate", &value);
        GValue asUint = G_VALUE_INIT;
        g_value_init(&asUint, G_TYPE_UINT64);
        guint64 bitrate = 0;
        if (g_value_transform(&value, &asUint))
            bitrate = g_value_get_uint64(&asUint);
        g_value_unset(&value);
        g_value_unset(&asUint);
        if (bitrate == 0)
            return kDefaultAudioBitrate_kbps;
        return static_cast<int>(bitrate < kKilobitPropertyLimit ? bitrate
                                                                : bitrate / kBitsPerKilobit);
    }

    // Sets the encoder's bitrate; the unit (kbit/s or bit/s) follows the
    // magnitude of the property's current value.
    void setBitrate(int kbps) {
        GParamSpec* param = g_object_class_find_property(G_OBJECT_GET_CLASS(encoder_), "bitrate");
        if (!param || !(param->flags & G_PARAM_WRITABLE) || kbps <= 0)
            return;
        GValue current = G_VALUE_INIT;
        g_value_init(&current, param->value_type);
        g_object_get_property(G_OBJECT(encoder_), "bitrate", &current);
        GValue number = G_VALUE_INIT;
        g_value_init(&number, G_TYPE_UINT64);
        const guint64 now = g_value_transform(&current, &number) ? g_value_get_uint64(&number) : 0;
        g_value_set_uint64(&number, now >= kKilobitPropertyLimit ? guint64(kbps) * kBitsPerKilobit
                                                                 : guint64(kbps));
        if (g_value_transform(&number, &current) && !g_param_value_validate(param, &current))
            g_object_set_property(G_OBJECT(encoder_), "bitrate", &current);
        g_value_unset(&current);
        g_value_unset(&number);
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
                type.audio.nAvgBytesPerSec =
                    static_cast<std::uint32_t>(kbps * kBitsPerKilobit / kBitsPerByte);
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
        if (wanted.audio.nAvgBytesPerSec) {
            setBitrate(
                static_cast<int>(wanted.audio.nAvgBytesPerSec * kBitsPerByte / kBitsPerKilobit));
            current_.audio.nAvgBytesPerSec = wanted.audio.nAvgBytesPerSec;
        }
        return status::S_OK;
    }

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
        return std::make_shared<AudioCompressorFilter>(name, moniker, std::string());
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
        return std::make_shared<AudioCompressorFilter>(name, moniker, factoryName);
    }
    if (moniker == kAviMuxMoniker)
        return PlainFilter("avimux", name, moniker);
    if (moniker == kFileWriterMoniker)
        return PlainFilter("filesink", name, moniker);
    if (moniker == kNullRendererMoniker)
        return PlainFilter("fakesink", name, moniker);
    if (moniker == kVideoRendererMoniker)
        return CreateVideoRendererFilter(name);
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

bool WaitForEnd(GstElement* pipeline, int timeout_ms) {
    auto bus = GstOwned<GstBus>::adopt(gst_element_get_bus(pipeline));
    auto message = GstOwned<GstMessage>::adopt(gst_bus_timed_pop_filtered(
        bus.get(), static_cast<GstClockTime>(timeout_ms) * GST_MSECOND,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    return message && GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_EOS;
}

} // namespace

bool EncoderWorksWithAviMux(const std::string& factory, bool video) {
    for (char c : factory) {
        if (!g_ascii_isalnum(c) && c != '_' && c != '-')
            return false;
    }
    char description[512];
    if (video)
        std::snprintf(description, sizeof description,
                      "videotestsrc num-buffers=%d ! video/x-raw,width=320,height=240,"
                      "framerate=25/1 ! videoconvert ! %s ! avimux ! fakesink",
                      kTrialVideoBuffers, factory.c_str());
    else
        std::snprintf(description, sizeof description,
                      "audiotestsrc num-buffers=%d ! audio/x-raw,rate=44100,channels=2 ! "
                      "audioconvert ! audioresample ! %s ! avimux ! fakesink",
                      kTrialAudioBuffers, factory.c_str());
    GstOwned<GError> error;
    auto pipeline = GstOwned<GstElement>::adopt(gst_parse_launch(description, error.out()));
    if (error)
        return false;
    bool ok = false;
    if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE)
        ok = WaitForEnd(pipeline.get(), kCompressorTrialTimeout_ms);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
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
            const std::string name = GST_OBJECT_NAME(factory);
            // Then a trial: some fail at once (no hardware, refused rates).
            if (!EncoderWorksWithAviMux(name, isVideo))
                continue;
            entries.push_back(
                {isVideo, name,
                 gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_LONGNAME)});
        }
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
