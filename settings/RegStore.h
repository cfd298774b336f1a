// The settings store: a registry-like tree of keys and typed values kept in a
// text file in the REGEDIT4 export syntax, one file per root
// (HKEY_CURRENT_USER.reg, HKEY_LOCAL_MACHINE.reg).
//
// Key and value names are compared without regard to ASCII case and keep the
// case in which they were first written. Keys and values keep the order in
// which they were created. Texts are byte strings; any text without a zero
// byte survives a save and a load unchanged.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace qeltv {

// A file that does not parse; what() names the file and the line. Every
// failure to load a file that exists is one of these, so a caller reports
// them all in one place.
class RegParseError : public std::runtime_error {
public:
    RegParseError(const std::filesystem::path& file, int line, const std::string& what);
    const std::filesystem::path& file() const { return file_; }
    // The line that does not parse; 0 when the file could not be read at all.
    int line() const { return line_; }

protected:
    // what() is `message` as it stands.
    RegParseError(const std::filesystem::path& file, const std::string& message);

private:
    std::filesystem::path file_;
    int line_;
};

// A file that exists but cannot be read (no permission, an I/O error, a
// folder in its place): "Cannot read <file>: <the system's reason>".
class RegReadError : public RegParseError {
public:
    RegReadError(const std::filesystem::path& file, const std::string& reason);
};

// Any other failure of the store: a value of the wrong type, a missing value,
// a file that cannot be written.
class RegError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using RegValueData = std::variant<std::string, std::uint32_t>;

// One root (HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE) held in memory and
// mirrored in one file. Paths are backslash-separated and relative to the
// root ("Software\\Qel\\QelTV"); a leading backslash is allowed.
class RegFile {
public:
    RegFile(std::filesystem::path file, std::string rootName);
    ~RegFile();
    RegFile(const RegFile&) = delete;
    RegFile& operator=(const RegFile&) = delete;

    const std::filesystem::path& path() const { return file_; }
    const std::string& rootName() const { return rootName_; }

    // Reads the file. A missing file is an empty store. A file that does not
    // parse throws RegParseError after moving it aside to "<name>.bad", so the
    // next save does not overwrite what the user had; the store is then empty.
    // A file that exists but cannot be read throws RegReadError and leaves an
    // empty store; it stays where it is until the next save.
    void load();
    // Writes the whole store atomically: temporary file in the same folder,
    // fsync, rename. Creates the folder when missing. A file that the last
    // load could not read, or could not move aside, is first moved to
    // "<name>.bad"; when even that fails nothing is written. Throws RegError.
    void save();

    bool keyExists(const std::string& key) const;
    // Creates the key and its missing parents; returns false for an empty path.
    bool createKey(const std::string& key);
    // Deletes the key with all its subkeys; false when it did not exist.
    bool deleteKey(const std::string& key);

    bool valueExists(const std::string& key, const std::string& name) const;
    std::optional<RegValueData> value(const std::string& key, const std::string& name) const;
    // Sets a value, creating it at the end of the key's value list when new;
    // the key must exist (false otherwise). A value keeps its position and
    // the case of its first name when rewritten. A text holding a zero byte
    // cannot be stored: RegError, and nothing changes.
    bool setValue(const std::string& key, const std::string& name, RegValueData data);
    std::vector<std::string> valueNames(const std::string& key) const;
    std::vector<std::string> subkeyNames(const std::string& key) const;

    // The text of the file as save() writes it.
    std::string serialize() const;
    // Replaces the store by the parsed text; throws RegParseError naming
    // `file_` and the line.
    void parse(const std::string& text);

private:
    struct Key;
    Key* find(const std::string& key) const;

    // Moves a file the last load could not use to "<name>.bad"; false when
    // it could not, with errno set.
    bool moveAside() const;

    std::filesystem::path file_;
    std::string rootName_;
    std::unique_ptr<Key> root_;
    // The file on disk holds what the user had but the store does not: the
    // next save must not replace it before moving it aside.
    bool mustMoveAside_ = false;
};

// Access to one root in the manner of a registry handle: open a key, read and
// write its values, close it. A key opened for writing saves the file when it
// is closed and something was changed, so each finished write is on disk.
class Registry {
public:
    explicit Registry(RegFile& file) : file_(file) {}
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Opens a key for reading and writing; creates it (with its parents) when
    // canCreate is set. False when it does not exist and may not be created.
    bool OpenKey(const std::string& key, bool canCreate);
    bool OpenKeyReadOnly(const std::string& key);
    // Saves the file when the key was opened for writing and changed.
    void CloseKey();

    bool KeyExists(const std::string& key) const;
    bool DeleteKey(const std::string& key);

    bool ValueExists(const std::string& name) const;
    // Throw RegError when the value is missing or of the other type.
    std::string ReadString(const std::string& name) const;
    std::int32_t ReadInteger(const std::string& name) const;
    // Throw RegError when no key is open or it was opened read-only.
    void WriteString(const std::string& name, const std::string& value);
    void WriteInteger(const std::string& name, std::int32_t value);
    std::vector<std::string> GetValueNames() const;

    const std::string& currentKey() const { return current_; }

private:
    void requireOpen() const;
    void requireWritable() const;

    RegFile& file_;
    std::string current_;
    bool open_ = false;
    bool writable_ = false;
    bool dirty_ = false;
};

} // namespace qeltv
