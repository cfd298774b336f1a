// Media types of pins: the fields a stream configuration reads and writes
// (major type, subtype, format type, sample size, the video bitmap header or
// the audio wave format), converted to and from GStreamer caps.
#pragma once

#include "capture/GstRef.h"

#include <gst/gst.h>

#include <cstdint>
#include <string>

namespace qeltv {

constexpr int kBitsPerByte = 8;
constexpr int kBitsPerKilobit = 1000;

enum class MajorType { Unknown, Video, Audio, Stream };
enum class FormatType { None, VideoInfo, VideoInfo2, WaveFormatEx };

// Subtypes are 32-bit codes: a FOURCC for video ('YUY2'), the wave format tag
// for audio (1 = PCM), and two fixed codes for the uncompressed RGB layouts.
constexpr std::uint32_t MakeFourCC(char a, char b, char c, char d) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24;
}

namespace subtype {
constexpr std::uint32_t None = 0;
constexpr std::uint32_t RGB24 = 0xE436EB7D;
constexpr std::uint32_t RGB32 = 0xE436EB7E;
constexpr std::uint32_t YUY2 = MakeFourCC('Y', 'U', 'Y', '2');
constexpr std::uint32_t UYVY = MakeFourCC('U', 'Y', 'V', 'Y');
constexpr std::uint32_t I420 = MakeFourCC('I', '4', '2', '0');
constexpr std::uint32_t Y800 = MakeFourCC('Y', '8', '0', '0');
constexpr std::uint32_t MJPG = MakeFourCC('M', 'J', 'P', 'G');
constexpr std::uint32_t H264 = MakeFourCC('H', '2', '6', '4');
constexpr std::uint32_t MPEG4 = MakeFourCC('F', 'M', 'P', '4');
constexpr std::uint32_t MPEG2 = MakeFourCC('M', 'P', 'G', '2');
constexpr std::uint32_t MPEG1 = MakeFourCC('M', 'P', 'G', '1');
constexpr std::uint32_t H263 = MakeFourCC('H', '2', '6', '3');
constexpr std::uint32_t PCM = 0x0001;
constexpr std::uint32_t IEEEFloat = 0x0003;
constexpr std::uint32_t ALaw = 0x0006;
constexpr std::uint32_t MuLaw = 0x0007;
constexpr std::uint32_t MPEGAudio = 0x0050;
constexpr std::uint32_t MP3 = 0x0055;
constexpr std::uint32_t AAC = 0x00FF;
constexpr std::uint32_t AC3 = 0x2000;
constexpr std::uint32_t WMAudio1 = 0x0160;
constexpr std::uint32_t WMAudio2 = 0x0161;
} // namespace subtype

// Values of biCompression for the uncompressed layouts.
constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiRle8 = 1;
constexpr std::uint32_t kBiRle4 = 2;
constexpr std::uint32_t kBiBitfields = 3;

// Frame durations are in units of 100 nanoseconds.
constexpr std::int64_t kUnitsPerSecond = 10'000'000;

struct VideoInfoHeader {
    std::int64_t AvgTimePerFrame = 0;
    std::int32_t biWidth = 0;
    std::int32_t biHeight = 0;
    std::uint16_t biBitCount = 0;
    std::uint32_t biCompression = 0;
    std::uint32_t biSizeImage = 0;
    bool operator==(const VideoInfoHeader&) const = default;
};

struct WaveFormatEx {
    std::uint16_t wFormatTag = 0;
    std::uint16_t nChannels = 0;
    std::uint32_t nSamplesPerSec = 0;
    std::uint32_t nAvgBytesPerSec = 0;
    std::uint16_t nBlockAlign = 0;
    std::uint16_t wBitsPerSample = 0;
    bool operator==(const WaveFormatEx&) const = default;
};

struct MediaType {
    MajorType majortype = MajorType::Unknown;
    std::uint32_t subtype = subtype::None;
    FormatType formattype = FormatType::None;
    std::uint32_t lSampleSize = 0;
    VideoInfoHeader video; // meaningful for VideoInfo and VideoInfo2
    WaveFormatEx audio;    // meaningful for WaveFormatEx
    bool operator==(const MediaType&) const = default;
};

// Owner of a GstCaps reference (transfer full) that copies by adding a
// reference, as caps are shared values.
class CapsRef {
public:
    CapsRef() = default;
    explicit CapsRef(GstCaps* owned) : caps_(GstOwned<GstCaps>::adopt(owned)) {}
    CapsRef(const CapsRef& other) : caps_(GstOwned<GstCaps>::ref(other.get())) {}
    CapsRef(CapsRef&& other) noexcept = default;
    CapsRef& operator=(CapsRef other) {
        caps_ = std::move(other.caps_);
        return *this;
    }
    GstCaps* get() const { return caps_.get(); }
    explicit operator bool() const { return static_cast<bool>(caps_); }
    std::string toString() const;

private:
    GstOwned<GstCaps> caps_;
};

// Fixed caps for a media type; empty when the type has no caps equivalent.
CapsRef MediaTypeToCaps(const MediaType& type);
// The media type of the first structure of caps; fields the caps leave open
// (a range of widths, say) stay 0. majortype is Unknown for caps that are
// neither video nor audio.
MediaType MediaTypeFromCaps(const GstCaps* caps);

// Frame duration in 100 ns units for a frame rate, and back.
std::int64_t FrameDurationFromRate(int numerator, int denominator);
void RateFromFrameDuration(std::int64_t avgTimePerFrame, int& numerator, int& denominator);

// Status-bar text of a format: "Major Type: Video - Sub Type: YUY2 Format:
// VideoInfo YUY2 640X480, 16 bits".
std::string MediaTypeText(const MediaType& type);
// Names used by MediaTypeText; empty for an unnamed identifier.
std::string MajorTypeName(MajorType major);
std::string SubTypeName(std::uint32_t subtype);
std::string FormatTypeName(FormatType format);

// The text of an audio format in the format list ("44100 Hertz, 16 bits,
// stereo, 172 kb/sec"); empty for a format without a wave format block.
std::string AudioFormatText(const MediaType& type);

} // namespace qeltv
