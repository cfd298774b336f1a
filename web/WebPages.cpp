#include "web/WebPages.h"

#include "common/Ascii.h"
#include "common/Utf8.h"
#include "web/WebResources.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLocale>
#include <QString>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace qeltv::web {

namespace {

std::string lowerAscii(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = asciiLower(c);
    return result;
}

bool containsIgnoringCase(std::string_view text, std::string_view part) {
    return lowerAscii(text).find(lowerAscii(part)) != std::string::npos;
}

// Whether the page, or a resource it includes, holds the schedule list's
// tag: only then is the list refreshed for the page.
bool mentionsSchedules(std::string_view text, int depth) {
    if (containsIgnoringCase(text, "<#Schedules"))
        return true;
    if (depth >= kMaxIncludeScanDepth)
        return false;
    const std::string lower = lowerAscii(text);
    constexpr std::string_view kInclude = "resourcename=";
    for (std::size_t at = lower.find(kInclude); at != std::string::npos;
         at = lower.find(kInclude, at + 1)) {
        std::size_t begin = at + kInclude.size();
        while (begin < lower.size() && lower[begin] == '"')
            ++begin;
        std::size_t end = begin;
        while (end < lower.size() && lower[end] != '>' && lower[end] != '"' && lower[end] != ' ' &&
               lower[end] != '\r' && lower[end] != '\n')
            ++end;
        const auto included = FindResource(lower.substr(begin, end - begin));
        if (included && mentionsSchedules(*included, depth + 1))
            return true;
    }
    return false;
}

// The last write at the file system's two-second resolution, in the user's
// short date and long time formats; midnight as the date alone.
std::string DateText(const std::filesystem::path& entry) {
    const QFileInfo info(QString::fromStdString(entry.string()));
    QDateTime written = info.fileTime(QFileDevice::FileModificationTime).toLocalTime();
    const QTime time = written.time();
    written.setTime(QTime(time.hour(), time.minute(), time.second() / 2 * 2));
    const QLocale locale = QLocale::system();
    QString text = locale.toString(written.date(), QLocale::ShortFormat);
    if (written.time() != QTime(0, 0))
        text += " " + locale.toString(written.time(), QLocale::LongFormat);
    return toUtf8(text);
}

// Handles the tags of one page from the state taken for it.
class PageTags {
public:
    PageTags(const PageState& state, const HttpRequest& request)
        : state_(state), request_(request) {}

    void PageProducer1HTMLTag(TCustomPageProducer& producer, std::string_view tagName,
                              const TagParameters& parameters, std::string& replacement) const {
        const auto is = [&](std::string_view name) {
            return equalsIgnoringAsciiCase(tagName, name);
        };
        if (is("Include")) {
            expandResource(producer, parameters.value("resourcename"), replacement);
        } else if (is("WebcastStatus")) {
            replacement = webcastStatus();
        } else if (is("Webplayer")) {
            expandResource(producer, state_.graphMode == 2 ? "WMPLAYER_HTML" : "NOPLAYER_HTML",
                           replacement);
        } else if (is("WebcastURL")) {
            // The browser reaches the webcast under the name by which it
            // reached this server.
            const std::string host = request_.host.substr(0, request_.host.find(':'));
            replacement = "http://" + HtmlEscape(host) + ":" + std::to_string(state_.webcastPort);
        } else if (is("CurrentGraphState")) {
            replacement = currentGraphState();
        } else if (is("Schedules")) {
            for (const ScheduleRow& row : state_.schedules) {
                replacement += "<tr class=\"tablerow\">";
                for (const std::string& cell : row)
                    replacement += "<td>" + HtmlEscape(cell) + "</td>";
                replacement += "</tr>";
            }
        } else if (is("Recordings")) {
            replacement = RecordingsRows(state_.captureFile);
        }
    }

private:
    static void expandResource(TCustomPageProducer& producer, std::string_view name,
                               std::string& replacement) {
        if (!name.empty() && LoadTemplateResource(name, producer))
            replacement = producer.content();
    }

    std::string webcastStatus() const {
        switch (state_.graphMode) {
        case 0:
            return "<p>Webcast is not active. Click <a href=\"index.html?action=startwebcast\">"
                   "here</a> to activate.</p>";
        case 1:
            return "<p>Currently recording a broadcast. Webcast cannot be activated.</p>";
        case 2:
            return "<p>Webcast is active.</p>";
        case 3:
            return "<p>Currently in auto tune progress. Please wait while auto tuning is "
                   "finished.<p>";
        default:
            return {};
        }
    }

    std::string currentGraphState() const {
        switch (state_.graphMode) {
        case 0:
            return "Preview";
        case 1:
            return "Capturing to " + HtmlEscape(state_.captureFile);
        case 2:
            return HtmlEscape(state_.backCaption);
        case 3:
            return "AutoTuning";
        default:
            return {};
        }
    }

    const PageState& state_;
    const HttpRequest& request_;
};

} // namespace

std::string DocumentToResourceName(std::string_view document) {
    std::string name;
    name.reserve(document.size());
    for (char c : document) {
        if (c == '/')
            continue;
        name += c == '.' ? '_' : asciiUpper(c);
    }
    return name;
}

bool LoadTemplateResource(std::string_view name, TCustomPageProducer& producer) {
    const auto text = FindResource(name);
    if (!text)
        return false;
    producer.setTemplateText(*text);
    return true;
}

bool LoadImageResource(std::string_view name, std::ostream& stream) {
    const auto bytes = FindResource(name);
    if (!bytes)
        return false;
    stream.write(bytes->data(), static_cast<std::streamsize>(bytes->size()));
    return true;
}

std::string HtmlEscape(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            result += "&amp;";
            break;
        case '<':
            result += "&lt;";
            break;
        case '>':
            result += "&gt;";
            break;
        case '"':
            result += "&quot;";
            break;
        case '\'':
            result += "&#39;";
            break;
        default:
            result += c;
        }
    }
    return result;
}

std::string SizeText(std::uint64_t bytes, char32_t decimalPoint) {
    constexpr std::uint64_t kGigaThreshold = 1000000000;
    constexpr std::uint64_t kMegaThreshold = 1000000;
    constexpr std::uint64_t kKiloThreshold = 1000;
    char text[64];
    const auto scaled = [&](double divisor, const char* unit) {
        std::snprintf(text, sizeof text, "%.1f %s", static_cast<double>(bytes) / divisor, unit);
    };
    if (bytes > kGigaThreshold)
        scaled(1073741824.0, "GB");
    else if (bytes > kMegaThreshold)
        scaled(1048576.0, "MB");
    else if (bytes > kKiloThreshold)
        scaled(1024.0, "kB");
    else
        return std::to_string(bytes) + " bytes";
    // The C locale wrote a point; the user's separator takes its place.
    const QString separator = QString::fromUcs4(&decimalPoint, 1);
    return toUtf8(QString::fromLatin1(text).replace('.', separator));
}

std::string RecordingsRows(const std::string& captureFile) {
    const std::size_t slash = captureFile.find_last_of('/');
    const std::filesystem::path folder =
        slash == std::string::npos ? std::string("/") : captureFile.substr(0, slash + 1);
    const QString point = QLocale::system().decimalPoint();
    const char32_t decimalPoint = point.isEmpty() ? U'.' : point.toUcs4().value(0, U'.');
    std::string rows;
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec)
        return rows;
    for (const auto& entry : it) {
        // Regular files and folders only: links, sockets, pipes and devices
        // are no recordings.
        std::error_code statusError;
        const auto status = entry.symlink_status(statusError);
        if (statusError)
            continue;
        const bool isFolder = std::filesystem::is_directory(status);
        if (!isFolder && !std::filesystem::is_regular_file(status))
            continue;
        std::error_code sizeError;
        const std::uint64_t size = isFolder ? 0 : entry.file_size(sizeError);
        rows += "<tr class=\"tablerow\"><td><strong>&middot;</strong>&nbsp;" +
                HtmlEscape(entry.path().filename().string()) + "</td><td>" +
                SizeText(sizeError ? 0 : size, decimalPoint) + "</td><td>" +
                DateText(entry.path()) + "</td></tr>";
    }
    return rows;
}

WebPages::WebPages(WebSite& site, WebAccess access) : site_(site), access_(std::move(access)) {}

void WebPages::IdHTTPServer1CommandGet(HttpConnection& connection, const HttpRequest& request,
                                       HttpResponse& response) {
    // Credentials: the user name in any letter case, the password exactly;
    // without a user name every request passes. Both are always compared,
    // each in constant time.
    const bool userMatches =
        equalsInConstantTime(request.user_name, access_.userName, /*ignoreAsciiCase=*/true);
    const bool passwordMatches = equalsInConstantTime(request.password, access_.password);
    if (!access_.userName.empty() &&
        !(request.credentials_present && userMatches && passwordMatches)) {
        response.realm = kWebRealm;
        response.setStatusCode(401);
        return;
    }
    const std::string document = request.document == "/" ? "/index.html" : request.document;
    const std::string name = DocumentToResourceName(document);
    if (name.find("_JPG") != std::string::npos) {
        response.content_type = "image/jpeg";
        auto stream = std::make_unique<std::stringstream>();
        if (!LoadImageResource(name, *stream))
            response.setStatusCode(404);
        response.body_stream = std::move(stream);
        return;
    }
    TCustomPageProducer producer;
    if (!LoadTemplateResource(name, producer)) {
        response.setStatusCode(404);
        return;
    }
    const auto state =
        site_.act(lowerAscii(request.param("action")),
                  mentionsSchedules(producer.templateText(), 0), connection.stopToken());
    if (!state)
        throw std::runtime_error("The web server is stopping");
    const PageTags tags(*state, request);
    producer.setTagHandler([&tags](TCustomPageProducer& sender, TagKind, std::string_view tagName,
                                   const TagParameters& parameters, std::string& replacement) {
        tags.PageProducer1HTMLTag(sender, tagName, parameters, replacement);
    });
    response.body_text = producer.content();
}

} // namespace qeltv::web
