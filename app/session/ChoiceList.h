// One list of the Preferences or Web options page as data: its entries, what
// each entry stands for (a device's enumeration position, a pin index, a
// profile index; -1 for none) and the selected entry (-1 for none).
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace qeltv {

struct ChoiceList {
    QStringList entries;
    std::vector<int> data;
    int selected = -1;

    void clear();
    void add(const QString& entry, int value);
    bool empty() const { return entries.isEmpty(); }
    // Selects an entry: -1, or one out of range, selects none.
    void choose(int index);
    QString selectedText() const;
    std::optional<int> selectedData() const;
};

} // namespace qeltv
