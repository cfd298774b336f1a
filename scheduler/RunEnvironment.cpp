#include "scheduler/RunEnvironment.h"

#include <algorithm>
#include <stdexcept>
#include <sys/stat.h>

namespace qeltv {

namespace {
constexpr const char* kX11SocketFolder = "/tmp/.X11-unix/X";
constexpr const char* kUnixPathPrefix = "unix:path=";
constexpr mode_t kPrivateFolderMode = 0700;

bool exists(const std::string& path, mode_t type) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == type;
}

std::string get(const EnvironmentMap& env, const char* name) {
    const auto it = env.find(name);
    return it == env.end() ? std::string() : it->second;
}

// Whether `path` lies in `folder` (or is it).
bool inside(const std::string& path, const std::string& folder) {
    if (folder.empty() || path.compare(0, folder.size(), folder) != 0)
        return false;
    return path.size() == folder.size() || path[folder.size()] == '/' || folder.back() == '/';
}

// D-Bus addresses escape bytes as %xx.
std::string unescapeAddressValue(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '%' && i + 2 < value.size()) {
            out += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += value[i];
        }
    }
    return out;
}

// The socket path of one unix:path= address, empty for any other address.
std::string unixPathOf(const std::string& address) {
    if (address.rfind(kUnixPathPrefix, 0) != 0)
        return {};
    const std::string rest = address.substr(std::char_traits<char>::length(kUnixPathPrefix));
    try {
        return unescapeAddressValue(rest.substr(0, rest.find(',')));
    } catch (const std::exception&) {
        return {};
    }
}

// The bus addresses that may still answer, ';'-separated as given.
std::string reachableBusAddresses(const std::string& addresses) {
    std::string kept;
    std::size_t from = 0;
    while (from <= addresses.size()) {
        const std::size_t end = std::min(addresses.find(';', from), addresses.size());
        const std::string address = addresses.substr(from, end - from);
        from = end + 1;
        if (address.empty())
            continue;
        const std::string path = unixPathOf(address);
        // Other kinds of address (abstract sockets, tcp) cannot be checked
        // without connecting: they stay.
        if (address.rfind(kUnixPathPrefix, 0) == 0 && !exists(path, S_IFSOCK))
            continue;
        kept += (kept.empty() ? "" : ";") + address;
    }
    return kept;
}

bool displayReachable(const EnvironmentMap& env) {
    const std::string wayland = get(env, "WAYLAND_DISPLAY");
    if (!wayland.empty()) {
        const std::string runtime = get(env, "XDG_RUNTIME_DIR");
        if (wayland.front() == '/' || !runtime.empty()) {
            const std::string socket = wayland.front() == '/' ? wayland : runtime + "/" + wayland;
            if (exists(socket, S_IFSOCK))
                return true;
        }
    }
    const std::string display = get(env, "DISPLAY");
    const auto colon = display.rfind(':');
    if (display.empty() || colon == std::string::npos)
        return false;
    const std::string host = display.substr(0, colon);
    // A display on another host cannot be checked without connecting.
    if (!host.empty() && host != "unix")
        return true;
    const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
    return exists(kX11SocketFolder + number, S_IFSOCK);
}
} // namespace

bool IsPrivateFolderOf(const std::string& path, uid_t uid) {
    struct stat info {};
    // lstat: a link to a private folder is not one.
    return !path.empty() && path.front() == '/' && ::lstat(path.c_str(), &info) == 0 &&
           S_ISDIR(info.st_mode) && info.st_uid == uid &&
           (info.st_mode & 07777) == kPrivateFolderMode;
}

EnvironmentMap
ScheduledRunEnvironment(const EnvironmentMap& inherited,
                        const std::vector<std::pair<std::string, std::string>>& recorded,
                        uid_t uid) {
    EnvironmentMap env = inherited;
    for (const auto& [name, value] : recorded)
        env[name] = value;

    // The runtime folder: the recorded one, else the runner's own, else none.
    std::vector<std::string> goneRuntimeFolders;
    const std::string ownRuntime = get(inherited, "XDG_RUNTIME_DIR");
    const std::string runtime = get(env, "XDG_RUNTIME_DIR");
    if (!runtime.empty() && !IsPrivateFolderOf(runtime, uid)) {
        goneRuntimeFolders.push_back(runtime);
        if (!ownRuntime.empty() && ownRuntime != runtime && IsPrivateFolderOf(ownRuntime, uid))
            env["XDG_RUNTIME_DIR"] = ownRuntime;
        else
            env.erase("XDG_RUNTIME_DIR");
    }
    for (const auto& [name, value] : recorded) {
        if (name == "XDG_RUNTIME_DIR" || name.rfind("XDG_", 0) != 0)
            continue;
        for (const std::string& gone : goneRuntimeFolders)
            if (inside(value, gone))
                env.erase(name);
    }

    if (env.count("DBUS_SESSION_BUS_ADDRESS")) {
        const std::string kept = reachableBusAddresses(env["DBUS_SESSION_BUS_ADDRESS"]);
        if (kept.empty())
            env.erase("DBUS_SESSION_BUS_ADDRESS");
        else
            env["DBUS_SESSION_BUS_ADDRESS"] = kept;
    }
    if (env.count("XAUTHORITY") && !exists(env["XAUTHORITY"], S_IFREG))
        env.erase("XAUTHORITY");
    if (const std::string wayland = get(env, "WAYLAND_DISPLAY"); !wayland.empty()) {
        const std::string folder = get(env, "XDG_RUNTIME_DIR");
        const std::string socket = wayland.front() == '/' ? wayland : folder + "/" + wayland;
        if ((wayland.front() != '/' && folder.empty()) || !exists(socket, S_IFSOCK))
            env.erase("WAYLAND_DISPLAY");
    }
    // No display to reach (the user is not logged in, or on another seat):
    // the program still records, hidden, without one.
    if (!displayReachable(env) && !env.count("QT_QPA_PLATFORM"))
        env["QT_QPA_PLATFORM"] = "offscreen";
    return env;
}

} // namespace qeltv
