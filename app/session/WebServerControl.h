// The internal web server of the session: started and stopped from the "Web
// options" page, it serves the web pages on connection threads, each of
// which reaches the session only through the hand-off to the GUI thread.
#pragma once

#include "scheduler/ScheduleList.h"
#include "web/HttpServer.h"
#include "web/WebPages.h"

#include <QString>

#include <cstdint>
#include <memory>

namespace qeltv {

class GuiHandOff;
struct WebOptions;

// What the web server reaches of the session: one step on the GUI thread.
class WebSessionSteps {
public:
    virtual ~WebSessionSteps() = default;
    // Reads the schedule list for a page that lists it. Runs on the
    // connection thread, so that the GUI thread never waits for cron.
    virtual ScheduleReading readSchedules() = 0;
    // The page's action by graph mode (nothing for an action the mode does
    // not allow), the schedules read for the page shown when there are
    // some, and the state the page shows. Runs on the GUI thread.
    virtual web::PageState pageStep(const std::string& action,
                                    std::optional<ScheduleReading> schedules) = 0;
};

class WebServerControl : public web::WebSite {
public:
    // `options` are read when the server starts; each page's step is handed
    // over to `steps` on the GUI thread.
    WebServerControl(const WebOptions& options, GuiHandOff& handOff, WebSessionSteps& steps);
    // Stops a running server.
    ~WebServerControl() override;

    // Listens on the web options' port with the webcast's client limit as
    // its connection limit, and the user name and password as they are now.
    // Returns the reason when it cannot listen (the server then stays
    // inactive), an empty text when it runs.
    QString StartWebServer();
    // Throws web::HttpServerError ("Terminate Thread Timeout") when some
    // connection does not end in time; the server then stays active.
    void StopWebServer();
    bool active() const { return server_ && server_->active(); }
    // The port listened on while active.
    std::uint16_t port() const { return active() ? server_->port() : 0; }

    // The pages' one step on the GUI thread: the action by graph mode, the
    // schedules when the page lists them (read here first), and the page's
    // state.
    std::optional<web::PageState> act(const std::string& action, bool refreshSchedules,
                                      const std::stop_token& stop) override;

private:
    const WebOptions& options_;
    GuiHandOff& handOff_;
    WebSessionSteps& steps_;
    // Shared with the server's handler, which a connection that outlives a
    // stop keeps alive.
    std::shared_ptr<web::WebPages> pages_;
    std::unique_ptr<web::HttpServer> server_;
};

} // namespace qeltv
