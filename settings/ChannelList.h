// The channel list: ordered rows of texts (number, name, frequency in hertz,
// and whatever further fields a stored row carries), at most one selected.
// The current channel number (what the tuner was last told) is kept apart by
// the main window; the selection is only what the user picked in the list.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace qeltv {

class RegFile;
class AutoTuneStore;

// Comma text of a stored channel row. Fields holding a space, a byte below
// 32, a double quote or a comma are written in double quotes with inner
// quotes doubled; a row of exactly one empty field is written as "".
std::string ToCommaText(const std::vector<std::string>& fields);
std::vector<std::string> FromCommaText(const std::string& text);

// The integer value of a channel number text, or `fallback` when the text is
// not an integer (leading and trailing blanks and a sign are accepted).
long ChannelNumberOr(const std::string& text, long fallback);

struct Channel {
    std::string number;
    // name, frequency, further fields; a stored row may have none at all.
    std::vector<std::string> data;

    // A row that has no name field shows an empty name.
    std::string name() const { return data.empty() ? std::string() : data[0]; }
    std::string frequency() const { return data.size() > 1 ? data[1] : std::string(); }
    void setName(const std::string& name);
    // "%s - %s": the entry of the quick-channel box.
    std::string quickText() const { return number + " - " + name(); }
};

class ChannelList {
public:
    static constexpr const char* kNewChannelName = "Noname";

    const std::vector<Channel>& channels() const { return channels_; }
    std::size_t size() const { return channels_.size(); }
    bool empty() const { return channels_.empty(); }
    const Channel& at(std::size_t i) const { return channels_.at(i); }
    Channel& at(std::size_t i) { return channels_.at(i); }

    void clear();
    void add(Channel channel);
    // Adds a channel named "Noname" with the frequency in decimal.
    void addNew(long number, long frequency_hz);

    std::optional<std::size_t> selected() const { return selected_; }
    void select(std::optional<std::size_t> index);

    // The four cyclic steps; each returns false (and changes nothing) when
    // the list is empty.
    bool selectFirst();
    bool selectLast();
    bool selectNext();
    bool selectPrevious();

    // Reads the "Channels" subkey. Rows come in
    // store order; the row whose number equals currentChannel is selected.
    // Returns false when the subkey does not exist.
    bool load(RegFile& userStore, const std::string& channelsKey, long currentChannel);
    // Fallback when the own list is empty: the auto-tune store of tuning
    // space 31, every row named "Noname". Returns false when it is missing.
    bool loadFallback(const AutoTuneStore& store, long currentChannel);
    // Deletes and recreates the subkey in the store's memory, then sets every
    // row in list order; writes no file, so a caller can save the rows
    // together with other changes in one write. Returns false when the
    // subkey cannot be created. Throws RegError for a row holding a zero byte.
    bool storeTo(RegFile& userStore, const std::string& channelsKey) const;
    // storeTo(), then one atomic write of the file (RegError when it fails).
    bool save(RegFile& userStore, const std::string& channelsKey) const;

private:
    std::vector<Channel> channels_;
    std::optional<std::size_t> selected_;
};

} // namespace qeltv
