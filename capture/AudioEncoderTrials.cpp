#include "capture/AudioEncoderTrials.h"

#include "capture/Devices.h"
#include "capture/GstRef.h"
#include "capture/MediaType.h"

#include <algorithm>

namespace qeltv {

namespace {

// Bitrate properties below this are in kbit/s, above in bit/s.
constexpr guint64 kKilobitPropertyLimit = 10000;
// The trial's sound: a few buffers of 40 ms, more than one frame of any
// common audio codec.
constexpr int kTrialSoundBuffers = 5;
constexpr int kTrialSoundBuffersPerSecond = 25;

GstElement* TrialElement(const char* factory) {
    return gst_element_factory_make(factory, nullptr);
}

} // namespace

namespace {

// The largest value a numeric property takes; 0 for other types.
guint64 PropertyMaximum(GParamSpec* param) {
    if (G_IS_PARAM_SPEC_INT(param))
        return static_cast<guint64>(std::max(0, G_PARAM_SPEC_INT(param)->maximum));
    if (G_IS_PARAM_SPEC_UINT(param))
        return G_PARAM_SPEC_UINT(param)->maximum;
    if (G_IS_PARAM_SPEC_LONG(param))
        return static_cast<guint64>(std::max(0L, G_PARAM_SPEC_LONG(param)->maximum));
    if (G_IS_PARAM_SPEC_ULONG(param))
        return G_PARAM_SPEC_ULONG(param)->maximum;
    if (G_IS_PARAM_SPEC_INT64(param))
        return static_cast<guint64>(std::max<gint64>(0, G_PARAM_SPEC_INT64(param)->maximum));
    if (G_IS_PARAM_SPEC_UINT64(param))
        return G_PARAM_SPEC_UINT64(param)->maximum;
    return 0;
}

// Whether the bitrate property counts bit/s rather than kbit/s: no encoder
// takes more than kKilobitPropertyLimit kbit/s, so a larger maximum means
// bit/s. (The current value cannot tell: libav's encoders start at 0.)
bool CountsBitsPerSecond(GParamSpec* param) {
    return PropertyMaximum(param) > kKilobitPropertyLimit;
}

} // namespace

int EncoderBitrate_kbps(GstElement* encoder) {
    GParamSpec* param = g_object_class_find_property(G_OBJECT_GET_CLASS(encoder), "bitrate");
    if (!param)
        return 0;
    GstOwnedValue value(param->value_type);
    g_object_get_property(G_OBJECT(encoder), "bitrate", value.get());
    GstOwnedValue asInt(G_TYPE_INT64);
    if (!g_value_transform(value.get(), asInt.get()))
        return 0;
    const gint64 bitrate = g_value_get_int64(asInt.get());
    if (bitrate <= 0)
        return 0;
    return static_cast<int>(CountsBitsPerSecond(param) ? bitrate / kBitsPerKilobit : bitrate);
}

bool SetEncoderBitrate(GstElement* encoder, int kbps) {
    GParamSpec* param = g_object_class_find_property(G_OBJECT_GET_CLASS(encoder), "bitrate");
    if (!param || !(param->flags & G_PARAM_WRITABLE) || kbps <= 0)
        return false;
    GstOwnedValue number(G_TYPE_UINT64);
    g_value_set_uint64(number.get(), CountsBitsPerSecond(param) ? guint64(kbps) * kBitsPerKilobit
                                                                : guint64(kbps));
    GstOwnedValue value(param->value_type);
    if (!g_value_transform(number.get(), value.get()) || g_param_value_validate(param, value.get()))
        return false;
    g_object_set_property(G_OBJECT(encoder), "bitrate", value.get());
    return true;
}

int MpegAudioBitrateLimit_kbps(const GstCaps* output, int rate_hz) {
    if (!output || gst_caps_is_empty(output))
        return 0;
    const GstStructure* s = gst_caps_get_structure(output, 0);
    int version = 0, layer = 0;
    if (!gst_structure_has_name(s, "audio/mpeg") ||
        !gst_structure_get_int(s, "mpegversion", &version) || version != 1 ||
        rate_hz >= kMpegFullRateFrom_hz)
        return 0;
    if (!gst_structure_get_int(s, "layer", &layer))
        layer = 2;
    return layer == 1 ? kMpegLowRateLayer1Limit_kbps : kMpegLowRateLimit_kbps;
}

bool TrialAudioEncode(const std::string& factory, int rate_hz, int channels, int kbps) {
    if (rate_hz < kTrialSoundBuffersPerSecond || channels <= 0)
        return false;
    auto pipeline = GstOwned<GstElement>::sink(gst_pipeline_new("audio format trial"));
    GstElement* source = TrialElement("audiotestsrc");
    GstElement* format = TrialElement("capsfilter");
    GstElement* encoder = gst_element_factory_make(factory.c_str(), nullptr);
    GstElement* sink = TrialElement("fakesink");
    if (!source || !format || !encoder || !sink) {
        for (GstElement* e : {source, format, encoder, sink})
            if (e)
                gst_object_unref(gst_object_ref_sink(e));
        return false;
    }
    gst_bin_add_many(GST_BIN(pipeline.get()), source, format, encoder, sink, nullptr);
    g_object_set(source, "num-buffers", kTrialSoundBuffers, "samplesperbuffer",
                 rate_hz / kTrialSoundBuffersPerSecond, nullptr);
    CapsRef caps(gst_caps_new_simple("audio/x-raw", "rate", G_TYPE_INT, rate_hz, "channels",
                                     G_TYPE_INT, channels, nullptr));
    g_object_set(format, "caps", caps.get(), nullptr);
    g_object_set(sink, "sync", FALSE, nullptr);
    // An encoder without a bitrate encodes at the format's own.
    if (kbps > 0 && g_object_class_find_property(G_OBJECT_GET_CLASS(encoder), "bitrate") &&
        !SetEncoderBitrate(encoder, kbps))
        return false;
    if (!gst_element_link_many(source, format, encoder, sink, nullptr))
        return false;
    bool ended = false;
    if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE) {
        auto bus = GstOwned<GstBus>::adopt(gst_element_get_bus(pipeline.get()));
        auto message = GstOwned<GstMessage>::adopt(gst_bus_timed_pop_filtered(
            bus.get(), static_cast<GstClockTime>(kCompressorTrialTimeout_ms) * GST_MSECOND,
            static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
        ended = message && GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_EOS;
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    GST_INFO("audio format trial %s %d Hz %d channels %d kbit/s: %s", factory.c_str(), rate_hz,
             channels, kbps, ended ? "encodes" : "fails");
    return ended;
}

bool AudioEncoderTrials::Encodes(const std::string& factory, int rate_hz, int channels, int kbps) {
    const auto key = std::make_tuple(factory, rate_hz, channels, kbps);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto known = results_.find(key);
        if (known != results_.end())
            return known->second;
    }
    // Tried outside the lock: two threads may try the same format at once,
    // and both get the same answer.
    const bool encodes = TrialAudioEncode(factory, rate_hz, channels, kbps);
    std::lock_guard<std::mutex> lock(mutex_);
    results_[key] = encodes;
    return encodes;
}

} // namespace qeltv
