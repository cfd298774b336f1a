// The one check of a finished recording that every recording test uses: the
// AVI holds a video and an audio stream, every video frame decodes, the
// frames cover the time recorded, and the sound is not silence. The file is
// demuxed and decoded in full (filesrc ! avidemux ! decodebin), so a file
// whose header reads well but whose frames do not is caught as well.
#pragma once

#include "capture/GstRef.h"

#include <gst/gst.h>
#include <gst/pbutils/pbutils.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace qeltv::test {

// One second's frames either way: a recording starts when its sources run
// and ends after the encoders drain, so frames and wall clock differ by less.
constexpr double kRecordingTolerance_s = 1.0;
// The Virtual TV Card's stations play a tone at about 0.2 RMS (full scale
// 1.0); a station-less channel is exact silence. Anything below this level is
// taken as no sound.
constexpr double kSilenceRms = 0.01;
// Decoding runs faster than real time; this bounds a hung decoder only.
constexpr GstClockTime kDecodeTimeout_ns = 180 * GST_SECOND;

// What to require of the AVI header (RIFF size, index, frame count and so
// the length a player shows): a recording that was killed outright is kept
// with a header that may be wrong until it has been repaired.
enum class HeaderDuration { MustMatch, MayBeWrong };

struct RecordingCheck {
    // Every problem found, one sentence each joined by "; ", empty when the
    // recording is whole. Tests compare it with "" so a failure shows all.
    std::string problems;
    // What was found, for the logs of a test that passes.
    std::string summary;

    int videoStreams = 0;
    int audioStreams = 0;
    long demuxedFrames = 0;    // video frames in the file
    long decodedFrames = 0;    // video frames the decoder gave out
    double frameRate = 0;      // frames per second of the video stream
    double headerSeconds = -1; // the length the header gives; -1 when none
    long headerFrames = -1;    // the main header's frame count
    bool riffSizeMatches = false;
    bool hasIndex = false;   // idx1, or OpenDML's indx
    double soundSeconds = 0; // decoded samples over the sample rate
    double soundRms = 0;     // full scale 1.0
    std::vector<std::string> decodeErrors;

    bool ok() const { return problems.empty(); }
};

namespace recording_check_detail {

inline std::uint32_t LittleEndian32(const unsigned char* bytes) {
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

// Reads what a player that trusts the header sees: the RIFF size, the index
// and the main header's frame count and frame time.
inline void ReadHeader(const std::filesystem::path& file, RecordingCheck& result) {
    std::ifstream in(file, std::ios::binary);
    std::error_code ec;
    const auto fileSize = std::filesystem::file_size(file, ec);
    unsigned char riff[12];
    if (ec || !in.read(reinterpret_cast<char*>(riff), sizeof riff) ||
        std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "AVI ", 4) != 0)
        return;
    result.riffSizeMatches = std::uint64_t(LittleEndian32(riff + 4)) + 8 == fileSize;
    // The first RIFF's top-level chunks: "LIST hdrl" (with "avih" first) and
    // "idx1"; an OpenDML file indexes its streams with "indx" in hdrl.
    std::uint64_t at = sizeof riff;
    const std::uint64_t end = std::min<std::uint64_t>(fileSize, LittleEndian32(riff + 4) + 8ull);
    while (at + 8 <= end) {
        unsigned char chunk[12];
        in.seekg(std::streamoff(at));
        if (!in.read(reinterpret_cast<char*>(chunk), sizeof chunk))
            break;
        const std::uint32_t size = LittleEndian32(chunk + 4);
        if (std::memcmp(chunk, "idx1", 4) == 0)
            result.hasIndex = true;
        if (std::memcmp(chunk, "LIST", 4) == 0 && std::memcmp(chunk + 8, "hdrl", 4) == 0 &&
            size >= 4 + 8 + 20) {
            std::string hdrl(size - 4, '\0');
            if (!in.read(hdrl.data(), std::streamsize(hdrl.size())))
                break;
            const auto* h = reinterpret_cast<const unsigned char*>(hdrl.data());
            if (std::memcmp(h, "avih", 4) == 0) {
                const std::uint32_t frame_us = LittleEndian32(h + 8);
                result.headerFrames = LittleEndian32(h + 8 + 16);
                result.headerSeconds = double(result.headerFrames) * frame_us / 1e6;
            }
            if (hdrl.find("indx") != std::string::npos)
                result.hasIndex = true;
        }
        at += 8 + std::uint64_t(size) + (size & 1);
    }
}

struct Decoding {
    std::atomic<long> demuxedFrames{0};
    std::atomic<long> decodedFrames{0};
    std::mutex mutex; // guards what follows
    int videoStreams = 0;
    int audioStreams = 0;
    double frameRate = 0;
    int sampleRate = 0;
    int channels = 0;
    double squares = 0;
    unsigned long long samples = 0;
};

inline GstPadProbeReturn CountDemuxed(GstPad*, GstPadProbeInfo*, gpointer data) {
    ++static_cast<Decoding*>(data)->demuxedFrames;
    return GST_PAD_PROBE_OK;
}

inline GstPadProbeReturn CountDecoded(GstPad*, GstPadProbeInfo*, gpointer data) {
    ++static_cast<Decoding*>(data)->decodedFrames;
    return GST_PAD_PROBE_OK;
}

inline GstPadProbeReturn AddSamples(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    auto* d = static_cast<Decoding*>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ))
        return GST_PAD_PROBE_OK;
    const auto* samples = reinterpret_cast<const float*>(map.data);
    const std::size_t count = map.size / sizeof(float);
    double squares = 0;
    for (std::size_t i = 0; i < count; ++i)
        squares += double(samples[i]) * samples[i];
    gst_buffer_unmap(buffer, &map);
    std::lock_guard<std::mutex> lock(d->mutex);
    d->squares += squares;
    d->samples += count;
    if (d->sampleRate == 0) {
        auto caps = GstOwned<GstCaps>::adopt(gst_pad_get_current_caps(pad));
        if (caps && gst_caps_get_size(caps.get()) > 0) {
            const GstStructure* s = gst_caps_get_structure(caps.get(), 0);
            gst_structure_get_int(s, "rate", &d->sampleRate);
            gst_structure_get_int(s, "channels", &d->channels);
        }
    }
    return GST_PAD_PROBE_OK;
}

// Counts the demuxed streams; on the first video stream also counts its
// frames and reads its frame rate.
inline void OnDemuxedPad(GstElement*, GstPad* pad, gpointer data) {
    auto* d = static_cast<Decoding*>(data);
    const std::string name = GST_PAD_NAME(pad);
    std::lock_guard<std::mutex> lock(d->mutex);
    if (name.rfind("audio_", 0) == 0)
        ++d->audioStreams;
    if (name.rfind("video_", 0) != 0 || ++d->videoStreams > 1)
        return;
    auto caps = GstOwned<GstCaps>::adopt(gst_pad_get_current_caps(pad));
    int numerator = 0, denominator = 1;
    if (caps && gst_caps_get_size(caps.get()) > 0 &&
        gst_structure_get_fraction(gst_caps_get_structure(caps.get(), 0), "framerate", &numerator,
                                   &denominator) &&
        denominator != 0)
        d->frameRate = double(numerator) / denominator;
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, &CountDemuxed, d, nullptr);
}

inline std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", s);
    return text;
}

inline void AddProblem(std::string& problems, const std::string& problem) {
    if (!problems.empty())
        problems += "; ";
    problems += problem;
}

// What one decoding pass over the file found.
struct Pass {
    std::string fatal; // the error that ended it, empty when it reached the end
    std::vector<std::string> warnings;
};

// Plays `description` (a filesrc, an avidemux named "demux", one decoding
// branch ending in a fakesink named "sink") to its end as fast as it decodes;
// `probe` is added to the sink's pad.
inline Pass DecodePass(const std::filesystem::path& file, const std::string& description,
                       GstPadProbeCallback probe, Decoding& d, bool countStreams) {
    Pass pass;
    GstOwned<GError> error;
    auto pipeline = GstOwned<GstElement>::adopt(gst_parse_launch(description.c_str(), error.out()));
    if (!pipeline || error) {
        pass.fatal = std::string("cannot decode: ") + (error ? error->message : "?");
        return pass;
    }
    auto source = GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "file"));
    auto demux = GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "demux"));
    auto sink = GstOwned<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    g_object_set(source.get(), "location", file.c_str(), nullptr);
    if (countStreams)
        g_signal_connect(demux.get(), "pad-added", G_CALLBACK(&OnDemuxedPad), &d);
    auto sinkPad = GstOwned<GstPad>::adopt(gst_element_get_static_pad(sink.get(), "sink"));
    gst_pad_add_probe(sinkPad.get(), GST_PAD_PROBE_TYPE_BUFFER, probe, &d, nullptr);

    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    auto bus = GstOwned<GstBus>::adopt(gst_element_get_bus(pipeline.get()));
    while (pass.fatal.empty()) {
        auto message = GstOwned<GstMessage>::adopt(gst_bus_timed_pop_filtered(
            bus.get(), kDecodeTimeout_ns,
            GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_WARNING)));
        if (!message) {
            pass.fatal =
                "decoding did not end within " + Seconds(double(kDecodeTimeout_ns) / GST_SECOND);
            break;
        }
        if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_EOS)
            break;
        GstOwned<GError> problem;
        const std::string from = GST_OBJECT_NAME(GST_MESSAGE_SRC(message.get()));
        if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR) {
            gst_message_parse_error(message.get(), problem.out(), nullptr);
            pass.fatal = from + ": " + (problem ? problem->message : "?");
        } else {
            gst_message_parse_warning(message.get(), problem.out(), nullptr);
            pass.warnings.push_back(from + ": " + (problem ? problem->message : "?"));
        }
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return pass;
}

} // namespace recording_check_detail

// The time a test recorded, per stream: what each capture pin gave out, so
// that a picture source that fell behind on a busy machine is not taken for
// sound that runs too long.
struct Recorded {
    double video_s;
    double sound_s;
};

// Demuxes and decodes `file` in full and compares it with what was recorded
// (by the streams' timestamps or the wall clock).
inline RecordingCheck CheckRecording(const std::filesystem::path& file, Recorded recorded,
                                     HeaderDuration header = HeaderDuration::MustMatch) {
    const double recorded_s = recorded.video_s;
    using namespace recording_check_detail;
    gst_init(nullptr, nullptr);
    RecordingCheck result;
    const std::string name = file.filename().string();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        result.problems = name + ": no such file";
        return result;
    }

    // One pass for the picture, one for the sound: a stream that is missing
    // leaves its pass with nothing linked, which ends it with an error.
    constexpr const char* kSource = "filesrc name=file ! avidemux name=demux ";
    Decoding d;
    const Pass video = DecodePass(
        file,
        std::string(kSource) + "demux.video_0 ! queue ! decodebin ! fakesink name=sink sync=false",
        &CountDecoded, d, true);
    const Pass audio =
        DecodePass(file,
                   std::string(kSource) + "demux.audio_0 ! queue ! decodebin ! audioconvert ! "
                                          "audio/x-raw,format=F32LE,layout=interleaved ! "
                                          "fakesink name=sink sync=false",
                   &AddSamples, d, false);
    ReadHeader(file, result);
    // A stream that is missing is reported as such, not by its pass's
    // complaint that nothing could be linked.
    if (d.videoStreams > 0)
        result.decodeErrors = video.warnings;
    if (d.audioStreams > 0)
        result.decodeErrors.insert(result.decodeErrors.end(), audio.warnings.begin(),
                                   audio.warnings.end());
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        result.videoStreams = d.videoStreams;
        result.audioStreams = d.audioStreams;
        result.frameRate = d.frameRate;
        result.demuxedFrames = d.demuxedFrames;
        result.decodedFrames = d.decodedFrames;
        if (d.samples > 0)
            result.soundRms = std::sqrt(d.squares / double(d.samples));
        if (d.sampleRate > 0 && d.channels > 0)
            result.soundSeconds = double(d.samples) / d.channels / d.sampleRate;
    }

    std::string& p = result.problems;
    if (result.videoStreams != 1)
        AddProblem(p, std::to_string(result.videoStreams) + " video streams, not 1");
    if (result.audioStreams != 1)
        AddProblem(p, std::to_string(result.audioStreams) + " audio streams, not 1");
    if (result.videoStreams > 0 && !video.fatal.empty())
        AddProblem(p, "the picture does not decode: " + video.fatal);
    if (result.audioStreams > 0 && !audio.fatal.empty())
        AddProblem(p, "the sound does not decode: " + audio.fatal);
    for (const std::string& e : result.decodeErrors)
        AddProblem(p, "decode error: " + e);
    if (result.videoStreams > 0) {
        if (result.decodedFrames != result.demuxedFrames)
            AddProblem(p, std::to_string(result.decodedFrames) + " of " +
                              std::to_string(result.demuxedFrames) + " video frames decoded");
        if (result.frameRate <= 0) {
            AddProblem(p, "the video stream has no frame rate");
        } else {
            const double expected = recorded_s * result.frameRate;
            if (std::abs(double(result.decodedFrames) - expected) >
                kRecordingTolerance_s * result.frameRate)
                AddProblem(p, std::to_string(result.decodedFrames) + " frames at " +
                                  std::to_string(int(std::lround(result.frameRate))) + "/s are " +
                                  Seconds(result.decodedFrames / result.frameRate) + ", recorded " +
                                  Seconds(recorded_s));
        }
    }
    if (result.audioStreams > 0) {
        if (result.soundRms < kSilenceRms) {
            char level[64];
            std::snprintf(level, sizeof level, "the sound is silence (RMS %.4f)", result.soundRms);
            AddProblem(p, level);
        }
        if (std::abs(result.soundSeconds - recorded.sound_s) > kRecordingTolerance_s)
            AddProblem(p, "the sound lasts " + Seconds(result.soundSeconds) + ", recorded " +
                              Seconds(recorded.sound_s));
    }
    if (header == HeaderDuration::MustMatch) {
        if (!result.riffSizeMatches)
            AddProblem(p, "the RIFF size is not the file's");
        if (!result.hasIndex)
            AddProblem(p, "no index");
        if (result.headerFrames != result.demuxedFrames)
            AddProblem(p, "the header counts " + std::to_string(result.headerFrames) +
                              " frames, the file holds " + std::to_string(result.demuxedFrames));
        if (result.headerSeconds < 0 ||
            std::abs(result.headerSeconds - recorded_s) > kRecordingTolerance_s)
            AddProblem(p, "the header says " +
                              (result.headerSeconds < 0 ? std::string("no length")
                                                        : Seconds(result.headerSeconds)) +
                              ", recorded " + Seconds(recorded_s));
    }
    if (!p.empty())
        p = name + ": " + p;

    char summary[256];
    std::snprintf(
        summary, sizeof summary,
        "%s: %d video and %d audio streams, %ld of %ld frames decoded at %.2f/s, "
        "sound %.2f s at RMS %.3f, header %ld frames %.2f s%s%s, recorded %.2f s (sound %.2f s)",
        name.c_str(), result.videoStreams, result.audioStreams, result.decodedFrames,
        result.demuxedFrames, result.frameRate, result.soundSeconds, result.soundRms,
        result.headerFrames, result.headerSeconds,
        result.riffSizeMatches ? "" : " (RIFF size wrong)", result.hasIndex ? "" : " (no index)",
        recorded_s, recorded.sound_s);
    result.summary = summary;
    return result;
}

// The recording's length in seconds as its header gives it; 0 when it
// cannot be read.
inline double RecordingSeconds(const std::filesystem::path& file) {
    gst_init(nullptr, nullptr);
    constexpr GstClockTime kDiscoverTimeout = 10 * GST_SECOND;
    GError* error = nullptr;
    GstDiscoverer* discoverer = gst_discoverer_new(kDiscoverTimeout, &error);
    if (!discoverer) {
        g_clear_error(&error);
        return 0;
    }
    const std::string uri = "file://" + file.string();
    double seconds = 0;
    if (GstDiscovererInfo* info = gst_discoverer_discover_uri(discoverer, uri.c_str(), &error)) {
        seconds = double(gst_discoverer_info_get_duration(info)) / GST_SECOND;
        gst_discoverer_info_unref(info);
    }
    g_clear_error(&error);
    g_object_unref(discoverer);
    return seconds;
}

// Both streams recorded for `recorded_s`.
inline RecordingCheck CheckRecording(const std::filesystem::path& file, double recorded_s,
                                     HeaderDuration header = HeaderDuration::MustMatch) {
    return CheckRecording(file, Recorded{recorded_s, recorded_s}, header);
}

} // namespace qeltv::test
