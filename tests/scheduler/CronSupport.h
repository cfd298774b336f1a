// What the scheduler tests need around them: the user's crontab saved and
// restored, and a running cron daemon (started here when none runs, and
// then stopped again; one that was running is left alone).
#pragma once

#include "scheduler/Crontab.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>

namespace qeltv::test {

constexpr int kCronWait_ms = 10000;

inline QByteArray RunCrontab(const QStringList& args, const QByteArray& input = {},
                             int* exitCode = nullptr) {
    QProcess p;
    p.start(Crontab::FindCommand(), args);
    p.waitForStarted(kCronWait_ms);
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(kCronWait_ms);
    if (exitCode)
        *exitCode = p.exitCode();
    return p.readAllStandardOutput();
}

// The user's crontab as it was, put back at the end of the test.
class SavedCrontab {
public:
    SavedCrontab() {
        int code = 0;
        text_ = RunCrontab({"-l"}, {}, &code);
        had_ = code == 0;
    }
    ~SavedCrontab() {
        if (had_)
            RunCrontab({"-"}, text_);
        else
            RunCrontab({"-r"});
    }
    SavedCrontab(const SavedCrontab&) = delete;
    SavedCrontab& operator=(const SavedCrontab&) = delete;

private:
    QByteArray text_;
    bool had_ = false;
};

// Waits, boundedly, until `ready` holds.
template <class Ready> bool WaitFor(Ready ready, int timeout_ms) {
    QDeadlineTimer deadline(timeout_ms);
    while (!ready()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

class CronDaemon {
public:
    static constexpr const char* kPidFile = "/run/crond.pid";

    CronDaemon() { start(); }
    ~CronDaemon() { stop(); }
    CronDaemon(const CronDaemon&) = delete;
    CronDaemon& operator=(const CronDaemon&) = delete;

    void start() {
        if (Crontab::DaemonRunning())
            return;
        const QString cron = QStandardPaths::findExecutable("cron", {"/usr/sbin", "/sbin"});
        ASSERT_FALSE(cron.isEmpty()) << "cron is not installed";
        // cron goes into the background by itself.
        ASSERT_EQ(QProcess::execute(cron, {}), 0);
        // The pid file may still name an earlier daemon until this one has
        // written it.
        ASSERT_TRUE(WaitFor(
            [this] {
                QFile pidFile(kPidFile);
                if (!pidFile.open(QIODevice::ReadOnly))
                    return false;
                pid_ = pidFile.readAll().trimmed().toLong();
                QFile stat(QString("/proc/%1/stat").arg(pid_));
                if (pid_ <= 0 || !stat.open(QIODevice::ReadOnly))
                    return false;
                const QByteArray state = stat.readAll();
                return state.contains("(cron) ") && !state.contains("(cron) Z");
            },
            kCronWait_ms));
        ASSERT_GT(pid_, 0);
    }
    // Stops the daemon when this object started it.
    void stop() {
        if (pid_ <= 0)
            return;
        ::kill(static_cast<pid_t>(pid_), SIGTERM);
        EXPECT_TRUE(WaitFor([] { return !Crontab::DaemonRunning(); }, kCronWait_ms));
        pid_ = 0;
    }
    bool startedHere() const { return pid_ > 0; }

private:
    long pid_ = 0;
};

} // namespace qeltv::test
