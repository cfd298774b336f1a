// The web pages above the HTTP layer: the request handler that maps a
// document to a built-in resource, checks the credentials, carries out the
// page's action and expands the page's tags, and the listing of the
// recording folder.
//
// The handler runs on the connection's thread. What it reads of the program
// and what it asks the program to do goes through WebSite::act, in one step
// on the GUI thread, so the action has finished before the page is expanded
// and every tag of the page reads the same state.
#pragma once

#include "web/HttpServer.h"
#include "web/PageProducer.h"

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace qeltv::web {

inline constexpr const char* kWebRealm = "qEL TV";
// How deep the check for a schedule list follows a page's includes.
inline constexpr int kMaxIncludeScanDepth = 8;

// One row of the schedule list: task name, status, next run time, last run
// time, schedule text.
using ScheduleRow = std::array<std::string, 5>;

// What a page shows of the program.
struct PageState {
    int graphMode = 0;
    std::string captureFile;
    // The caption of the video panel (while webcasting "Webcasting at port N").
    std::string backCaption;
    int webcastPort = 8080;
    std::vector<ScheduleRow> schedules;
};

// The program as the pages see it.
class WebSite {
public:
    virtual ~WebSite() = default;
    // On the GUI thread, in one step: carries out `action` (lower case,
    // empty for none) when the graph mode allows it, refreshes the schedule
    // list when asked, and returns the state the page shows. Nothing when the
    // connection is being stopped before the step ran.
    virtual std::optional<PageState> act(const std::string& action, bool refreshSchedules,
                                         const std::stop_token& stop) = 0;
};

// The user name and password of the web interface; an empty user name lets
// every request in.
struct WebAccess {
    std::string userName;
    std::string password;
};

// "/index.html" → "INDEX_HTML": ASCII letters upper case, every "/" removed,
// every "." made "_".
std::string DocumentToResourceName(std::string_view document);
// Replaces the producer's template by the text resource; false (template
// untouched) when there is none.
bool LoadTemplateResource(std::string_view name, TCustomPageProducer& producer);
// Appends the resource's bytes to `stream`; false when there is none.
bool LoadImageResource(std::string_view name, std::ostream& stream);

// Text for HTML: &, <, >, " and ' as entities.
std::string HtmlEscape(std::string_view text);
// "%d bytes", "%.1f kB", "%.1f MB", "%.1f GB" by the thresholds of the
// listing, with `decimalPoint` as the separator.
std::string SizeText(std::uint64_t bytes, char32_t decimalPoint);
// The table rows of the recording folder: the folder part of the capture
// file name, regular files and folders only, in the order the directory
// gives them; dates in the user's short date and long time formats.
std::string RecordingsRows(const std::string& captureFile);

class WebPages {
public:
    WebPages(WebSite& site, WebAccess access);

    // The server's handler for every request.
    void IdHTTPServer1CommandGet(HttpConnection& connection, const HttpRequest& request,
                                 HttpResponse& response);
    // The server's connection handler: nothing to do.
    void IdHTTPServer1Connect(HttpConnection&) {}

private:
    WebSite& site_;
    WebAccess access_;
};

} // namespace qeltv::web
