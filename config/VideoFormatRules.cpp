#include "config/VideoFormatRules.h"

#include <cstdint>
#include <cstdio>
#include <limits>

namespace qeltv {

namespace {
constexpr int kRowAlignment = 4;
// "%8.3f" with room for any double.
constexpr std::size_t kRateTextCapacity = 64;
// The arrows' band just below 30.
constexpr double kRateBandBottom = 29;
} // namespace

const QStringList& VideoResolutions() {
    static const QStringList resolutions{
        "80x60",   "120x90",  "160x120", "240x180", "320x240", "352x240",  "352x288",
        "384x288", "384x576", "480x360", "480x480", "480x576", "512x384",  "640x480",
        "720x288", "720x576", "768x288", "768x576", "800x600", "1024x768", "1440x1080"};
    return resolutions;
}

double FrameRateOf(std::int64_t avgTimePerFrame) {
    if (avgTimePerFrame <= 0)
        return kRateForNoFrameDuration;
    return static_cast<double>(kUnitsPerSecond) / static_cast<double>(avgTimePerFrame);
}

double FrameRateUp(double rate) {
    if (rate == kRateFull)
        return rate;
    if (rate == kRateNtscBelow)
        return kRateNtsc;
    if (rate > kRateBandBottom && rate < kRateFull)
        return kRateFull;
    return rate + 1;
}

double FrameRateDown(double rate) {
    if (rate == kRateLowest)
        return rate;
    if (rate == kRateFull)
        return kRateNtsc;
    if (rate > kRateBandBottom && rate < kRateFull)
        return kRateNtscBelow;
    // One less would reach 0 or go below it.
    if (rate <= kRateLowest)
        return rate;
    return rate - 1;
}

QString FrameRateText(double rate, const QString& decimalPoint) {
    char text[kRateTextCapacity];
    std::snprintf(text, sizeof text, "%8.3f", rate);
    QString result = QString::fromLatin1(text);
    result.replace(QChar('.'), decimalPoint);
    return result;
}

MediaType FormatForChoice(MediaType format, const QString& resolution, double rate) {
    const double duration = static_cast<double>(kUnitsPerSecond) / rate;
    if (!(duration >= std::numeric_limits<std::int32_t>::min() &&
          duration < static_cast<double>(std::numeric_limits<std::int32_t>::max()) + 1))
        throw RangeCheckError();
    format.video.AvgTimePerFrame = static_cast<std::int32_t>(duration); // truncated
    const qsizetype x = resolution.indexOf(QChar('x'));
    bool widthOk = false;
    bool heightOk = false;
    int width = x >= 0 ? resolution.left(x).toInt(&widthOk) : 0;
    int height = x >= 0 ? resolution.mid(x + 1).toInt(&heightOk) : 0;
    if (!widthOk)
        width = kFallbackWidth;
    if (!heightOk)
        height = kFallbackHeight;
    format.video.biWidth = width;
    format.video.biHeight = height;
    const std::int64_t rowWidth =
        (width + kRowAlignment - 1) - (width + kRowAlignment - 1) % kRowAlignment;
    const auto imageSize = static_cast<std::uint32_t>(
        static_cast<std::uint64_t>(rowWidth * height * format.video.biBitCount) / kBitsPerByte);
    format.lSampleSize = imageSize;
    format.video.biSizeImage = imageSize;
    return format;
}

} // namespace qeltv
