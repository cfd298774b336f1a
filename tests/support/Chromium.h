// Debian's chromium, headless, driven over its DevTools protocol from the
// test itself: the tests load the program's pages and its webcast in a real
// browser and read what the browser made of them, with nothing but chromium
// and Qt.
#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QWebSocket>
#include <deque>
#include <map>
#include <memory>

namespace qeltv::test {

class Chromium {
public:
    // One browser tab: its DevTools session.
    class Tab {
    public:
        // Loads the address and waits for the page's load event. False, with
        // the reason in error(), when the page did not load in time.
        bool navigate(const QString& url, int timeout_ms = kStep_ms);
        // Runs a script expression in the page (a promise is awaited) and
        // returns its value; an exception thrown by it, or no answer in time,
        // leaves an undefined value and the reason in error().
        QJsonValue evaluate(const QString& expression, int timeout_ms = kStep_ms);
        // Runs an expression that makes the page navigate (a click on a
        // link) and waits for the next page's load event.
        bool evaluateAndWaitForLoad(const QString& expression, int timeout_ms = kStep_ms);
        // Polls a boolean expression every 100 ms until it is true.
        bool waitFor(const QString& expression, int timeout_ms);
        // Every response the tab received since the last navigate: address and
        // HTTP status (0 for a request that failed without one).
        const std::vector<std::pair<QString, int>>& responses() const { return responses_; }
        const QString& error() const { return error_; }

    private:
        friend class Chromium;
        Tab(Chromium& browser, QString session) : browser_(browser), session_(std::move(session)) {}
        // Forgets earlier load events and responses before a new page loads.
        void forgetLoads();
        bool waitForLoad(const QString& after, int timeout_ms);
        Chromium& browser_;
        QString session_;
        QString error_;
        std::vector<std::pair<QString, int>> responses_;
    };

    static constexpr int kStep_ms = 15000;

    Chromium();
    ~Chromium();
    Chromium(const Chromium&) = delete;
    Chromium& operator=(const Chromium&) = delete;

    // Starts /usr/bin/chromium headless and connects to it. False, with the
    // reason in error(), when it did not start or answer.
    bool start(const QStringList& extraArguments = {});
    // A new tab on about:blank; null, with the reason in error(), on failure.
    Tab* newTab();
    const QString& error() const { return error_; }

private:
    struct Message {
        QString session;
        QString method;
        QJsonObject params;
    };
    // Sends one command and waits for its answer; an error answer or none in
    // time gives an empty object and the reason in `error`.
    QJsonObject call(const QString& session, const QString& method, const QJsonObject& params,
                     int timeout_ms, QString& error);
    // Waits for an event of the session (taken from the queue of events not
    // yet looked at).
    bool waitForEvent(const QString& session, const QString& method, int timeout_ms);
    void received(const QString& text);

    QTemporaryDir profile_;
    QProcess process_;
    QWebSocket socket_;
    QString error_;
    int nextId_ = 1;
    std::map<int, QJsonObject> answers_;
    std::deque<Message> events_;
    std::vector<std::unique_ptr<Tab>> tabs_;
};

} // namespace qeltv::test
