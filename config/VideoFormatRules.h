// The arithmetic of the video format dialog, without a widget: the
// resolutions it offers, the frame rate's arrow steps, and the format that
// OK writes.
#pragma once

#include "capture/MediaType.h"

#include <QString>
#include <QStringList>

#include <stdexcept>

namespace qeltv {

// A frame duration that does not fit a signed 32-bit number.
class RangeCheckError : public std::range_error {
public:
    RangeCheckError() : std::range_error("Range check error") {}
};

// The resolutions of the list, in their order.
const QStringList& VideoResolutions();
// The entry shown when the pin's size is not in the list ("320x240").
constexpr int kFallbackResolutionIndex = 4;
// OK's size when a part of the entry is not a whole number.
constexpr int kFallbackWidth = 320;
constexpr int kFallbackHeight = 240;

// The rates the arrows know by name.
constexpr double kRateNtsc = 29.97;
constexpr double kRateNtscBelow = 28;
constexpr double kRateFull = 30;
constexpr double kRateLowest = 1;
// The rate a pin without a frame duration opens at (25 frames per second,
// the rate every capture pin starts with).
constexpr double kRateForNoFrameDuration = 25;

// The rate a frame duration stands for; kRateForNoFrameDuration for 0 or
// less.
double FrameRateOf(std::int64_t avgTimePerFrame);
// The up arrow: 30 stays, 28 becomes 29.97, above 29 and below 30 becomes
// 30, anything else one more.
double FrameRateUp(double rate);
// The down arrow: 1 stays, 30 becomes 29.97, above 29 and below 30 becomes
// 28, anything else one less. A rate never reaches 0 or goes below it: a
// rate at or below 1 stays.
double FrameRateDown(double rate);
// The rate as the dialog shows it: "%8.3f" with the given decimal separator.
QString FrameRateText(double rate, const QString& decimalPoint);
// OK: the pin's format with the chosen size and rate. The frame duration is
// 10000000 / rate, the fraction dropped; the image size counts each row
// rounded up to 4 bytes. Throws RangeCheckError when the duration does not
// fit a signed 32-bit number.
MediaType FormatForChoice(MediaType format, const QString& resolution, double rate);

} // namespace qeltv
