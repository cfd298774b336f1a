#include "app/WebServerControl.h"

#include "app/Logging.h"
#include "app/TvSession.h"

#include <cstring>

namespace qeltv {

namespace {
std::string toUtf8(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}
} // namespace

WebServerControl::WebServerControl(TvSession& session) : session_(session) {}

WebServerControl::~WebServerControl() {
    if (!active())
        return;
    try {
        server_->stop();
    } catch (const web::HttpServerError& e) {
        // Threads that did not end in time end on their own; they hold what
        // they use.
        qCWarning(lcApp) << "web server:" << e.what();
    }
}

QString WebServerControl::StartWebServer() {
    if (active())
        return {};
    const WebOptions& options = session_.webOptions();
    pages_ = std::make_shared<web::WebPages>(
        *this, web::WebAccess{toUtf8(options.userName), toUtf8(options.password)});
    server_ = std::make_unique<web::HttpServer>([pages = pages_](web::HttpConnection& connection,
                                                                 const web::HttpRequest& request,
                                                                 web::HttpResponse& response) {
        pages->IdHTTPServer1CommandGet(connection, request, response);
    });
    try {
        server_->start(static_cast<std::uint16_t>(options.webServerPort), options.maxClients);
    } catch (const web::HttpServerError& e) {
        server_.reset();
        pages_.reset();
        const QString reason = e.systemError() != 0
                                   ? QString::fromUtf8(std::strerror(e.systemError()))
                                   : QString::fromUtf8(e.what());
        return QString("Web server: could not listen on port %1: %2")
            .arg(options.webServerPort)
            .arg(reason);
    }
    qCDebug(lcApp) << "web server listening on port" << server_->port();
    return {};
}

void WebServerControl::StopWebServer() {
    if (!server_)
        return;
    server_->stop();
    server_.reset();
    pages_.reset();
}

std::optional<web::PageState> WebServerControl::act(const std::string& action,
                                                    bool refreshSchedules,
                                                    const std::stop_token& stop) {
    return session_.runOnGuiThread(
        [this, action, refreshSchedules] {
            // The mode is the one when the step runs, not when it was asked.
            const GraphMode mode = session_.graphMode();
            if (action == "startwebcast" && mode == GraphMode::Preview)
                session_.StartWebcast1Click();
            else if (mode == GraphMode::Webcast && action == "lastchannel")
                session_.lastChannel();
            else if (mode == GraphMode::Webcast && action == "prevchannel")
                session_.previousChannel();
            else if (mode == GraphMode::Webcast && action == "nextchannel")
                session_.nextChannel();
            else if (mode == GraphMode::Webcast && action == "firstchannel")
                session_.firstChannel();
            if (refreshSchedules)
                session_.refreshSchedules();
            return pageState();
        },
        stop);
}

web::PageState WebServerControl::pageState() const {
    web::PageState state;
    state.graphMode = ToInt(session_.graphMode());
    state.captureFile = session_.settings().CapFile;
    state.backCaption = toUtf8(session_.backCaption());
    state.webcastPort = session_.webOptions().webcastPort;
    for (const ScheduleRow& row : session_.scheduleRows())
        state.schedules.push_back({toUtf8(row.name), toUtf8(row.cells[0]), toUtf8(row.cells[1]),
                                   toUtf8(row.cells[2]), toUtf8(row.cells[3])});
    return state;
}

} // namespace qeltv
