#include "app/session/WebServerControl.h"

#include "app/Logging.h"
#include "app/session/GuiHandOff.h"
#include "app/session/WebcastOptions.h"

#include "common/Utf8.h"
#include <cstring>

namespace qeltv {

WebServerControl::WebServerControl(const WebOptions& options, GuiHandOff& handOff,
                                   WebSessionSteps& steps)
    : options_(options), handOff_(handOff), steps_(steps) {}

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
    const WebOptions& options = options_;
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
    std::optional<ScheduleReading> schedules;
    // A stopping server has no page to read them for.
    if (refreshSchedules && !stop.stop_requested())
        schedules = steps_.readSchedules();
    return handOff_.runOnGuiThread(
        [this, action, schedules = std::move(schedules)]() mutable {
            return steps_.pageStep(action, std::move(schedules));
        },
        stop);
}

} // namespace qeltv
