// Runs the real program in temporary XDG folders, headless, with its
// diagnostics on, and reads what it logs.
#pragma once

#include "tests/support/CompressorCache.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <filesystem>
#include <memory>

namespace qeltv::test {

// One set of XDG folders, shared by the instances of one test.
class Home {
public:
    // Shared: the cache holds the test run's compressor trial results
    // (tests/support/CompressorCache.h); Empty: the program's first start
    // runs the trials itself.
    enum class Cache { Shared, Empty };
    explicit Home(Cache cache = Cache::Shared) {
        for (const char* d : {"run", "config", "data", "videos", "cache"})
            QDir(dir_.path()).mkpath(d);
        if (cache == Cache::Shared)
            SeedCompressorCache(path("cache") + "/qeltv");
        QFile::setPermissions(dir_.path() + "/run", QFileDevice::ReadOwner |
                                                        QFileDevice::WriteOwner |
                                                        QFileDevice::ExeOwner);
    }
    QString path(const QString& sub) const { return dir_.path() + "/" + sub; }
    // The program's runtime folder, made ahead of the program (private, as
    // the program requires).
    QString makeRuntimeDir() const {
        const QString runtime = path("run") + "/qeltv";
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner);
        return runtime;
    }
    std::filesystem::path userStore() const {
        return (path("config") + "/qeltv/HKEY_CURRENT_USER.reg").toStdString();
    }
    std::filesystem::path machineStore() const {
        return (path("data") + "/qeltv/HKEY_LOCAL_MACHINE.reg").toStdString();
    }
    // The finished recordings in the capture folder.
    QStringList recordings() const {
        return QDir(path("videos") + "/qeltv").entryList({"capture_*"}, QDir::Files);
    }
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", path("run"));
        env.insert("XDG_CONFIG_HOME", path("config"));
        env.insert("XDG_DATA_HOME", path("data"));
        env.insert("XDG_VIDEOS_DIR", path("videos"));
        env.insert("XDG_CACHE_HOME", path("cache"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QT_LOGGING_RULES", "qeltv.*.debug=true");
        return env;
    }

private:
    QTemporaryDir dir_;
};

class ProgramRun {
public:
    ProgramRun(const Home& home, const QStringList& arguments)
        : ProgramRun(home.environment(), arguments) {}
    // With an environment of the test's own making (usually a Home's with
    // some variables changed).
    ProgramRun(const QProcessEnvironment& environment, const QStringList& arguments) {
        process_.setProcessEnvironment(environment);
        process_.start(QELTV_BINARY, arguments);
        process_.waitForStarted(5000);
    }
    ~ProgramRun() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    // Waits until the log holds `text` (at least `count` times); true when
    // it does.
    bool waitForLog(const QString& text, int timeout_ms = 15000, int count = 1) {
        QDeadlineTimer deadline(timeout_ms);
        while (true) {
            log_ += QString::fromUtf8(process_.readAllStandardError());
            if (log_.count(text) >= count)
                return true;
            if (deadline.hasExpired() || process_.state() == QProcess::NotRunning)
                return false;
            process_.waitForReadyRead(50);
        }
    }
    // Waits for the end of the process; its exit code, or -1 on time-out.
    int waitForExit(int timeout_ms = 15000) {
        if (!process_.waitForFinished(timeout_ms))
            return -1;
        log_ += QString::fromUtf8(process_.readAllStandardError());
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -2;
    }
    // Signals the process; nothing once it has ended (its id is then 0, which
    // kill() would take as the whole process group of the test).
    void signal(int signalNumber) {
        if (const qint64 pid = process_.processId(); pid > 0)
            ::kill(static_cast<pid_t>(pid), signalNumber);
    }
    bool running() const { return process_.state() != QProcess::NotRunning; }
    QString log() {
        takeWaitingOutput();
        log_ += QString::fromUtf8(process_.readAllStandardError());
        return log_;
    }
    // What the program wrote on its standard output so far.
    QString output() {
        takeWaitingOutput();
        output_ += QString::fromUtf8(process_.readAllStandardOutput());
        return output_;
    }

private:
    // Reads what waits in the program's pipes without waiting for more:
    // without an event loop nothing else does, and a full pipe would hold
    // the program up in its next write.
    void takeWaitingOutput() {
        if (process_.state() != QProcess::NotRunning)
            process_.waitForReadyRead(0);
    }

    QProcess process_;
    QString log_;
    QString output_;
};

} // namespace qeltv::test
