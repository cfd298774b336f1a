#include "settings/ChannelList.h"

#include "settings/AutoTuneStore.h"
#include "settings/RegStore.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace qeltv {

namespace {
bool isBlank(unsigned char c) {
    return c >= 1 && c <= 32;
}

bool needsQuotes(const std::string& field) {
    for (unsigned char c : field)
        if (c < 32 || c == ' ' || c == '"' || c == ',')
            return true;
    return false;
}
} // namespace

std::string ToCommaText(const std::vector<std::string>& fields) {
    if (fields.size() == 1 && fields[0].empty())
        return "\"\"";
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i)
            out += ',';
        const std::string& f = fields[i];
        if (!needsQuotes(f)) {
            out += f;
            continue;
        }
        out += '"';
        for (char c : f) {
            if (c == '"')
                out += '"';
            out += c;
        }
        out += '"';
    }
    return out;
}

std::vector<std::string> FromCommaText(const std::string& text) {
    std::vector<std::string> fields;
    // A zero byte ends the text.
    const std::size_t end = std::min(text.size(), text.find('\0'));
    std::size_t p = 0;
    auto at = [&](std::size_t i) -> unsigned char { return i < end ? text[i] : 0; };
    while (isBlank(at(p)))
        ++p;
    while (p < end) {
        std::string field;
        if (at(p) == '"') {
            ++p;
            while (p < end) {
                if (at(p) == '"') {
                    if (at(p + 1) == '"') {
                        field += '"';
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                field += text[p++];
            }
        } else {
            std::size_t start = p;
            while (p < end && at(p) > ' ' && at(p) != ',')
                ++p;
            field.assign(text, start, p - start);
        }
        fields.push_back(std::move(field));
        while (isBlank(at(p)))
            ++p;
        if (at(p) == ',') {
            if (p + 1 >= end)
                fields.emplace_back();
            do {
                ++p;
            } while (isBlank(at(p)));
        }
    }
    return fields;
}

long ChannelNumberOr(const std::string& text, long fallback) {
    std::size_t b = text.find_first_not_of(" \t");
    std::size_t e = text.find_last_not_of(" \t");
    if (b == std::string::npos)
        return fallback;
    const std::string t = text.substr(b, e - b + 1);
    errno = 0;
    char* endp = nullptr;
    long v = std::strtol(t.c_str(), &endp, 10);
    if (endp == t.c_str() || *endp != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return fallback;
    return v;
}

void Channel::setName(const std::string& name) {
    if (data.empty())
        data.push_back(name);
    else
        data[0] = name;
}

void ChannelList::clear() {
    channels_.clear();
    selected_.reset();
}

void ChannelList::add(Channel channel) {
    channels_.push_back(std::move(channel));
}

void ChannelList::addNew(long number, long frequency_hz) {
    add(Channel{std::to_string(number), {kNewChannelName, std::to_string(frequency_hz)}});
}

void ChannelList::select(std::optional<std::size_t> index) {
    if (index && *index >= channels_.size())
        index.reset();
    selected_ = index;
}

bool ChannelList::selectFirst() {
    if (channels_.empty())
        return false;
    selected_ = 0;
    return true;
}

bool ChannelList::selectLast() {
    if (channels_.empty())
        return false;
    selected_ = channels_.size() - 1;
    return true;
}

bool ChannelList::selectNext() {
    if (channels_.empty())
        return false;
    if (selected_ && *selected_ + 1 < channels_.size())
        selected_ = *selected_ + 1;
    else
        selected_ = 0;
    return true;
}

bool ChannelList::selectPrevious() {
    if (channels_.empty())
        return false;
    if (selected_ && *selected_ > 0)
        selected_ = *selected_ - 1;
    else
        selected_ = channels_.size() - 1;
    return true;
}

bool ChannelList::load(RegFile& userStore, const std::string& channelsKey, long currentChannel) {
    Registry reader(userStore);
    if (!reader.OpenKeyReadOnly(channelsKey))
        return false;
    clear();
    for (const auto& name : reader.GetValueNames()) {
        Channel c{name, FromCommaText(reader.ReadString(name))};
        add(std::move(c));
        if (ChannelNumberOr(name, -1) == currentChannel)
            selected_ = channels_.size() - 1;
    }
    reader.CloseKey();
    return true;
}

bool ChannelList::loadFallback(const AutoTuneStore& store, long currentChannel) {
    constexpr long kFallbackTuningSpace = 31;
    if (!store.exists(kFallbackTuningSpace))
        return false;
    for (const auto& [name, frequency] : store.entries(kFallbackTuningSpace)) {
        add(Channel{name, {kNewChannelName, std::to_string(frequency)}});
        if (ChannelNumberOr(name, -1) == currentChannel)
            selected_ = channels_.size() - 1;
    }
    return true;
}

bool ChannelList::storeTo(RegFile& userStore, const std::string& channelsKey) const {
    userStore.deleteKey(channelsKey);
    if (!userStore.createKey(channelsKey))
        return false;
    for (const auto& c : channels_)
        userStore.setValue(channelsKey, c.number, ToCommaText(c.data));
    return true;
}

bool ChannelList::save(RegFile& userStore, const std::string& channelsKey) const {
    const bool stored = storeTo(userStore, channelsKey);
    userStore.save();
    return stored;
}

} // namespace qeltv
