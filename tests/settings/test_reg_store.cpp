#include "settings/RegStore.h"
#include "settings/Settings.h"
#include "tests/settings/TempDir.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <gtest/gtest.h>
#include <random>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace qeltv;
using qeltv::test::ReadFile;
using qeltv::test::TempDir;
using qeltv::test::WriteFile;

namespace {
constexpr const char* kRoot = "HKEY_CURRENT_USER";
// An ordinary user that every Debian system has.
constexpr uid_t kNobody = 65534;
} // namespace

TEST(RegStore, WritesRegedit4Layout) {
    TempDir dir;
    RegFile file(dir / "HKEY_CURRENT_USER.reg", kRoot);
    Registry reg(file);
    ASSERT_TRUE(reg.OpenKey("\\Software\\Qel\\QelTV", true));
    reg.WriteString("CapFile", "C:\\x \"y\"\n");
    reg.WriteInteger("PreviewWidth", 31);
    reg.WriteInteger("Negative", -1);
    reg.CloseKey();
    EXPECT_EQ(ReadFile(file.path()), "REGEDIT4\n\n"
                                     "[HKEY_CURRENT_USER\\Software]\n\n"
                                     "[HKEY_CURRENT_USER\\Software\\Qel]\n\n"
                                     "[HKEY_CURRENT_USER\\Software\\Qel\\QelTV]\n"
                                     "\"CapFile\"=\"C:\\\\x \\\"y\\\"\\x0a\"\n"
                                     "\"PreviewWidth\"=dword:0000001f\n"
                                     "\"Negative\"=dword:ffffffff\n\n");
}

// Every byte string without a zero byte must come back unchanged, in names too.
TEST(RegStore, AwkwardTextsRoundTrip) {
    TempDir dir;
    std::string all;
    for (int c = 1; c < 256; ++c)
        all += static_cast<char>(c);
    const std::vector<std::string> texts = {"",  "\\",  "\"",   "\\x41", "a\r\nb",
                                            "]", "[x]", "=\"=", all,     std::string(5000, '\x1f')};
    {
        RegFile file(dir / "s.reg", kRoot);
        Registry reg(file);
        ASSERT_TRUE(reg.OpenKey("K", true));
        for (std::size_t i = 0; i < texts.size(); ++i)
            reg.WriteString("v" + texts[i], texts[i]);
        reg.CloseKey();
    }
    RegFile file(dir / "s.reg", kRoot);
    file.load();
    Registry reg(file);
    ASSERT_TRUE(reg.OpenKeyReadOnly("K"));
    auto names = reg.GetValueNames();
    ASSERT_EQ(names.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(names[i], "v" + texts[i]);
        EXPECT_EQ(reg.ReadString("v" + texts[i]), texts[i]);
    }
    EXPECT_THROW(reg.WriteString("x", "y"), RegError); // read-only key
}

TEST(RegStore, NamesIgnoreCaseKeepFirstCaseAndOrder) {
    TempDir dir;
    RegFile file(dir / "s.reg", kRoot);
    file.createKey("Software\\Qel");
    EXPECT_TRUE(file.keyExists("\\SOFTWARE\\qel"));
    file.setValue("software\\qel", "Zeta", std::string("1"));
    file.setValue("software\\qel", "alpha", std::string("2"));
    file.setValue("software\\qel", "ZETA", std::string("3"));
    EXPECT_EQ(file.valueNames("Software\\Qel"), (std::vector<std::string>{"Zeta", "alpha"}));
    EXPECT_EQ(std::get<std::string>(*file.value("Software\\Qel", "zeta")), "3");
    file.createKey("software\\QEL\\Channels");
    EXPECT_EQ(file.subkeyNames("Software"), std::vector<std::string>{"Qel"});
    EXPECT_TRUE(file.deleteKey("SOFTWARE\\qel"));
    EXPECT_FALSE(file.keyExists("Software\\Qel\\Channels"));
    EXPECT_TRUE(file.keyExists("Software"));
}

TEST(RegStore, ReadsHandEditedFileAndReportsWrongTypes) {
    TempDir dir;
    WriteFile(dir / "s.reg", "REGEDIT4\r\n\r\n; edited by hand\r\n"
                             "[HKEY_CURRENT_USER\\Software\\Qel\\QelTV]\r\n"
                             "\"previewwidth\"=dword:1E0\r\n"
                             "\"CapFile\"=\"/tmp/a.avi\"\r\n");
    RegFile file(dir / "s.reg", kRoot);
    file.load();
    Registry reg(file);
    ASSERT_TRUE(reg.OpenKeyReadOnly("Software\\Qel\\QelTV"));
    EXPECT_EQ(reg.ReadInteger("PreviewWidth"), 480);
    EXPECT_EQ(reg.ReadString("capfile"), "/tmp/a.avi");
    try {
        reg.ReadInteger("CapFile");
        FAIL() << "expected a type error";
    } catch (const RegError& e) {
        EXPECT_STREQ(e.what(), "Invalid data type for 'CapFile'");
    }
    EXPECT_THROW(reg.ReadString("PreviewWidth"), RegError);
    EXPECT_THROW(reg.ReadString("Missing"), RegError);
}

// A file that does not parse names the file and line, is kept as .bad and
// leaves an empty store, so the program can go on with defaults.
TEST(RegStore, CorruptFilesAreKeptAsBad) {
    TempDir dir;
    const std::vector<std::pair<std::string, int>> cases = {
        {"garbage", 1},
        {"REGEDIT4\n\n\"a\"=\"b\"\n", 3},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"a\"=\"unterminated\n", 3},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"a\"=dword:123456789\n", 3},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"a\"=hex:00\n", 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n", 2},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"a\"=\"\\x00\"\n", 3},
        {"", 1},
    };
    for (const auto& [text, line] : cases) {
        const auto path = dir / "s.reg";
        WriteFile(path, text);
        std::filesystem::remove(dir / "s.reg.bad");
        RegFile file(path, kRoot);
        try {
            file.load();
            FAIL() << "parsed: " << text;
        } catch (const RegParseError& e) {
            EXPECT_EQ(e.line(), line) << text;
            EXPECT_NE(std::string(e.what()).find(path.string() + ", line " + std::to_string(line)),
                      std::string::npos)
                << e.what();
        }
        EXPECT_FALSE(std::filesystem::exists(path));
        EXPECT_EQ(ReadFile(dir / "s.reg.bad"), text);
        EXPECT_FALSE(file.keyExists("K"));
    }
}

// A process killed at any moment during the shutdown save (the values and
// the channel list) leaves the old or the new complete file, never a torn one
// and never one without its channels.
TEST(RegStore, KillsDuringSavesNeverTearTheFile) {
    TempDir dir;
    const auto path = dir / "s.reg";
    const std::string big(20000, 'x');
    constexpr int kChannelRows = 3;
    // Settings and channel rows that tell which generation wrote them.
    auto generation = [&](std::int32_t gen, Settings& settings, ChannelList& channels) {
        settings.CurrentChannel = gen;
        settings.CapFile = big + std::to_string(gen);
        channels.clear();
        for (int row = 1; row <= kChannelRows; ++row)
            channels.add(Channel{std::to_string(row), {"gen " + std::to_string(gen), "1"}});
    };
    {
        RegFile file(path, kRoot);
        Settings settings;
        ChannelList channels;
        generation(0, settings, channels);
        SaveSettings(file, settings, channels);
    }
    std::mt19937 rng(42);
    constexpr int kKills = 1000;
    for (int i = 0; i < kKills; ++i) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            RegFile file(path, kRoot);
            file.load();
            Settings settings;
            ChannelList channels;
            for (std::int32_t gen = 1;; ++gen) {
                generation(gen, settings, channels);
                SaveSettings(file, settings, channels);
            }
        }
        ::usleep(std::uniform_int_distribution<int>(0, 3000)(rng));
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        RegFile check(path, kRoot);
        ASSERT_NO_THROW(check.load()) << "torn after kill " << i;
        Registry reg(check);
        ASSERT_TRUE(reg.OpenKeyReadOnly(kSettingsKey)) << "after kill " << i;
        const std::int32_t gen = reg.ReadInteger("CurrentChannel");
        ASSERT_EQ(reg.ReadString("CapFile"), big + std::to_string(gen)) << "after kill " << i;
        ChannelList channels;
        ASSERT_TRUE(channels.load(check, kChannelsKey, 0)) << "no channels after kill " << i;
        ASSERT_EQ(channels.size(), static_cast<std::size_t>(kChannelRows)) << "after kill " << i;
        for (const auto& channel : channels.channels())
            ASSERT_EQ(channel.name(), "gen " + std::to_string(gen)) << "after kill " << i;
    }
    // Temporary files of killed saves may remain, but never replace the file.
    EXPECT_TRUE(std::filesystem::exists(path));
}

// A settings file of mode 000, read by an ordinary user: reported with the
// system's reason, moved aside to "<name>.bad" by the next save.
void ExpectFileOfMode000KeptAside() {
    TempDir dir;
    const auto path = dir / "HKEY_CURRENT_USER.reg";
    const std::string old = "REGEDIT4\n\n[HKEY_CURRENT_USER\\K]\n\"v\"=\"old\"\n\n";
    WriteFile(path, old);
    std::filesystem::permissions(path, std::filesystem::perms::none);
    RegFile file(path, kRoot);
    try {
        file.load();
        FAIL() << "a file of mode 000 loaded";
    } catch (const RegParseError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot read " + path.string() + ": " + std::strerror(EACCES));
    }
    EXPECT_FALSE(file.keyExists("K"));
    file.createKey("K");
    file.setValue("K", "v", std::string("new"));
    file.save();
    const std::filesystem::path bad = path.string() + ".bad";
    std::filesystem::permissions(bad, std::filesystem::perms::owner_read);
    EXPECT_EQ(ReadFile(bad), old);
    EXPECT_NE(ReadFile(path).find("\"v\"=\"new\""), std::string::npos);
}

// A settings file that exists but cannot be read is reported with the
// system's reason and leaves an empty store, so the program runs on with its
// defaults; the next save first moves it aside to "<name>.bad" and never
// writes over it. The main window reports it as it reports a corrupt file.
TEST(RegStore, UnreadableFileIsReportedAndKeptAside) {
    for (const char* root : {"HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"}) {
        TempDir dir;
        const auto path = dir / (std::string(root) + ".reg");
        const std::filesystem::path bad = path.string() + ".bad";
        // A folder in the file's place cannot be read even by root.
        std::filesystem::create_directory(path);
        WriteFile(path / "kept", "the user's channels");
        RegFile file(path, root);
        try {
            file.load();
            FAIL() << "a folder loaded";
        } catch (const RegParseError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Cannot read " + path.string() + ": " + std::strerror(EISDIR));
            EXPECT_EQ(e.file(), path);
        }
        EXPECT_TRUE(file.subkeyNames("").empty());
        EXPECT_TRUE(std::filesystem::is_directory(path)); // loading alone moves nothing
        ASSERT_TRUE(file.createKey("K"));
        file.setValue("K", "v", std::string("new"));
        file.save();
        EXPECT_EQ(ReadFile(bad / "kept"), "the user's channels");
        RegFile reread(path, root);
        reread.load();
        EXPECT_EQ(std::get<std::string>(*reread.value("K", "v")), "new");
        // Later saves write the file in place; the kept folder stays.
        file.save();
        EXPECT_EQ(ReadFile(bad / "kept"), "the user's channels");
    }

    // Root reads a file of mode 000: as root, that part runs as an ordinary
    // user in a child process.
    if (::geteuid() != 0) {
        ExpectFileOfMode000KeptAside();
        return;
    }
    std::fflush(stdout);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0) << std::strerror(errno);
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            std::fprintf(stdout, "cannot become user %u: %s\n", unsigned(kNobody),
                         std::strerror(errno));
            std::fflush(stdout);
            std::_Exit(2);
        }
        ExpectFileOfMode000KeptAside();
        std::fflush(stdout);
        std::_Exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "as user " << kNobody << ": status " << status;
}

// When the unreadable or corrupt file cannot be moved aside, the save writes
// nothing at all and says why.
TEST(RegStore, FileThatCannotBeMovedAsideIsNeverOverwritten) {
    TempDir dir;
    const auto path = dir / "s.reg";
    const std::filesystem::path bad = path.string() + ".bad";
    // A folder that is not empty cannot be replaced by a rename.
    WriteFile(bad / "older", "older keep");
    auto filesInDir = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    const std::vector<std::string> expected = {"s.reg", "s.reg.bad"};

    // Unreadable: a folder in the file's place.
    std::filesystem::create_directory(path);
    {
        RegFile file(path, kRoot);
        EXPECT_THROW(file.load(), RegParseError);
        file.createKey("K");
        try {
            file.save();
            FAIL() << "saved over an unreadable file";
        } catch (const RegError& e) {
            EXPECT_EQ(std::string(e.what()), "Not saved: " + path.string() +
                                                 " could not be read and cannot be moved to " +
                                                 bad.string() + ": " + std::strerror(ENOTEMPTY));
        }
        EXPECT_TRUE(std::filesystem::is_directory(path));
        EXPECT_EQ(filesInDir(), expected); // no temporary file left either
    }
    std::filesystem::remove(path);

    // Corrupt: the load cannot move it aside, so the save may not replace it.
    WriteFile(path, "garbage");
    {
        RegFile file(path, kRoot);
        EXPECT_THROW(file.load(), RegParseError);
        file.createKey("K");
        try {
            file.save();
            FAIL() << "saved over a corrupt file";
        } catch (const RegError& e) {
            EXPECT_EQ(std::string(e.what()), "Not saved: " + path.string() +
                                                 " could not be read and cannot be moved to " +
                                                 bad.string() + ": " + std::strerror(EISDIR));
        }
        EXPECT_EQ(ReadFile(path), "garbage");
        EXPECT_EQ(filesInDir(), expected);
    }
    EXPECT_EQ(ReadFile(bad / "older"), "older keep");
}
