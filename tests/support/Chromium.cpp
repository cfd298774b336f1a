#include "tests/support/Chromium.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>

namespace qeltv::test {

namespace {

constexpr int kStart_ms = 30000;
constexpr int kPoll_ms = 100;
constexpr const char* kChromium = "/usr/bin/chromium";

// Runs the event loop until `done` or the deadline; the program under test
// may live on this thread and must go on answering meanwhile.
template <class Done> bool Spin(Done done, int timeout_ms) {
    QDeadlineTimer deadline(timeout_ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

} // namespace

Chromium::Chromium() {
    QObject::connect(&socket_, &QWebSocket::textMessageReceived,
                     [this](const QString& text) { received(text); });
}

Chromium::~Chromium() {
    socket_.close();
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
}

bool Chromium::start(const QStringList& extraArguments) {
    // Without the background networking switches chromium keeps reaching for
    // hosts that a closed network refuses; as root it needs --no-sandbox.
    QStringList arguments{"--headless",
                          "--no-sandbox",
                          "--disable-gpu",
                          "--disable-quic",
                          "--no-first-run",
                          "--disable-background-networking",
                          "--disable-component-update",
                          "--disable-sync",
                          "--autoplay-policy=no-user-gesture-required",
                          "--remote-debugging-port=0",
                          "--user-data-dir=" + profile_.path()};
    arguments << extraArguments << "about:blank";
    process_.start(kChromium, arguments);
    if (!process_.waitForStarted(kStart_ms)) {
        error_ = "chromium did not start: " + process_.errorString();
        return false;
    }
    // Chromium names its DevTools address on its error output.
    static const QRegularExpression listening("DevTools listening on (ws://\\S+)");
    QString output;
    QString address;
    const bool found = Spin(
        [&] {
            output += QString::fromUtf8(process_.readAllStandardError());
            const auto match = listening.match(output);
            if (match.hasMatch())
                address = match.captured(1);
            return !address.isEmpty() || process_.state() == QProcess::NotRunning;
        },
        kStart_ms);
    if (!found || address.isEmpty()) {
        error_ = "chromium named no DevTools address: " + output.right(2000);
        return false;
    }
    socket_.open(QUrl(address));
    if (!Spin([&] { return socket_.state() == QAbstractSocket::ConnectedState; }, kStart_ms)) {
        error_ = "no DevTools connection to " + address + ": " + socket_.errorString();
        return false;
    }
    return true;
}

Chromium::Tab* Chromium::newTab() {
    QJsonObject target =
        call({}, "Target.createTarget", {{"url", "about:blank"}}, kStep_ms, error_);
    if (target.isEmpty())
        return nullptr;
    QJsonObject attached =
        call({}, "Target.attachToTarget",
             {{"targetId", target.value("targetId")}, {"flatten", true}}, kStep_ms, error_);
    const QString session = attached.value("sessionId").toString();
    if (session.isEmpty())
        return nullptr;
    for (const char* domain : {"Page.enable", "Network.enable", "Runtime.enable"}) {
        QString error;
        call(session, domain, {}, kStep_ms, error);
        if (!error.isEmpty()) {
            error_ = error;
            return nullptr;
        }
    }
    tabs_.push_back(std::unique_ptr<Tab>(new Tab(*this, session)));
    return tabs_.back().get();
}

QJsonObject Chromium::call(const QString& session, const QString& method, const QJsonObject& params,
                           int timeout_ms, QString& error) {
    error.clear();
    const int id = nextId_++;
    QJsonObject message{{"id", id}, {"method", method}, {"params", params}};
    if (!session.isEmpty())
        message.insert("sessionId", session);
    socket_.sendTextMessage(
        QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    if (!Spin([&] { return answers_.count(id) > 0; }, timeout_ms)) {
        error = method + ": no answer in " + QString::number(timeout_ms) + " ms";
        return {};
    }
    const QJsonObject answer = answers_[id];
    answers_.erase(id);
    if (answer.contains("error")) {
        error = method + ": " + answer.value("error").toObject().value("message").toString();
        return {};
    }
    return answer.value("result").toObject();
}

void Chromium::received(const QString& text) {
    const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
    if (message.contains("id")) {
        answers_[message.value("id").toInt()] = message;
        return;
    }
    const QString session = message.value("sessionId").toString();
    const QString method = message.value("method").toString();
    const QJsonObject params = message.value("params").toObject();
    // Responses are kept as they come, so that a page's every resource can
    // be checked after it loaded.
    if (method == "Network.responseReceived" || method == "Network.loadingFailed") {
        for (auto& tab : tabs_) {
            if (tab->session_ != session)
                continue;
            if (method == "Network.responseReceived") {
                const QJsonObject response = params.value("response").toObject();
                tab->responses_.emplace_back(response.value("url").toString(),
                                             response.value("status").toInt());
            } else if (!params.value("canceled").toBool()) {
                tab->responses_.emplace_back(params.value("errorText").toString(), 0);
            }
        }
        return;
    }
    if (method.startsWith("Page."))
        events_.push_back({session, method, params});
}

bool Chromium::waitForEvent(const QString& session, const QString& method, int timeout_ms) {
    return Spin(
        [&] {
            for (auto it = events_.begin(); it != events_.end(); ++it) {
                if (it->session == session && it->method == method) {
                    events_.erase(it);
                    return true;
                }
            }
            return false;
        },
        timeout_ms);
}

void Chromium::Tab::forgetLoads() {
    std::erase_if(browser_.events_, [&](const Message& m) {
        return m.session == session_ && m.method == "Page.loadEventFired";
    });
    responses_.clear();
}

bool Chromium::Tab::waitForLoad(const QString& after, int timeout_ms) {
    if (!browser_.waitForEvent(session_, "Page.loadEventFired", timeout_ms)) {
        error_ = "no load event in " + QString::number(timeout_ms) + " ms after " + after;
        return false;
    }
    return true;
}

bool Chromium::Tab::navigate(const QString& url, int timeout_ms) {
    forgetLoads();
    const QJsonObject result =
        browser_.call(session_, "Page.navigate", {{"url", url}}, timeout_ms, error_);
    if (!error_.isEmpty())
        return false;
    if (result.contains("errorText")) {
        error_ = url + ": " + result.value("errorText").toString();
        return false;
    }
    return waitForLoad(url, timeout_ms);
}

bool Chromium::Tab::evaluateAndWaitForLoad(const QString& expression, int timeout_ms) {
    forgetLoads();
    evaluate(expression, timeout_ms);
    return error_.isEmpty() && waitForLoad(expression, timeout_ms);
}

QJsonValue Chromium::Tab::evaluate(const QString& expression, int timeout_ms) {
    const QJsonObject result =
        browser_.call(session_, "Runtime.evaluate",
                      {{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}},
                      timeout_ms, error_);
    if (!error_.isEmpty())
        return QJsonValue(QJsonValue::Undefined);
    if (result.contains("exceptionDetails")) {
        const QJsonObject details = result.value("exceptionDetails").toObject();
        error_ = expression + " threw: " +
                 details.value("exception")
                     .toObject()
                     .value("description")
                     .toString(details.value("text").toString());
        return QJsonValue(QJsonValue::Undefined);
    }
    return result.value("result").toObject().value("value");
}

bool Chromium::Tab::waitFor(const QString& expression, int timeout_ms) {
    QDeadlineTimer deadline(timeout_ms);
    while (true) {
        if (evaluate(expression).toBool(false))
            return true;
        if (deadline.hasExpired()) {
            if (error_.isEmpty())
                error_ = expression + " stayed false for " + QString::number(timeout_ms) + " ms";
            return false;
        }
        Spin([] { return false; }, kPoll_ms);
    }
}

} // namespace qeltv::test
