// The crontab lines of a task, as cron and /bin/sh read them: the runner and
// the job file arrive as the very paths they are, whatever characters they
// hold ('%' means a line break to cron, '\'' ends a word to the shell), and
// the tag still finds the task's lines.
#include "scheduler/Crontab.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace qeltv;

namespace {

constexpr int kShell_ms = 10000;
constexpr int kTimeFields = 5;

// What cron hands to /bin/sh -c for a line of a user's crontab: the text
// after the five time fields up to the first '%' that no backslash escapes;
// "\%" stands for a plain '%', other backslashes stay. What follows that
// '%' would go to the command's standard input; it lands in `input`.
QByteArray CronCommand(const QByteArray& line, QByteArray& input) {
    qsizetype at = 0;
    for (int field = 0; field < kTimeFields; ++field) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
            ++at;
        while (at < line.size() && line[at] != ' ' && line[at] != '\t')
            ++at;
    }
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
        ++at;
    QByteArray command;
    input.clear();
    for (; at < line.size(); ++at) {
        const char c = line[at];
        if (c == '\\' && at + 1 < line.size() && line[at + 1] == '%') {
            command += '%';
            ++at;
        } else if (c == '%') {
            input = line.mid(at + 1);
            break;
        } else {
            command += c;
        }
    }
    return command;
}

TASK_TRIGGER DailyAt(int hour, int minute) {
    TASK_TRIGGER t;
    t.cbTriggerSize = TASK_TRIGGER::kSize;
    t.wBeginYear = 2026;
    t.wBeginMonth = 3;
    t.wBeginDay = 1;
    t.wStartHour = std::uint16_t(hour);
    t.wStartMinute = std::uint16_t(minute);
    t.TriggerType = TASK_TIME_TRIGGER_DAILY;
    return t;
}

} // namespace

// A runner installed under a folder named with a space, '%', '\'' and a
// non-ASCII letter, for a task whose job file is named likewise: the shell
// that cron starts runs that very runner with that very job file.
TEST(CrontabLines, PathsReachTheRunnerUnchangedThroughCronAndTheShell) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::filesystem::path root = dir.path().toStdString();
    const std::filesystem::path folder = root / "Zoë's 100% TV";
    std::filesystem::create_directories(folder / "tasks");
    const std::filesystem::path runner = folder / "qeltv-runner";
    const std::filesystem::path job = folder / "tasks" / "50% of Tom's \"film\" é.job";
    const std::filesystem::path output = root / "arguments";
    {
        std::ofstream script(runner);
        script << "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$#\" \"$@\" > \"$ARGUMENTS_FILE\"\n";
    }
    std::filesystem::permissions(runner, std::filesystem::perms::owner_all);

    const std::vector<QByteArray> lines = Crontab::LinesFor(runner, job, {DailyAt(21, 30)});
    ASSERT_EQ(lines.size(), 1u);
    const QByteArray& line = lines[0];
    EXPECT_TRUE(line.startsWith("30 21 * * * ")) << line.toStdString();
    EXPECT_FALSE(line.contains('\n')) << line.toStdString();

    QByteArray input;
    const QByteArray command = CronCommand(line, input);
    EXPECT_TRUE(input.isEmpty()) << "cron would cut the line at a '%': " << line.toStdString();

    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ARGUMENTS_FILE", QString::fromStdString(output.string()));
    shell.setProcessEnvironment(environment);
    shell.start("/bin/sh", {"-c", QString::fromUtf8(command)});
    ASSERT_TRUE(shell.waitForFinished(kShell_ms));
    EXPECT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().toStdString() << "\n"
                                   << command.toStdString();
    QFile received(QString::fromStdString(output.string()));
    ASSERT_TRUE(received.open(QIODevice::ReadOnly)) << command.toStdString();
    EXPECT_EQ(received.readAll().toStdString(), runner.string() + "\n1\n" + job.string() + "\n");

    // The tag names the job file the same way: the lines are found and
    // replaced, the user's line with a '%' of its own stays.
    const QByteArray user = "0 * * * * echo '5% done'\n";
    const QByteArray crontab = Crontab::Replace(user, job, lines);
    EXPECT_EQ(crontab, user + line + '\n');
    EXPECT_TRUE(Crontab::HasJob(crontab, job));
    EXPECT_FALSE(Crontab::HasJob(crontab, folder / "tasks" / "50% of Tom's.job"));
    // The runner is read back from the line as the shell sees it.
    EXPECT_EQ(Crontab::RunnerOf(crontab, job), std::optional(runner));
    EXPECT_EQ(Crontab::RunnerOf(user, job), std::nullopt);
    EXPECT_EQ(Crontab::Replace(crontab, job, {}), user);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
