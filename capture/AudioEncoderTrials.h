// Which formats an audio compressor really encodes.
//
// An encoder's caps say which sample rates and channels it takes, but not at
// which bitrates: MPEG audio layer II, for one, takes at most 160 kbit/s at
// 22050 Hz, and a recording started at 192 kbit/s there fails on its first
// buffer. A short encode of generated sound answers for one format; the
// answers are kept, so that each format is tried once per session.
#pragma once

#include <gst/gst.h>

#include <map>
#include <mutex>
#include <string>
#include <tuple>

namespace qeltv {

// Bitrates tried, highest first, when an encoder refuses its own default at
// a format (kbit/s).
constexpr int kAudioTrialBitrates_kbps[] = {320, 256, 224, 192, 160, 128, 112,
                                            96,  80,  64,  56,  48,  32};

// MPEG audio below 32000 Hz is MPEG-2's low sampling frequency extension,
// whose bitrates stop lower than MPEG-1's: layer I at 256 kbit/s, layers II
// and III at 160 kbit/s. An encoder asked for more fails, and some say so on
// the program's standard error, so such bitrates are never tried.
constexpr int kMpegFullRateFrom_hz = 32000;
constexpr int kMpegLowRateLayer1Limit_kbps = 256;
constexpr int kMpegLowRateLimit_kbps = 160;
// The highest bitrate the encoder's output format allows at the rate; 0 when
// the format sets no limit of its own.
int MpegAudioBitrateLimit_kbps(const GstCaps* output, int rate_hz);

// The encoder's "bitrate" property in kbit/s; 0 when it has none or leaves
// it unset.
int EncoderBitrate_kbps(GstElement* encoder);
// Sets the encoder's "bitrate" property, in kbit/s or bit/s as the property
// counts. False when the encoder has
// no writable bitrate or the value is out of its range.
bool SetEncoderBitrate(GstElement* encoder, int kbps);

// Encodes a fraction of a second of generated sound with a new encoder of the
// factory at that format and bitrate (0: the encoder's default). True when
// the encode ends without an error.
bool TrialAudioEncode(const std::string& factory, int rate_hz, int channels, int kbps);

class AudioEncoderTrials {
public:
    // TrialAudioEncode, asked once per factory and format.
    bool Encodes(const std::string& factory, int rate_hz, int channels, int kbps);

private:
    std::mutex mutex_;
    std::map<std::tuple<std::string, int, int, int>, bool> results_;
};

} // namespace qeltv
