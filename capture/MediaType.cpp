#include "capture/MediaType.h"

#include <gst/video/video.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <numeric>

namespace qeltv {

namespace {

struct RawVideoLayout {
    const char* gstFormat;
    std::uint32_t subtype;
    std::uint32_t compression;
    std::uint16_t bitCount;
};

// Uncompressed layouts a pin may carry, in the order formats are offered.
constexpr std::array<RawVideoLayout, 6> kRawVideoLayouts{{
    {"YUY2", subtype::YUY2, subtype::YUY2, 16},
    {"UYVY", subtype::UYVY, subtype::UYVY, 16},
    {"I420", subtype::I420, subtype::I420, 12},
    {"BGR", subtype::RGB24, kBiRgb, 24},
    {"BGRx", subtype::RGB32, kBiRgb, 32},
    {"GRAY8", subtype::Y800, subtype::Y800, 8},
}};

struct CompressedVideoLayout {
    const char* mediaName;
    int mpegVersion; // 0 when the caps carry no mpegversion
    std::uint32_t subtype;
};

constexpr std::array<CompressedVideoLayout, 6> kCompressedVideoLayouts{{
    {"image/jpeg", 0, subtype::MJPG},
    {"video/x-h264", 0, subtype::H264},
    {"video/x-h263", 0, subtype::H263},
    {"video/mpeg", 4, subtype::MPEG4},
    {"video/mpeg", 2, subtype::MPEG2},
    {"video/mpeg", 1, subtype::MPEG1},
}};

// Bit depth given to compressed pictures (the decoded picture's depth).
constexpr std::uint16_t kCompressedBitCount = 24;

struct RawAudioLayout {
    const char* gstFormat;
    std::uint16_t tag;
    std::uint16_t bits;
};

constexpr std::array<RawAudioLayout, 5> kRawAudioLayouts{{
    {"S16LE", subtype::PCM, 16},
    {"U8", subtype::PCM, 8},
    {"S24LE", subtype::PCM, 24},
    {"S32LE", subtype::PCM, 32},
    {"F32LE", subtype::IEEEFloat, 32},
}};

constexpr int kBytesPerKilobyte = 1024;
constexpr int kRgbRowAlignment = 4;

std::uint32_t ImageSize(std::uint32_t subtypeCode, std::uint16_t bits, std::int32_t width,
                        std::int32_t height) {
    const std::uint32_t w = static_cast<std::uint32_t>(std::abs(width));
    const std::uint32_t h = static_cast<std::uint32_t>(std::abs(height));
    if (subtypeCode == subtype::RGB24 || subtypeCode == subtype::RGB32) {
        const std::uint32_t stride =
            (w * bits / kBitsPerByte + kRgbRowAlignment - 1) / kRgbRowAlignment * kRgbRowAlignment;
        return stride * h;
    }
    return w * h * bits / kBitsPerByte;
}

std::string FourCCText(std::uint32_t code) {
    std::string text;
    for (int i = 0; i < 4; ++i)
        text += static_cast<char>((code >> (8 * i)) & 0xFF);
    return text;
}

bool IsPrintableFourCC(std::uint32_t code) {
    for (int i = 0; i < 4; ++i) {
        const unsigned char c = (code >> (8 * i)) & 0xFF;
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

int IntField(const GstStructure* s, const char* name) {
    int value = 0;
    if (!gst_structure_get_int(s, name, &value))
        return 0;
    return value;
}

} // namespace

std::string CapsRef::toString() const {
    if (!caps_)
        return {};
    const auto text = GstOwned<gchar>::adopt(gst_caps_to_string(caps_.get()));
    return text ? text.get() : "";
}

std::int64_t FrameDurationFromRate(int numerator, int denominator) {
    if (numerator <= 0 || denominator <= 0)
        return 0;
    // Rounded, so 30000/1001 reads 333667, as 29.97 frames per second is written.
    return (kUnitsPerSecond * denominator + numerator / 2) / numerator;
}

void RateFromFrameDuration(std::int64_t avgTimePerFrame, int& numerator, int& denominator) {
    if (avgTimePerFrame <= 0) {
        numerator = 0;
        denominator = 1;
        return;
    }
    const std::int64_t divisor = std::gcd(kUnitsPerSecond, avgTimePerFrame);
    std::int64_t num = kUnitsPerSecond / divisor;
    std::int64_t den = avgTimePerFrame / divisor;
    // Caps fractions are 32-bit; a duration beyond that range is scaled down.
    while (num > G_MAXINT || den > G_MAXINT) {
        num /= 2;
        den /= 2;
    }
    numerator = static_cast<int>(num);
    denominator = static_cast<int>(std::max<std::int64_t>(den, 1));
}

CapsRef MediaTypeToCaps(const MediaType& type) {
    if (type.majortype == MajorType::Video) {
        const VideoInfoHeader& v = type.video;
        GstStructure* s = nullptr;
        for (const RawVideoLayout& layout : kRawVideoLayouts) {
            if (layout.subtype == type.subtype)
                s = gst_structure_new("video/x-raw", "format", G_TYPE_STRING, layout.gstFormat,
                                      nullptr);
        }
        for (const CompressedVideoLayout& layout : kCompressedVideoLayouts) {
            if (s || layout.subtype != type.subtype)
                continue;
            s = gst_structure_new_empty(layout.mediaName);
            if (layout.mpegVersion)
                gst_structure_set(s, "mpegversion", G_TYPE_INT, layout.mpegVersion, "systemstream",
                                  G_TYPE_BOOLEAN, FALSE, nullptr);
        }
        if (!s)
            return {};
        if (v.biWidth != 0)
            gst_structure_set(s, "width", G_TYPE_INT, std::abs(v.biWidth), nullptr);
        if (v.biHeight != 0)
            gst_structure_set(s, "height", G_TYPE_INT, std::abs(v.biHeight), nullptr);
        if (v.AvgTimePerFrame > 0) {
            int num = 0;
            int den = 1;
            RateFromFrameDuration(v.AvgTimePerFrame, num, den);
            gst_structure_set(s, "framerate", GST_TYPE_FRACTION, num, den, nullptr);
        }
        return CapsRef(gst_caps_new_full(s, nullptr));
    }
    if (type.majortype == MajorType::Audio) {
        const WaveFormatEx& a = type.audio;
        GstStructure* s = nullptr;
        if (type.subtype == subtype::PCM || type.subtype == subtype::IEEEFloat) {
            for (const RawAudioLayout& layout : kRawAudioLayouts) {
                if (!s && layout.tag == type.subtype && layout.bits == a.wBitsPerSample)
                    s = gst_structure_new("audio/x-raw", "format", G_TYPE_STRING, layout.gstFormat,
                                          "layout", G_TYPE_STRING, "interleaved", nullptr);
            }
        } else if (type.subtype == subtype::MP3 || type.subtype == subtype::MPEGAudio) {
            s = gst_structure_new("audio/mpeg", "mpegversion", G_TYPE_INT, 1, "layer", G_TYPE_INT,
                                  type.subtype == subtype::MP3 ? 3 : 2, nullptr);
        } else if (type.subtype == subtype::AAC) {
            s = gst_structure_new("audio/mpeg", "mpegversion", G_TYPE_INT, 4, nullptr);
        } else if (type.subtype == subtype::AC3) {
            s = gst_structure_new_empty("audio/x-ac3");
        } else if (type.subtype == subtype::ALaw) {
            s = gst_structure_new_empty("audio/x-alaw");
        } else if (type.subtype == subtype::MuLaw) {
            s = gst_structure_new_empty("audio/x-mulaw");
        } else if (type.subtype == subtype::WMAudio1 || type.subtype == subtype::WMAudio2) {
            s = gst_structure_new("audio/x-wma", "wmaversion", G_TYPE_INT,
                                  type.subtype == subtype::WMAudio1 ? 1 : 2, nullptr);
        }
        if (!s)
            return {};
        if (a.nSamplesPerSec)
            gst_structure_set(s, "rate", G_TYPE_INT, static_cast<int>(a.nSamplesPerSec), nullptr);
        if (a.nChannels)
            gst_structure_set(s, "channels", G_TYPE_INT, static_cast<int>(a.nChannels), nullptr);
        // A compressed stream's rate travels as its bitrate.
        if (a.wBitsPerSample == 0 && a.nAvgBytesPerSec)
            gst_structure_set(s, "bitrate", G_TYPE_INT,
                              static_cast<int>(a.nAvgBytesPerSec * kBitsPerByte), nullptr);
        return CapsRef(gst_caps_new_full(s, nullptr));
    }
    return {};
}

MediaType MediaTypeFromCaps(const GstCaps* caps) {
    MediaType type;
    if (!caps || gst_caps_is_empty(caps) || gst_caps_is_any(caps))
        return type;
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    const std::string name = gst_structure_get_name(s);
    if (name.rfind("video/", 0) == 0 || name.rfind("image/", 0) == 0) {
        type.majortype = MajorType::Video;
        type.formattype = FormatType::VideoInfo;
        VideoInfoHeader& v = type.video;
        v.biWidth = IntField(s, "width");
        v.biHeight = IntField(s, "height");
        int num = 0;
        int den = 1;
        if (gst_structure_get_fraction(s, "framerate", &num, &den))
            v.AvgTimePerFrame = FrameDurationFromRate(num, den);
        if (name == "video/x-raw") {
            const char* format = gst_structure_get_string(s, "format");
            for (const RawVideoLayout& layout : kRawVideoLayouts) {
                if (format && std::string(format) == layout.gstFormat) {
                    type.subtype = layout.subtype;
                    v.biCompression = layout.compression;
                    v.biBitCount = layout.bitCount;
                }
            }
            if (format && type.subtype == subtype::None) {
                // A raw layout without a bitmap equivalent keeps its name as FOURCC.
                const std::string f = std::string(format) + "    ";
                type.subtype = MakeFourCC(f[0], f[1], f[2], f[3]);
                v.biCompression = type.subtype;
                const GstVideoFormatInfo* info =
                    gst_video_format_get_info(gst_video_format_from_string(format));
                if (info)
                    v.biBitCount =
                        static_cast<std::uint16_t>(GST_VIDEO_FORMAT_INFO_BITS(info) *
                                                   GST_VIDEO_FORMAT_INFO_N_COMPONENTS(info));
            }
            v.biSizeImage = ImageSize(type.subtype, v.biBitCount, v.biWidth, v.biHeight);
            type.lSampleSize = v.biSizeImage;
        } else {
            const int mpegVersion = IntField(s, "mpegversion");
            for (const CompressedVideoLayout& layout : kCompressedVideoLayouts) {
                if (name == layout.mediaName && layout.mpegVersion == mpegVersion)
                    type.subtype = layout.subtype;
            }
            v.biCompression = type.subtype;
            v.biBitCount = kCompressedBitCount;
        }
        return type;
    }
    if (name.rfind("audio/", 0) == 0) {
        type.majortype = MajorType::Audio;
        type.formattype = FormatType::WaveFormatEx;
        WaveFormatEx& a = type.audio;
        a.nSamplesPerSec = static_cast<std::uint32_t>(IntField(s, "rate"));
        a.nChannels = static_cast<std::uint16_t>(IntField(s, "channels"));
        if (name == "audio/x-raw") {
            const char* format = gst_structure_get_string(s, "format");
            for (const RawAudioLayout& layout : kRawAudioLayouts) {
                if (format && std::string(format) == layout.gstFormat) {
                    a.wFormatTag = layout.tag;
                    a.wBitsPerSample = layout.bits;
                }
            }
            a.nBlockAlign =
                static_cast<std::uint16_t>(a.nChannels * a.wBitsPerSample / kBitsPerByte);
            a.nAvgBytesPerSec = a.nSamplesPerSec * a.nBlockAlign;
            type.lSampleSize = a.nBlockAlign;
        } else {
            if (name == "audio/mpeg") {
                const int version = IntField(s, "mpegversion");
                a.wFormatTag = version == 1
                                   ? (IntField(s, "layer") == 3 ? subtype::MP3 : subtype::MPEGAudio)
                                   : subtype::AAC;
            } else if (name == "audio/x-ac3") {
                a.wFormatTag = subtype::AC3;
            } else if (name == "audio/x-alaw") {
                a.wFormatTag = subtype::ALaw;
                a.wBitsPerSample = kBitsPerByte;
            } else if (name == "audio/x-mulaw") {
                a.wFormatTag = subtype::MuLaw;
                a.wBitsPerSample = kBitsPerByte;
            } else if (name == "audio/x-wma") {
                a.wFormatTag =
                    IntField(s, "wmaversion") == 1 ? subtype::WMAudio1 : subtype::WMAudio2;
            }
            const int bitrate = IntField(s, "bitrate");
            a.nAvgBytesPerSec = static_cast<std::uint32_t>(bitrate / kBitsPerByte);
            if (a.wBitsPerSample) {
                a.nBlockAlign = static_cast<std::uint16_t>(a.nChannels);
                a.nAvgBytesPerSec = a.nSamplesPerSec * a.nChannels;
            } else {
                a.nBlockAlign = 1;
            }
            type.lSampleSize = a.nBlockAlign;
        }
        type.subtype = a.wFormatTag;
        return type;
    }
    return type;
}

std::string MajorTypeName(MajorType major) {
    switch (major) {
    case MajorType::Video:
        return "Video";
    case MajorType::Audio:
        return "Audio";
    case MajorType::Stream:
        return "Stream";
    case MajorType::Unknown:
        break;
    }
    return {};
}

std::string SubTypeName(std::uint32_t code) {
    switch (code) {
    case subtype::None:
        return {};
    case subtype::RGB24:
        return "RGB24";
    case subtype::RGB32:
        return "RGB32";
    case subtype::PCM:
        return "PCM";
    case subtype::IEEEFloat:
        return "IEEE_FLOAT";
    case subtype::ALaw:
        return "ALAW";
    case subtype::MuLaw:
        return "MULAW";
    case subtype::MPEGAudio:
        return "MPEG1AudioPayload";
    case subtype::MP3:
        return "MP3";
    case subtype::AAC:
        return "AAC";
    case subtype::AC3:
        return "DOLBY_AC3";
    case subtype::WMAudio1:
        return "MSAUDIO1";
    case subtype::WMAudio2:
        return "WMAUDIO2";
    default:
        break;
    }
    return IsPrintableFourCC(code) ? FourCCText(code) : std::string();
}

std::string FormatTypeName(FormatType format) {
    switch (format) {
    case FormatType::VideoInfo:
        return "VideoInfo";
    case FormatType::VideoInfo2:
        return "VideoInfo2";
    case FormatType::WaveFormatEx:
        return "WaveFormatEx";
    case FormatType::None:
        break;
    }
    return "None";
}

std::string MediaTypeText(const MediaType& type) {
    constexpr const char* kUnknownName = "UnKnown ";
    std::string major = MajorTypeName(type.majortype);
    std::string sub = SubTypeName(type.subtype);
    std::string text = "Major Type: " + (major.empty() ? std::string(kUnknownName) : major) +
                       " - Sub Type: " + (sub.empty() ? std::string(kUnknownName) : sub) +
                       " Format: ";
    if (type.formattype == FormatType::VideoInfo || type.formattype == FormatType::VideoInfo2) {
        static constexpr std::array<const char*, 4> kCompressionNames{"RGB", "RLE8", "RLE4",
                                                                      "BITFIELDS"};
        const VideoInfoHeader& v = type.video;
        const std::string compression = v.biCompression < kCompressionNames.size()
                                            ? kCompressionNames[v.biCompression]
                                            : FourCCText(v.biCompression);
        char dims[64];
        std::snprintf(dims, sizeof dims, " %dX%d, %d bits", v.biWidth, v.biHeight, v.biBitCount);
        text += (type.formattype == FormatType::VideoInfo ? "VideoInfo " : "VideoInfo2 ") +
                compression + dims;
    } else {
        text += FormatTypeName(type.formattype);
    }
    return text;
}

std::string AudioFormatText(const MediaType& type) {
    if (type.formattype != FormatType::WaveFormatEx)
        return {};
    const WaveFormatEx& a = type.audio;
    const char* channels = a.nChannels == 1 ? "mono" : "stereo";
    char text[128];
    if (a.wBitsPerSample != 0)
        std::snprintf(text, sizeof text, "%u Hertz, %u bits, %s, %u kb/sec", a.nSamplesPerSec,
                      unsigned{a.wBitsPerSample}, channels, a.nAvgBytesPerSec / kBytesPerKilobyte);
    else
        std::snprintf(text, sizeof text, "%u kbits, %u Hertz, %s, %u kb/sec",
                      static_cast<unsigned>(std::uint64_t{a.nAvgBytesPerSec} * kBitsPerByte /
                                            kBitsPerKilobit),
                      a.nSamplesPerSec, channels, a.nAvgBytesPerSec / kBytesPerKilobyte);
    return text;
}

} // namespace qeltv
