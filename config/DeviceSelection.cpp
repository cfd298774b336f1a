#include "config/DeviceSelection.h"

namespace qeltv {

int SelectBySavedName(const QStringList& entries, const QString& saved, NameMatch match,
                      int fallback) {
    int found = -1;
    for (int i = 0; i < entries.size(); ++i) {
        if (entries[i].compare(saved, Qt::CaseInsensitive) != 0)
            continue;
        found = i;
        if (match == NameMatch::First)
            break;
    }
    if (found >= 0)
        return found;
    return entries.isEmpty() ? -1 : fallback;
}

QStringList AudioFormatEntries(const std::vector<MediaType>& formats) {
    QStringList entries;
    for (const MediaType& format : formats)
        entries << QString::fromStdString(AudioFormatText(format));
    return entries;
}

} // namespace qeltv
