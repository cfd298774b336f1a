// What a finished recording holds, as ffprobe decodes it: its streams, the
// video frames that decode, its length, and whatever the decoders complained
// about. A player sees the file this way, not as the muxer meant it.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <string>

namespace qeltv::test {

// Decoding a few seconds of 640x480 video takes a moment on a loaded machine.
constexpr int kProbeTimeout_ms = 120000;

struct ProbedRecording {
    bool ran = false;
    int videoStreams = 0;
    int audioStreams = 0;
    std::string videoCodec;
    std::string audioCodec;
    // Video frames that decoded (ffprobe -count_frames).
    long videoFrames = 0;
    double duration_s = 0;
    // What ffprobe wrote on its error output: decoding errors among it.
    std::string errors;
};

inline ProbedRecording ProbeRecording(const std::string& file) {
    ProbedRecording result;
    QProcess ffprobe;
    ffprobe.start("ffprobe", {"-v", "error", "-count_frames", "-show_entries",
                              "stream=codec_type,codec_name,nb_read_frames:format=duration", "-of",
                              "default=noprint_wrappers=1", QString::fromStdString(file)});
    if (!ffprobe.waitForFinished(kProbeTimeout_ms) ||
        ffprobe.exitStatus() != QProcess::NormalExit) {
        result.errors = "ffprobe did not finish";
        return result;
    }
    result.ran = ffprobe.exitCode() == 0;
    result.errors = QString::fromUtf8(ffprobe.readAllStandardError()).trimmed().toStdString();
    // One key=value a line, each stream's in the order asked: codec_name,
    // codec_type, nb_read_frames; then the format's duration.
    std::string codec;
    std::string type;
    const QStringList lines = QString::fromUtf8(ffprobe.readAllStandardOutput()).split('\n');
    for (const QString& line : lines) {
        const QString key = line.section('=', 0, 0);
        const QString value = line.section('=', 1);
        if (key == "codec_name") {
            codec = value.toStdString();
        } else if (key == "codec_type") {
            type = value.toStdString();
            if (type == "video") {
                ++result.videoStreams;
                result.videoCodec = codec;
            } else if (type == "audio") {
                ++result.audioStreams;
                result.audioCodec = codec;
            }
        } else if (key == "nb_read_frames") {
            if (type == "video")
                result.videoFrames += value.toLong();
        } else if (key == "duration") {
            result.duration_s = value.toDouble();
        }
    }
    return result;
}

} // namespace qeltv::test
