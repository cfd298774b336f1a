// The web pages of a running session against nginx serving the same bytes,
// under the same wrk load in one run. The session previews the Virtual TV
// Card, so the GUI thread is busy with frames while every page request takes
// its one step there; a timer on the GUI thread records the longest stall
// while our server is loaded. "/index.html" is fetched once from our server
// and those expanded bytes are nginx's static file. Both servers answer one
// request per connection (ours closes after each response; nginx runs with
// keepalive_timeout 0), and the preview keeps running during both loads.
// A third load asks for "/schedules.html" with 50 tasks of this program
// saved, the user's crontab holding their lines (it is put back afterwards):
// the page reads the schedule list at every request.
//
//   web_pages_bench [duration_s]   (default 10)
#include "app/ErrorHandler.h"
#include "app/Resources.h"
#include "app/session/TvSession.h"
#include "bench/BenchSupport.h"
#include "common/UniqueFd.h"
#include "scheduler/Crontab.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

namespace {

constexpr int kDefaultDuration_s = 10;
constexpr int kConnections = 8;
constexpr int kWrkThreads = 2;
// The GUI thread's timer; a firing later than this interval is a stall.
constexpr int kStallProbeInterval_ms = 5;
constexpr double kStallGoal_ms = 20;
// wrk has this long beyond its duration to report before the run fails.
constexpr int kWrkGrace_ms = 30000;
constexpr int kStartWait_ms = 5000;
constexpr int kFetchWait_ms = 10000;
const char* const kDocument = "/index.html";
const char* const kSchedulesDocument = "/schedules.html";
constexpr int kScheduledTasks = 50;
constexpr int kCrontabWait_ms = 10000;

// A view that shows nothing: the session alone drives the GUI thread.
struct QuietView : qeltv::SessionView {
    QStringList errors;
    void setBusyCursor(bool) override {}
    void setBackCaption(const QString&) override {}
    void showVideoWindow(bool) override {}
    void setStatusText(const QString&) override {}
    void UpdateControls() override {}
    void showMessageBox(Box, const QString& text, bool) override { errors << text; }
    void reportError(const QString& what) override { errors << what; }
    void showBalloon(const QString&, const QString&, int, int) override {}
    void showOsdText(const QString&) override {}
    void endProgram() override { errors << "the session ended the program"; }
};

qeltv::Paths BenchPaths(const QTemporaryDir& dir) {
    const std::filesystem::path root = dir.path().toStdString();
    qeltv::Paths paths;
    paths.runtimeDir = root / "run" / "qeltv";
    paths.configDir = root / "config" / "qeltv";
    paths.dataDir = root / "data" / "qeltv";
    paths.cacheDir = root / "cache" / "qeltv";
    paths.videosDir = root / "videos" / "qeltv";
    paths.createRuntimeDir();
    return paths;
}

// A loopback port nobody listens on now; 0 when none could be had.
int FreePort() {
    const qeltv::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) < 0)
        return 0;
    return ntohs(address.sin_port);
}

// The whole answer to one GET, read to the server's close; empty when the
// connection failed.
std::string FetchRaw(int port, const std::string& document) {
    const qeltv::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)
        return {};
    const std::string request =
        "GET " + document + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size()))
        return {};
    std::string answer;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        answer.append(buffer, static_cast<std::size_t>(got));
    }
    return answer;
}

// The page's body as our server sends it. The request waits for its step on
// the GUI thread, so it runs on a thread of its own while the event loop
// turns here. Nothing when the answer is not a 200.
std::optional<std::string> FetchPage(int port) {
    std::atomic<bool> done = false;
    std::string answer;
    std::thread client([&] {
        answer = FetchRaw(port, kDocument);
        done = true;
    });
    QElapsedTimer waited;
    waited.start();
    while (!done && waited.elapsed() < kFetchWait_ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    client.join();
    const std::size_t head_end = answer.find("\r\n\r\n");
    if (head_end == std::string::npos || answer.compare(0, 12, "HTTP/1.1 200") != 0)
        return std::nullopt;
    return answer.substr(head_end + 4);
}

// What one wrk run reported.
struct WrkResult {
    bool ran = false;
    double pages_per_s = 0;
    long failures = 0; // socket errors and non-2xx answers
    double longest_stall_ms = 0;
    QString output;
};

// Runs wrk with the event loop turning on this thread, and times the GUI
// thread's timer meanwhile.
WrkResult RunWrk(const QStringList& arguments, int duration_s) {
    WrkResult result;
    QProcess wrk;
    wrk.setProcessChannelMode(QProcess::MergedChannels);
    QEventLoop loop;
    QObject::connect(&wrk, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&wrk, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);

    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(kStallProbeInterval_ms);
    QElapsedTimer clock;
    qint64 last_ns = 0;
    qint64 longest_ns = 0;
    QObject::connect(&probe, &QTimer::timeout, &probe, [&] {
        const qint64 now_ns = clock.nsecsElapsed();
        longest_ns =
            std::max(longest_ns, now_ns - last_ns - qint64{kStallProbeInterval_ms} * 1000000);
        last_ns = now_ns;
    });

    clock.start();
    probe.start();
    deadline.start(duration_s * 1000 + kWrkGrace_ms);
    wrk.start("wrk", arguments);
    loop.exec();
    probe.stop();
    if (wrk.state() != QProcess::NotRunning) {
        wrk.kill();
        wrk.waitForFinished();
        return result;
    }
    result.longest_stall_ms = longest_ns / 1e6;
    result.output = QString::fromUtf8(wrk.readAll());
    if (wrk.exitStatus() != QProcess::NormalExit || wrk.exitCode() != 0)
        return result;
    const QRegularExpressionMatch rate =
        QRegularExpression(R"(Requests/sec:\s+([0-9.]+))").match(result.output);
    if (!rate.hasMatch())
        return result;
    result.ran = true;
    result.pages_per_s = rate.captured(1).toDouble();
    const QRegularExpressionMatch socket =
        QRegularExpression(
            R"(Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+))")
            .match(result.output);
    if (socket.hasMatch())
        for (int i = 1; i <= 4; ++i)
            result.failures += socket.captured(i).toLong();
    const QRegularExpressionMatch non2xx =
        QRegularExpression(R"(Non-2xx or 3xx responses:\s+(\d+))").match(result.output);
    if (non2xx.hasMatch())
        result.failures += non2xx.captured(1).toLong();
    return result;
}

QStringList WrkArguments(int port, int duration_s, const char* document = kDocument) {
    return {QString("-t%1").arg(kWrkThreads), QString("-c%1").arg(kConnections),
            QString("-d%1s").arg(duration_s),
            QString("http://127.0.0.1:%1%2").arg(port).arg(document)};
}

// The user's crontab as it was, put back when this ends.
class SavedCrontab {
public:
    SavedCrontab() : command_(qeltv::Crontab::FindCommand()) {
        QProcess crontab;
        crontab.start(command_, {"-l"});
        crontab.waitForFinished(kCrontabWait_ms);
        had_ = crontab.exitStatus() == QProcess::NormalExit && crontab.exitCode() == 0;
        text_ = crontab.readAllStandardOutput();
    }
    ~SavedCrontab() {
        QProcess crontab;
        crontab.start(command_, had_ ? QStringList{"-"} : QStringList{"-r"});
        crontab.write(text_);
        crontab.closeWriteChannel();
        if (!crontab.waitForFinished(kCrontabWait_ms) || crontab.exitCode() != 0)
            std::fprintf(stderr, "the crontab was not put back: %s\n",
                         crontab.readAllStandardError().constData());
    }
    SavedCrontab(const SavedCrontab&) = delete;
    SavedCrontab& operator=(const SavedCrontab&) = delete;

private:
    QString command_;
    QByteArray text_;
    bool had_ = false;
};

// Saves `count` daily tasks of this program through the schedule command.
bool SaveTasks(qeltv::TvSession& session, int count) {
    for (int i = 0; i < count; ++i) {
        qeltv::ScheduleItemValues values;
        values.taskName = QString("Bench task %1").arg(i);
        values.channel = 1;
        values.startDate = QDate::currentDate();
        values.endDate = values.startDate;
        values.startTime = QTime(i % 24, i % 60);
        values.triggerType = 1;
        session.schedules().addSchedule(values);
    }
    return static_cast<int>(session.schedules().rows().size()) == count;
}

QString LoadAverage() {
    QFile file("/proc/loadavg");
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).trimmed()
                                          : QString("unknown");
}

QString NginxConfig(const QString& work, int port) {
    return QString("worker_processes auto;\n"
                   "daemon off;\n"
                   "pid %1/nginx.pid;\n"
                   "error_log %1/error.log;\n"
                   "events { worker_connections 1024; }\n"
                   "http {\n"
                   "    access_log off;\n"
                   "    keepalive_timeout 0;\n"
                   "    client_body_temp_path %1/client_body;\n"
                   "    proxy_temp_path %1/proxy;\n"
                   "    fastcgi_temp_path %1/fastcgi;\n"
                   "    uwsgi_temp_path %1/uwsgi;\n"
                   "    scgi_temp_path %1/scgi;\n"
                   "    server {\n"
                   "        listen 127.0.0.1:%2;\n"
                   "        root %1/www;\n"
                   "        default_type text/html;\n"
                   "    }\n"
                   "}\n")
        .arg(work)
        .arg(port);
}

bool WaitForListener(int port) {
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < kStartWait_ms) {
        const qeltv::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (fd && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return false;
}

void PrintRun(const char* name, const WrkResult& run) {
    std::printf("%-6s %12.1f pages/s %8ld failed\n", name, run.pages_per_s, run.failures);
}

} // namespace

int main(int argc, char** argv) {
    const int duration_s = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultDuration_s;
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    qeltv::QelApplication app(argc, argv);
    QApplication::setApplicationDisplayName("qEL TV");
    QApplication::setQuitOnLastWindowClosed(false);
    qeltv::RegisterResources();
    for (const char* tool : {"wrk", "nginx"})
        if (QStandardPaths::findExecutable(tool).isEmpty() &&
            QStandardPaths::findExecutable(tool, {"/usr/sbin", "/sbin"}).isEmpty()) {
            std::fprintf(stderr, "%s is not installed\n", tool);
            return 1;
        }
    const QString nginx = QStandardPaths::findExecutable("nginx").isEmpty()
                              ? QStandardPaths::findExecutable("nginx", {"/usr/sbin", "/sbin"})
                              : QStandardPaths::findExecutable("nginx");

    // The session, previewing, with its web server.
    QTemporaryDir sessionDir;
    QuietView view;
    qeltv::TvSession session(BenchPaths(sessionDir), nullptr, view);
    session.start(std::nullopt);
    if (session.graphMode() != qeltv::GraphMode::Preview || !view.errors.isEmpty()) {
        std::fprintf(stderr, "the preview did not start: %s\n", qPrintable(view.errors.join("; ")));
        return 1;
    }
    qeltv::WebOptions options = session.webcast().options();
    options.maxClients = kConnections;
    options.webServerPort = FreePort();
    session.webcast().setOptions(options);
    const QString reason = session.webServer().StartWebServer();
    if (!reason.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(reason));
        return 1;
    }
    const int ours_port = session.webServer().port();
    const std::optional<std::string> page = FetchPage(ours_port);
    if (!page) {
        std::fprintf(stderr, "%s did not come back with 200 from our server\n", kDocument);
        return 1;
    }

    // nginx with the same bytes as a static file.
    QTemporaryDir nginxDir;
    const QString work = nginxDir.path();
    QDir(work).mkpath("www");
    // nginx workers run as an unprivileged user that must read the page.
    const QFile::Permissions readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                        QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                        QFile::ExeOther;
    QFile::setPermissions(work, readable);
    QFile::setPermissions(work + "/www", readable);
    QFile pageFile(work + "/www/index.html");
    if (!pageFile.open(QIODevice::WriteOnly) ||
        pageFile.write(page->data(), static_cast<qint64>(page->size())) !=
            static_cast<qint64>(page->size())) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(pageFile.fileName()));
        return 1;
    }
    pageFile.close();
    QFile::setPermissions(pageFile.fileName(), QFile::ReadOwner | QFile::WriteOwner |
                                                   QFile::ReadGroup | QFile::ReadOther);
    const int nginx_port = FreePort();
    QFile config(work + "/nginx.conf");
    if (!config.open(QIODevice::WriteOnly) ||
        config.write(NginxConfig(work, nginx_port).toUtf8()) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(config.fileName()));
        return 1;
    }
    config.close();
    QProcess nginxProcess;
    nginxProcess.setProcessChannelMode(QProcess::ForwardedChannels);
    const QStringList nginxArguments{"-p", work, "-c", config.fileName()};
    nginxProcess.start(nginx, nginxArguments);
    if (!WaitForListener(nginx_port)) {
        std::fprintf(stderr, "nginx did not start; see %s/error.log\n", qPrintable(work));
        return 1;
    }

    const QStringList oursArguments = WrkArguments(ours_port, duration_s);
    const QStringList nginxWrkArguments = WrkArguments(nginx_port, duration_s);
    const WrkResult ours = RunWrk(oursArguments, duration_s);
    const WrkResult base = RunWrk(nginxWrkArguments, duration_s);

    // The schedules page, the list read at every request.
    const QStringList schedulesArguments = WrkArguments(ours_port, duration_s, kSchedulesDocument);
    WrkResult schedules;
    bool tasksSaved = false;
    {
        const SavedCrontab savedCrontab;
        tasksSaved = SaveTasks(session, kScheduledTasks);
        if (tasksSaved)
            schedules = RunWrk(schedulesArguments, duration_s);
    }

    nginxProcess.terminate();
    nginxProcess.waitForFinished(kStartWait_ms);
    try {
        session.webServer().StopWebServer();
    } catch (const qeltv::web::HttpServerError& error) {
        std::fprintf(stderr, "web server: %s\n", error.what());
    }
    session.shutdown();

    std::printf("machine: %u cores\n", qeltv::bench::Cores());
    std::printf("page: %s, %zu bytes as our web server expanded it, one request per connection\n",
                kDocument, page->size());
    std::printf("session: Virtual TV Card preview on the GUI thread, web server limit %d "
                "connections\n",
                kConnections);
    std::printf("load (ours):  wrk %s\n", qPrintable(oursArguments.join(' ')));
    std::printf("load (nginx): wrk %s\n", qPrintable(nginxWrkArguments.join(' ')));
    std::printf("load (schedules): wrk %s, %d tasks\n", qPrintable(schedulesArguments.join(' ')),
                kScheduledTasks);
    std::printf("load average at the end: %s\n", qPrintable(LoadAverage()));
    std::printf("baseline: %s %s (worker_processes auto, keepalive_timeout 0, access_log off, "
                "the page as a static file, the preview still running)\n",
                qPrintable(nginx), qPrintable(nginxArguments.join(' ')));
    if (!ours.ran || !base.ran) {
        std::fprintf(stderr, "wrk did not finish:\n%s\n%s\n", qPrintable(ours.output),
                     qPrintable(base.output));
        return 1;
    }
    PrintRun("qeltv", ours);
    PrintRun("nginx", base);
    std::printf("GUI thread longest stall: %.1f ms under our load (goal under %.0f ms), "
                "%.1f ms under nginx's\n",
                ours.longest_stall_ms, kStallGoal_ms, base.longest_stall_ms);
    if (!tasksSaved || !schedules.ran) {
        std::fprintf(stderr, "the schedules load did not run (%s):\n%s\n",
                     qPrintable(view.errors.join("; ")), qPrintable(schedules.output));
        return 1;
    }
    PrintRun("sched", schedules);
    std::printf("schedules page with %d tasks: GUI thread longest stall %.1f ms (goal under "
                "%.0f ms)\n",
                kScheduledTasks, schedules.longest_stall_ms, kStallGoal_ms);
    if (ours.failures != 0 || base.failures != 0 || schedules.failures != 0) {
        std::fprintf(stderr,
                     "wrk against ours:\n%s\nwrk against nginx:\n%s\nwrk against the "
                     "schedules page:\n%s\n",
                     qPrintable(ours.output), qPrintable(base.output),
                     qPrintable(schedules.output));
        std::printf("ratio qeltv/nginx pages/s: not comparable (failed requests)\n");
        return 1;
    }
    std::printf("ratio qeltv/nginx pages/s: %.3f\n", ours.pages_per_s / base.pages_per_s);
    return 0;
}
