// How the Preferences page picks its entries from the saved friendly names:
// compared without regard to case, never by index.
#pragma once

#include "capture/MediaType.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace qeltv {

enum class NameMatch { First, Last };

// The index of the entry equal to `saved` (the first or the last such
// entry), or `fallback` when none is; -1 stays -1 for an empty list.
int SelectBySavedName(const QStringList& entries, const QString& saved, NameMatch match,
                      int fallback);

// The format list's entries: one per format, in the formats' order, so an
// entry's position is its format's position; a format without a wave format
// block has an empty entry.
QStringList AudioFormatEntries(const std::vector<MediaType>& formats);

} // namespace qeltv
