#include "settings/RegStore.h"

#include "common/Ascii.h"
#include "common/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace qeltv {

namespace {

constexpr const char* kHeader = "REGEDIT4";

// Splits "A\B\C" (leading and doubled backslashes ignored) into components.
std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\') {
            if (!part.empty())
                parts.push_back(std::move(part));
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty())
        parts.push_back(std::move(part));
    return parts;
}

std::string quote(const std::string& text) {
    static const char* hex = "0123456789abcdef";
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 32) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

std::string errnoText(const std::string& what, const std::filesystem::path& file) {
    return what + " " + file.string() + ": " + std::strerror(errno);
}

} // namespace

RegParseError::RegParseError(const std::filesystem::path& file, int line, const std::string& what)
    : std::runtime_error(file.string() + ", line " + std::to_string(line) + ": " + what),
      file_(file), line_(line) {}

RegParseError::RegParseError(const std::filesystem::path& file, const std::string& message)
    : std::runtime_error(message), file_(file), line_(0) {}

RegReadError::RegReadError(const std::filesystem::path& file, const std::string& reason)
    : RegParseError(file, "Cannot read " + file.string() + ": " + reason) {}

struct RegFile::Key {
    std::string name;
    std::vector<std::pair<std::string, RegValueData>> values;
    std::vector<std::unique_ptr<Key>> subkeys;

    Key* child(const std::string& n) const {
        for (const auto& k : subkeys)
            if (equalsIgnoringAsciiCase(k->name, n))
                return k.get();
        return nullptr;
    }
    const RegValueData* value(const std::string& n) const {
        for (const auto& v : values)
            if (equalsIgnoringAsciiCase(v.first, n))
                return &v.second;
        return nullptr;
    }
};

RegFile::RegFile(std::filesystem::path file, std::string rootName)
    : file_(std::move(file)), rootName_(std::move(rootName)), root_(std::make_unique<Key>()) {}

RegFile::~RegFile() = default;

RegFile::Key* RegFile::find(const std::string& key) const {
    Key* k = root_.get();
    for (const auto& part : splitPath(key)) {
        k = k->child(part);
        if (!k)
            return nullptr;
    }
    return k;
}

bool RegFile::keyExists(const std::string& key) const {
    return !splitPath(key).empty() && find(key) != nullptr;
}

bool RegFile::createKey(const std::string& key) {
    auto parts = splitPath(key);
    if (parts.empty())
        return false;
    Key* k = root_.get();
    for (const auto& part : parts) {
        Key* next = k->child(part);
        if (!next) {
            k->subkeys.push_back(std::make_unique<Key>());
            next = k->subkeys.back().get();
            next->name = part;
        }
        k = next;
    }
    return true;
}

bool RegFile::deleteKey(const std::string& key) {
    auto parts = splitPath(key);
    if (parts.empty())
        return false;
    const std::string last = parts.back();
    parts.pop_back();
    Key* parent = root_.get();
    for (const auto& part : parts) {
        parent = parent->child(part);
        if (!parent)
            return false;
    }
    auto& subs = parent->subkeys;
    auto it = std::find_if(subs.begin(), subs.end(),
                           [&](const auto& k) { return equalsIgnoringAsciiCase(k->name, last); });
    if (it == subs.end())
        return false;
    subs.erase(it);
    return true;
}

bool RegFile::valueExists(const std::string& key, const std::string& name) const {
    const Key* k = find(key);
    return k && k->value(name);
}

std::optional<RegValueData> RegFile::value(const std::string& key, const std::string& name) const {
    const Key* k = find(key);
    if (!k)
        return std::nullopt;
    const RegValueData* v = k->value(name);
    if (!v)
        return std::nullopt;
    return *v;
}

bool RegFile::setValue(const std::string& key, const std::string& name, RegValueData data) {
    if (const auto* text = std::get_if<std::string>(&data);
        text && text->find('\0') != std::string::npos)
        throw RegError("The value \"" + name + "\" holds a zero byte");
    Key* k = find(key);
    if (!k || splitPath(key).empty())
        return false;
    for (auto& v : k->values) {
        if (equalsIgnoringAsciiCase(v.first, name)) {
            v.second = std::move(data);
            return true;
        }
    }
    k->values.emplace_back(name, std::move(data));
    return true;
}

std::vector<std::string> RegFile::valueNames(const std::string& key) const {
    std::vector<std::string> names;
    if (const Key* k = find(key))
        for (const auto& v : k->values)
            names.push_back(v.first);
    return names;
}

std::vector<std::string> RegFile::subkeyNames(const std::string& key) const {
    std::vector<std::string> names;
    if (const Key* k = find(key))
        for (const auto& s : k->subkeys)
            names.push_back(s->name);
    return names;
}

std::string RegFile::serialize() const {
    std::string out = std::string(kHeader) + "\n\n";
    // Depth first, in creation order; every key gets its own section.
    struct Walker {
        std::string& out;
        void walk(const Key& k, const std::string& path) {
            out += "[" + path + "]\n";
            for (const auto& [name, data] : k.values) {
                out += quote(name) + "=";
                if (const auto* s = std::get_if<std::string>(&data)) {
                    out += quote(*s);
                } else {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "dword:%08x", std::get<std::uint32_t>(data));
                    out += buf;
                }
                out += "\n";
            }
            out += "\n";
            for (const auto& s : k.subkeys)
                walk(*s, path + "\\" + s->name);
        }
    } walker{out};
    for (const auto& s : root_->subkeys)
        walker.walk(*s, rootName_ + "\\" + s->name);
    return out;
}

void RegFile::parse(const std::string& text) {
    auto fresh = std::make_unique<Key>();
    std::swap(root_, fresh); // fresh now holds the old tree, restored on failure
    try {
        std::istringstream in(text);
        std::string line;
        int lineNo = 0;
        std::string currentKey;
        bool haveKey = false;
        auto fail = [&](const std::string& what) { throw RegParseError(file_, lineNo, what); };

        // Reads a quoted text starting at pos (which must be '"'); returns
        // the position after the closing quote.
        auto readQuoted = [&](const std::string& l, std::size_t pos, std::string& out) {
            if (pos >= l.size() || l[pos] != '"')
                fail("expected '\"'");
            ++pos;
            out.clear();
            while (true) {
                if (pos >= l.size())
                    fail("unterminated text");
                char c = l[pos++];
                if (c == '"')
                    return pos;
                if (c != '\\') {
                    out += c;
                    continue;
                }
                if (pos >= l.size())
                    fail("unterminated text");
                char e = l[pos++];
                if (e == '\\' || e == '"') {
                    out += e;
                } else if (e == 'x') {
                    int hi = pos < l.size() ? hexDigitValue(l[pos]) : -1;
                    int lo = pos + 1 < l.size() ? hexDigitValue(l[pos + 1]) : -1;
                    if (hi < 0 || lo < 0)
                        fail("bad \\x escape");
                    int byte = hi * 16 + lo;
                    if (byte == 0)
                        fail("zero byte in text");
                    out += static_cast<char>(byte);
                    pos += 2;
                } else {
                    fail(std::string("unknown escape \\") + e);
                }
            }
        };

        while (std::getline(in, line)) {
            ++lineNo;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (lineNo == 1) {
                // Tolerate a UTF-8 byte order mark written by an editor.
                if (line.rfind("\xEF\xBB\xBF", 0) == 0)
                    line.erase(0, 3);
                if (line != kHeader)
                    fail("the file does not start with REGEDIT4");
                continue;
            }
            std::size_t first = line.find_first_not_of(" \t");
            if (first == std::string::npos || line[first] == ';')
                continue;
            if (line[first] == '[') {
                std::size_t last = line.find_last_not_of(" \t");
                if (line[last] != ']')
                    fail("a key line must end with ']'");
                std::string path = line.substr(first + 1, last - first - 1);
                auto parts = splitPath(path);
                if (parts.empty() || !equalsIgnoringAsciiCase(parts.front(), rootName_))
                    fail("key outside " + rootName_ + ": " + path);
                std::string rel;
                for (std::size_t i = 1; i < parts.size(); ++i)
                    rel += (i > 1 ? "\\" : "") + parts[i];
                if (rel.empty())
                    fail("the root itself cannot hold values");
                createKey(rel);
                currentKey = rel;
                haveKey = true;
                continue;
            }
            if (!haveKey)
                fail("value outside a key");
            std::string name;
            std::size_t pos = readQuoted(line, first, name);
            if (pos >= line.size() || line[pos] != '=')
                fail("expected '=' after the value name");
            ++pos;
            if (pos < line.size() && line[pos] == '"') {
                std::string data;
                pos = readQuoted(line, pos, data);
                if (line.find_first_not_of(" \t", pos) != std::string::npos)
                    fail("text after the value");
                setValue(currentKey, name, data);
            } else if (line.compare(pos, 6, "dword:") == 0) {
                std::string digits = line.substr(pos + 6);
                while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\t'))
                    digits.pop_back();
                if (digits.empty() || digits.size() > 8 ||
                    !std::all_of(digits.begin(), digits.end(),
                                 [](char c) { return hexDigitValue(c) >= 0; }))
                    fail("bad dword value");
                setValue(currentKey, name,
                         static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16)));
            } else {
                fail("unsupported value type");
            }
        }
        if (lineNo == 0)
            throw RegParseError(file_, 1, "the file does not start with REGEDIT4");
    } catch (...) {
        std::swap(root_, fresh);
        throw;
    }
}

namespace {

constexpr std::size_t kReadChunkBytes = 65536;

// The whole file; nothing when it does not exist. Throws RegReadError when
// it exists but cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path& file) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT)
            return std::nullopt;
        throw RegReadError(file, std::strerror(errno));
    }
    std::string text;
    char buffer[kReadChunkBytes];
    while (true) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw RegReadError(file, std::strerror(errno));
        }
        if (n == 0)
            return text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

} // namespace

void RegFile::load() {
    root_ = std::make_unique<Key>();
    mustMoveAside_ = false;
    std::optional<std::string> text;
    try {
        text = readWholeFile(file_);
    } catch (const RegReadError&) {
        mustMoveAside_ = true;
        throw;
    }
    if (!text)
        return;
    try {
        parse(*text);
    } catch (const RegParseError&) {
        // Keep what the user had beside the file the next save writes; when
        // it cannot be moved now, the save tries again and writes nothing if
        // it still cannot.
        mustMoveAside_ = !moveAside();
        root_ = std::make_unique<Key>();
        throw;
    }
}

bool RegFile::moveAside() const {
    const std::string bad = file_.string() + ".bad";
    return ::rename(file_.c_str(), bad.c_str()) == 0 || errno == ENOENT;
}

void RegFile::save() {
    if (mustMoveAside_) {
        if (!moveAside())
            throw RegError("Not saved: " + file_.string() +
                           " could not be read and cannot be moved to " + file_.string() +
                           ".bad: " + std::strerror(errno));
        mustMoveAside_ = false;
    }
    const std::string text = serialize();
    std::error_code ec;
    std::filesystem::create_directories(file_.parent_path(), ec);
    std::string tmpl = file_.string() + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    UniqueFd fd(::mkstemp(name.data()));
    if (!fd)
        throw RegError(errnoText("Cannot create a temporary file beside", file_));
    const std::string tmp(name.data());
    auto failWith = [&](const std::string& what) {
        int saved = errno;
        fd.reset();
        ::unlink(tmp.c_str());
        errno = saved;
        throw RegError(errnoText(what, file_));
    };
    ::fchmod(fd.get(), 0600);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            failWith("Cannot write");
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0)
        failWith("Cannot flush");
    if (const int error = fd.close(); error != 0) {
        ::unlink(tmp.c_str());
        errno = error;
        throw RegError(errnoText("Cannot close", file_));
    }
    if (::rename(tmp.c_str(), file_.c_str()) != 0) {
        int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        throw RegError(errnoText("Cannot replace", file_));
    }
    // Make the rename itself durable.
    const UniqueFd dir(::open(file_.parent_path().empty() ? "." : file_.parent_path().c_str(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.get());
}

// ---------------------------------------------------------------- Registry

Registry::~Registry() {
    try {
        CloseKey();
    } catch (...) {
        // A destructor cannot report; CloseKey() called explicitly does.
    }
}

bool Registry::OpenKey(const std::string& key, bool canCreate) {
    CloseKey();
    if (!file_.keyExists(key)) {
        if (!canCreate || !file_.createKey(key))
            return false;
        dirty_ = true;
    }
    current_ = key;
    open_ = true;
    writable_ = true;
    return true;
}

bool Registry::OpenKeyReadOnly(const std::string& key) {
    CloseKey();
    if (!file_.keyExists(key))
        return false;
    current_ = key;
    open_ = true;
    writable_ = false;
    return true;
}

void Registry::CloseKey() {
    bool save = open_ && writable_ && dirty_;
    open_ = writable_ = false;
    current_.clear();
    if (save || dirty_) {
        dirty_ = false;
        file_.save();
    }
}

bool Registry::KeyExists(const std::string& key) const {
    return file_.keyExists(key);
}

bool Registry::DeleteKey(const std::string& key) {
    if (!file_.deleteKey(key))
        return false;
    dirty_ = true;
    if (!open_)
        CloseKey(); // nothing open: write the change now
    return true;
}

bool Registry::ValueExists(const std::string& name) const {
    return open_ && file_.valueExists(current_, name);
}

void Registry::requireOpen() const {
    if (!open_)
        throw RegError("No key is open");
}

void Registry::requireWritable() const {
    requireOpen();
    if (!writable_)
        throw RegError("The key " + current_ + " is open for reading only");
}

std::string Registry::ReadString(const std::string& name) const {
    requireOpen();
    auto v = file_.value(current_, name);
    if (!v)
        throw RegError("The value \"" + name + "\" does not exist in " + current_);
    if (const auto* s = std::get_if<std::string>(&*v))
        return *s;
    throw RegError("Invalid data type for '" + name + "'");
}

std::int32_t Registry::ReadInteger(const std::string& name) const {
    requireOpen();
    auto v = file_.value(current_, name);
    if (!v)
        throw RegError("The value \"" + name + "\" does not exist in " + current_);
    if (const auto* n = std::get_if<std::uint32_t>(&*v))
        return static_cast<std::int32_t>(*n);
    throw RegError("Invalid data type for '" + name + "'");
}

void Registry::WriteString(const std::string& name, const std::string& value) {
    requireWritable();
    file_.setValue(current_, name, value);
    dirty_ = true;
}

void Registry::WriteInteger(const std::string& name, std::int32_t value) {
    requireWritable();
    file_.setValue(current_, name, static_cast<std::uint32_t>(value));
    dirty_ = true;
}

std::vector<std::string> Registry::GetValueNames() const {
    return open_ ? file_.valueNames(current_) : std::vector<std::string>{};
}

} // namespace qeltv
