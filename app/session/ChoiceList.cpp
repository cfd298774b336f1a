#include "app/session/ChoiceList.h"

namespace qeltv {

void ChoiceList::clear() {
    entries.clear();
    data.clear();
    selected = -1;
}

void ChoiceList::add(const QString& entry, int value) {
    entries << entry;
    data.push_back(value);
}

void ChoiceList::choose(int index) {
    selected = index >= 0 && index < entries.size() ? index : -1;
}

QString ChoiceList::selectedText() const {
    return selected >= 0 && selected < entries.size() ? entries[selected] : QString();
}

std::optional<int> ChoiceList::selectedData() const {
    if (selected < 0 || static_cast<std::size_t>(selected) >= data.size())
        return std::nullopt;
    return data[static_cast<std::size_t>(selected)];
}

} // namespace qeltv
