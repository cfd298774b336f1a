// The environment the runner gives the program of a scheduled task: its own
// (cron's, or the session's for "Start now") with the variables that the
// task recorded from the session when it was saved, less every recorded
// variable that no longer leads anywhere. A run must not depend on the
// login session that saved it: after a logout the session's runtime folder
// and its bus are gone, and a program told to use them would refuse to
// start or wait for a bus that never answers.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace qeltv {

using EnvironmentMap = std::map<std::string, std::string>;

// The runner's environment overlaid with the recorded variables, checked:
// - XDG_RUNTIME_DIR only when it is an existing private folder of `uid`
//   (a real directory, not a link, owned by `uid`, mode 0700); a recorded
//   one that is not falls back to the runner's own when that one is, and
//   else is left out, so the program chooses its own folder;
// - DBUS_SESSION_BUS_ADDRESS without the unix:path= addresses whose socket
//   is gone, and left out when none remains;
// - WAYLAND_DISPLAY only when its socket exists (relative names are in the
//   runtime folder kept above); XAUTHORITY only when its file exists;
// - any other recorded XDG_* variable that names a place inside a runtime
//   folder that was left out is left out too;
// - no display that answers (neither Wayland nor a local X socket) and no
//   QT_QPA_PLATFORM: the offscreen platform, so the program still records.
EnvironmentMap
ScheduledRunEnvironment(const EnvironmentMap& inherited,
                        const std::vector<std::pair<std::string, std::string>>& recorded,
                        uid_t uid);

// Whether `path` is an existing private folder of `uid`.
bool IsPrivateFolderOf(const std::string& path, uid_t uid);

} // namespace qeltv
