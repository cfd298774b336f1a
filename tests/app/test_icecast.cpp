// The webcast published to an Icecast server: Debian's icecast2 runs on
// 127.0.0.1 on a port of its own with a private configuration; the session
// core publishes its webcast there; ffprobe and headless chromium read the
// mount back as listeners of the server do. The server is stopped and
// started again under a running webcast, and a wrong password is given.
#include "app/session/TvSession.h"
#include "app/uFrmMain.h"
#include "capture/IcecastPublisher.h"
#include "common/UniqueFd.h"
#include "settings/RegStore.h"
#include "tests/app/FreePort.h"
#include "tests/app/GuiTest.h"
#include "tests/app/SessionSupport.h"
#include "tests/settings/TempDir.h"
#include "tests/support/Chromium.h"
#include "tests/support/RecordingCheck.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

using namespace qeltv;
using namespace qeltv::test;

namespace {

constexpr const char* kIcecast = "icecast2";
constexpr const char* kMount = "/qeltv.webm";
constexpr const char* kSourcePassword = "s3cret-source";
// Bounds of every wait: generous for a loaded two-core machine.
constexpr int kWait_ms = 30000;
constexpr int kBrowserWait_ms = 90000;
// Longer than the longest pause between two attempts, with time to connect.
constexpr int kReconnectWait_ms = 60000;
constexpr long kStationChannel = 14; // a station of the Virtual TV Card

#define SKIP_WITHOUT_ICECAST()                                                                     \
    if (QStandardPaths::findExecutable(kIcecast).isEmpty())                                        \
    GTEST_SKIP() << kIcecast << " is not installed (Debian package icecast2)"

// Debian's icecast2 on 127.0.0.1 with a configuration of its own in a
// temporary folder. As root it runs as "nobody", who must write its log
// folder and read its configuration.
class IcecastServer {
public:
    IcecastServer() : port_(FreePort()) {
        const QString root = dir_.path();
        QDir().mkpath(root + "/log");
        QDir().mkpath(root + "/web");
        const auto open = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                          QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                          QFileDevice::ExeOther;
        QFile::setPermissions(root, open);
        QFile::setPermissions(root + "/web", open);
        QFile::setPermissions(root + "/log",
                              open | QFileDevice::WriteGroup | QFileDevice::WriteOther);
        const std::string owner = ::geteuid() == 0 ? "<changeowner><user>nobody</user>"
                                                     "<group>nogroup</group></changeowner>"
                                                   : "";
        std::ofstream(config().toStdString())
            << "<icecast><location>test</location><admin>test@localhost</admin>"
            << "<limits><sources>2</sources><source-timeout>5</source-timeout></limits>"
            << "<authentication><source-password>" << kSourcePassword
            << "</source-password><admin-user>admin</admin-user>"
            << "<admin-password>admin-" << kSourcePassword << "</admin-password>"
            << "</authentication><hostname>127.0.0.1</hostname>"
            << "<listen-socket><port>" << port_
            << "</port><bind-address>127.0.0.1</bind-address></listen-socket>"
            << "<paths><basedir>" << root.toStdString() << "</basedir><logdir>"
            << root.toStdString() << "/log</logdir><webroot>" << root.toStdString()
            << "/web</webroot><adminroot>" << root.toStdString() << "/web</adminroot></paths>"
            << "<logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog>"
            << "<loglevel>3</loglevel></logging><security><chroot>0</chroot>" << owner
            << "</security></icecast>";
        QFile::setPermissions(config(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ReadGroup | QFileDevice::ReadOther);
    }
    ~IcecastServer() { stop(); }

    int port() const { return port_; }
    QString mountAddress() const { return QString("http://127.0.0.1:%1%2").arg(port_).arg(kMount); }
    // Starts the server and waits until it takes connections.
    bool start() {
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(kIcecast, {"-c", config()});
        if (!process_.waitForStarted(kWait_ms))
            return false;
        return QTest::qWaitFor(
                   [&] {
                       if (process_.state() == QProcess::NotRunning)
                           return true;
                       UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
                       sockaddr_in a{};
                       a.sin_family = AF_INET;
                       a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                       a.sin_port = htons(static_cast<std::uint16_t>(port_));
                       return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
                   },
                   kWait_ms) &&
               process_.state() == QProcess::Running;
    }
    void stop() {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(kWait_ms)) {
            process_.kill();
            process_.waitForFinished(kWait_ms);
        }
    }
    // What the server said, for a failure's message.
    std::string log() {
        QFile error(dir_.path() + "/log/error.log");
        error.open(QIODevice::ReadOnly);
        return (QString::fromUtf8(process_.readAll()) + QString::fromUtf8(error.readAll()))
            .toStdString();
    }

private:
    QString config() const { return dir_.path() + "/icecast.xml"; }

    QTemporaryDir dir_;
    int port_;
    QProcess process_;
};

// What ffprobe reads at an address in three seconds of the stream: each
// stream's codec and how many packets of it came.
struct Probe {
    QString codecs; // "vp8 vorbis" for the webcast
    int videoPackets = 0;
    int audioPackets = 0;
    QString output;
    // Picture and sound flow: at least a second of each.
    bool plays() const {
        return codecs == "vp8 vorbis" && videoPackets >= kFramesPerSecond &&
               audioPackets >= kVorbisPacketsPerSecond;
    }
    static constexpr int kFramesPerSecond = 25;
    static constexpr int kVorbisPacketsPerSecond = 20;
};

Probe ProbeStream(const QString& address) {
    QProcess probe;
    probe.start("ffprobe",
                {"-v", "error", "-read_intervals", "%+3", "-count_packets", "-show_entries",
                 "stream=codec_name,nb_read_packets", "-of", "csv=p=0", address});
    Probe result;
    // The session lives on this thread and must go on while ffprobe reads.
    if (!QTest::qWaitFor([&] { return probe.state() == QProcess::NotRunning; }, kWait_ms)) {
        probe.kill();
        probe.waitForFinished(kWait_ms);
        result.output = "ffprobe did not finish";
        return result;
    }
    result.output = QString::fromUtf8(probe.readAllStandardOutput()) +
                    QString::fromUtf8(probe.readAllStandardError());
    QStringList codecs;
    for (const QString& line : result.output.split('\n', Qt::SkipEmptyParts)) {
        const QStringList fields = line.split(',');
        if (fields.size() != 2)
            continue;
        codecs << fields[0];
        (fields[0] == "vp8" ? result.videoPackets : result.audioPackets) = fields[1].toInt();
    }
    result.codecs = codecs.join(' ');
    return result;
}

// A client of the local webcast: connects, asks, and reads what comes.
class LocalClient {
public:
    explicit LocalClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        connected_ = ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        connected_ = connected_ && ::send(fd_.get(), request.data(), request.size(),
                                          MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    }
    // Reads until `bytes` more have come; false when the stream ends or
    // stalls. The session's events run meanwhile.
    bool readMore(std::size_t bytes) {
        const std::size_t goal = received_.size() + bytes;
        return connected_ &&
               QTest::qWaitFor(
                   [&] {
                       pollfd p{fd_.get(), POLLIN, 0};
                       if (::poll(&p, 1, 50) <= 0)
                           return false;
                       char buffer[65536];
                       const ssize_t got = ::recv(fd_.get(), buffer, sizeof buffer, 0);
                       if (got <= 0) {
                           connected_ = false;
                           return true;
                       }
                       received_.append(buffer, static_cast<std::size_t>(got));
                       return received_.size() >= goal;
                   },
                   kWait_ms) &&
               connected_;
    }
    const std::string& received() const { return received_; }

private:
    UniqueFd fd_;
    bool connected_ = false;
    std::string received_;
};

// A session on the Virtual TV Card whose webcast is published to `server`.
struct PublishingSession {
    QTemporaryDir dir;
    FakeView view;
    std::unique_ptr<TvSession> core;
    int webcastPort = FreePort();

    PublishingSession(const IcecastServer& server, const QString& password) {
        core = StartSession(TempPaths(dir), view);
        WebOptions options = core->webcast().options();
        options.webcastPort = webcastPort;
        options.maxClients = 2;
        options.icecastEnabled = true;
        options.icecastAddress = server.mountAddress();
        options.icecastPassword = password;
        core->webcast().setOptions(options);
        core->setWebcast(true);
    }
    // Waits for the status text, seen `count` times in all.
    bool waitForStatus(const QString& text, int count = 1, int timeout_ms = kWait_ms) {
        return QTest::qWaitFor([&] { return view.statuses.count(text) >= count; }, timeout_ms);
    }
    bool waitForStatusStart(const QString& start, int timeout_ms = kWait_ms) {
        return QTest::qWaitFor(
            [&] {
                return std::any_of(view.statuses.begin(), view.statuses.end(),
                                   [&](const QString& s) { return s.startsWith(start); });
            },
            timeout_ms);
    }
    std::string statuses() const { return view.statuses.join(" | ").toStdString(); }
};

QString ConnectedText(const IcecastServer& server) {
    return "Icecast: connected to " + server.mountAddress();
}

} // namespace

// The address has one form, http://host[:port]/mount, and each mistake its
// own text; the page shows it under the field. The switch, the address and
// the user name are stored in the settings file, the password never: a new
// start has the first three and an empty password. A webcast whose address
// is bad runs without publishing, and says why.
TEST(Icecast, AddressFormAndStoredOptions) {
    IcecastTarget t;
    EXPECT_EQ(ParseIcecastAddress("http://radio.example.org:8010/qeltv.webm", t), "");
    EXPECT_EQ(t.host, "radio.example.org");
    EXPECT_EQ(t.port, 8010);
    EXPECT_EQ(t.mount, "/qeltv.webm");
    EXPECT_EQ(ParseIcecastAddress("  HTTP://10.0.0.2/live  ", t), "");
    EXPECT_EQ(t.host, "10.0.0.2");
    EXPECT_EQ(t.port, kIcecastDefaultPort);
    EXPECT_EQ(t.mount, "/live");
    EXPECT_EQ(t.address(), "http://10.0.0.2:8000/live");
    const std::string example = " (for example http://host:8000/qeltv.webm).";
    EXPECT_EQ(ParseIcecastAddress("", t),
              "Please enter the address of the Icecast mount" + example);
    EXPECT_EQ(ParseIcecastAddress("icecast://host:8000/a.webm", t),
              "The Icecast address must begin with http://" + example);
    EXPECT_EQ(ParseIcecastAddress("http://host:8000", t),
              "The Icecast address needs a mount point after the server" + example);
    EXPECT_EQ(ParseIcecastAddress("http://host:8000/", t),
              "The Icecast address needs a mount point after the server" + example);
    EXPECT_EQ(ParseIcecastAddress("http://host/a b", t),
              "The Icecast address needs a mount point after the server" + example);
    for (const char* port : {"http://host:0/a", "http://host:65536/a", "http://host:80x/a",
                             "http://host:/a", "http://host:123456/a"})
        EXPECT_EQ(ParseIcecastAddress(port, t),
                  "The port of the Icecast address must be a number from 1 to 65535" + example)
            << port;
    EXPECT_EQ(ParseIcecastAddress("http://:8000/a", t),
              "The Icecast address needs the name or IPv4 address of the server" + example);
    EXPECT_EQ(ParseIcecastAddress("http://source:pw@host:8000/a", t),
              "The Icecast address holds no user name or password: enter them in their own "
              "fields.");

    QTemporaryDir dir;
    const Paths paths = TempPaths(dir);
    {
        auto w = std::make_unique<TfrmMain>(paths, std::nullopt, nullptr, App());
        auto* enabled = w->findChild<QCheckBox*>("cbIcecast");
        auto* address = w->findChild<QLineEdit*>("edIcecastAddress");
        auto* user = w->findChild<QLineEdit*>("edIcecastUsername");
        auto* password = w->findChild<QLineEdit*>("edIcecastPassword");
        auto* error = w->findChild<QLabel*>("lblIcecastError");
        ASSERT_TRUE(enabled && address && user && password && error);
        EXPECT_EQ(enabled->text(), "Publish to Icecast server");
        EXPECT_FALSE(enabled->isChecked());
        EXPECT_EQ(user->text(), "source");
        EXPECT_EQ(password->echoMode(), QLineEdit::Password);
        EXPECT_TRUE(password->toolTip().contains("never stored in the settings file"));
        enabled->setChecked(true);
        EXPECT_EQ(error->text().toStdString(),
                  "Please enter the address of the Icecast mount" + example);
        address->setText("http://127.0.0.1:8000");
        EXPECT_EQ(error->text().toStdString(),
                  "The Icecast address needs a mount point after the server" + example);
        address->setText("http://127.0.0.1:8000/qeltv.webm");
        EXPECT_EQ(error->text(), "");
        user->setText("relay-user");
        password->setText("pw-of-this-session");
        const WebOptions& o = w->session().webcast().options();
        EXPECT_TRUE(o.icecastEnabled);
        EXPECT_EQ(o.icecastAddress, "http://127.0.0.1:8000/qeltv.webm");
        EXPECT_EQ(o.icecastUserName, "relay-user");
        EXPECT_EQ(o.icecastPassword, "pw-of-this-session");
        w->close();
    }
    const std::string stored = ReadFile(paths.userStore());
    EXPECT_EQ(stored.find("pw-of-this-session"), std::string::npos) << stored;
    RegFile file(paths.userStore(), "HKEY_CURRENT_USER");
    file.load();
    EXPECT_EQ(file.valueNames("Software\\Qel\\QelTV\\Icecast"),
              (std::vector<std::string>{"Enabled", "Address", "UserName"}));
    // The program's own key keeps its values.
    EXPECT_EQ(file.valueNames("Software\\Qel\\QelTV").size(), 18u);
    {
        auto w = std::make_unique<TfrmMain>(paths, std::nullopt, nullptr, App());
        EXPECT_TRUE(w->findChild<QCheckBox*>("cbIcecast")->isChecked());
        EXPECT_EQ(w->findChild<QLineEdit*>("edIcecastAddress")->text(),
                  "http://127.0.0.1:8000/qeltv.webm");
        EXPECT_EQ(w->findChild<QLineEdit*>("edIcecastUsername")->text(), "relay-user");
        EXPECT_EQ(w->findChild<QLineEdit*>("edIcecastPassword")->text(), "");
        EXPECT_EQ(w->session().webcast().options().icecastPassword, "");
        w->close();
    }

    // A webcast asked to publish to a bad address runs without it and the
    // status bar says why.
    QTemporaryDir sessionDir;
    FakeView view;
    auto session = StartSession(TempPaths(sessionDir), view);
    WebOptions options = session->webcast().options();
    options.webcastPort = FreePort();
    options.icecastEnabled = true;
    options.icecastAddress = "http://127.0.0.1:8000";
    session->webcast().setOptions(options);
    session->setWebcast(true);
    EXPECT_EQ(session->graphMode(), GraphMode::Webcast);
    EXPECT_TRUE(session->graphBuilder().ASFWriter.networkSink());
    EXPECT_EQ(view.lastStatus().toStdString(),
              "Icecast: The Icecast address needs a mount point after the server" + example);
    EXPECT_TRUE(view.boxes.isEmpty()) << view.boxes.join("; ").toStdString();
}

// While the webcast runs its stream is on the mount: ffprobe finds VP8 and
// Vorbis there, and chromium plays it; the local webcast serves as before.
TEST(Icecast, PublishesTheWebcast) {
    SKIP_WITHOUT_ICECAST();
    IcecastServer server;
    ASSERT_TRUE(server.start()) << server.log();
    PublishingSession s(server, kSourcePassword);
    ASSERT_EQ(s.core->graphMode(), GraphMode::Webcast);
    ASSERT_TRUE(s.waitForStatus(ConnectedText(server))) << s.statuses() << server.log();
    LocalClient local(s.webcastPort);
    EXPECT_TRUE(local.readMore(64 * 1024));
    const Probe probe = ProbeStream(server.mountAddress());
    EXPECT_TRUE(probe.plays()) << probe.output.toStdString();

    Chromium browser;
    ASSERT_TRUE(browser.start()) << browser.error().toStdString();
    Chromium::Tab* tab = browser.newTab();
    ASSERT_TRUE(tab) << browser.error().toStdString();
    tab->evaluate("window.v = document.createElement('video'); v.muted = true; v.autoplay = true;"
                  "v.src = '" +
                  server.mountAddress() +
                  "'; document.body.appendChild(v); window.first = null;"
                  "setInterval(() => { if (v.currentTime > 0 && first === null)"
                  " first = v.currentTime; }, 100); true");
    EXPECT_TRUE(tab->waitFor("first !== null && v.currentTime > first + 1 && v.videoWidth == 320",
                             kBrowserWait_ms))
        << tab->error().toStdString();
    EXPECT_TRUE(s.view.boxes.isEmpty()) << s.view.boxes.join("; ").toStdString();
}

// The server goes away under a running webcast and comes back: the status
// bar says the publisher retries and why, the local webcast serves on, a
// recording made at the same time in this process is whole, and once the
// server is back the mount plays again.
TEST(Icecast, SurvivesTheServerGoingAndComingBack) {
    SKIP_WITHOUT_ICECAST();
    IcecastServer server;
    ASSERT_TRUE(server.start()) << server.log();
    PublishingSession s(server, kSourcePassword);
    ASSERT_TRUE(s.waitForStatus(ConnectedText(server))) << s.statuses() << server.log();
    LocalClient local(s.webcastPort);
    ASSERT_TRUE(local.readMore(16 * 1024));

    QTemporaryDir recordingDir;
    const Paths recordingPaths = TempPaths(recordingDir);
    WriteFile(recordingPaths.userStore(),
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Qel\\QelTV]\n\"CurrentChannel\"=dword:" +
                  QString::asprintf("%08lx", kStationChannel).toStdString() + "\n");
    FakeView recordingView;
    auto recorder = StartSession(recordingPaths, recordingView);
    recorder->record();
    ASSERT_EQ(recorder->graphMode(), GraphMode::Recording);
    QElapsedTimer recording;
    recording.start();

    server.stop();
    EXPECT_TRUE(s.waitForStatusStart("Icecast: retrying in 1 s: ")) << s.statuses();
    // A second failed attempt waits twice as long.
    EXPECT_TRUE(s.waitForStatusStart("Icecast: retrying in 2 s: ")) << s.statuses();
    EXPECT_TRUE(local.readMore(64 * 1024)) << "the local webcast stopped with the server";
    EXPECT_EQ(s.core->graphMode(), GraphMode::Webcast);

    ASSERT_TRUE(server.start()) << server.log();
    EXPECT_TRUE(s.waitForStatus(ConnectedText(server), 2, kReconnectWait_ms)) << s.statuses();
    const Probe probe = ProbeStream(server.mountAddress());
    EXPECT_TRUE(probe.plays()) << probe.output.toStdString() << server.log();
    EXPECT_TRUE(local.readMore(64 * 1024));

    const double recorded_s = recording.elapsed() / 1000.0;
    recorder->stop();
    ASSERT_EQ(recorder->graphMode(), GraphMode::Preview);
    const RecordingCheck check =
        CheckRecording(recorder->graphBuilder().lastRecording(), recorded_s);
    EXPECT_EQ(check.problems, "") << check.summary;
    EXPECT_TRUE(s.view.boxes.isEmpty()) << s.view.boxes.join("; ").toStdString();
    EXPECT_TRUE(recordingView.boxes.isEmpty()) << recordingView.boxes.join("; ").toStdString();
}

// A password the server refuses is said in the status bar, once, and the
// local webcast is not touched by it.
TEST(Icecast, WrongPasswordIsReported) {
    SKIP_WITHOUT_ICECAST();
    IcecastServer server;
    ASSERT_TRUE(server.start()) << server.log();
    PublishingSession s(server, "not-the-password");
    ASSERT_EQ(s.core->graphMode(), GraphMode::Webcast);
    ASSERT_TRUE(s.waitForStatus(IcecastPublisher::kRefusedText)) << s.statuses() << server.log();
    LocalClient local(s.webcastPort);
    EXPECT_TRUE(local.readMore(128 * 1024));
    EXPECT_EQ(s.core->graphMode(), GraphMode::Webcast);
    EXPECT_TRUE(s.view.boxes.isEmpty()) << s.view.boxes.join("; ").toStdString();
    EXPECT_TRUE(s.view.errors.isEmpty()) << s.view.errors.join("; ").toStdString();
    // Nothing reached the mount.
    const Probe probe = ProbeStream(server.mountAddress());
    EXPECT_EQ(probe.codecs, "") << probe.output.toStdString();
    EXPECT_EQ(s.view.statuses.count(IcecastPublisher::kRefusedText), 1) << s.statuses();
}

QELTV_GUI_TEST_MAIN()
