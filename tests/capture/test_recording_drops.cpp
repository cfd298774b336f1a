// The frames a recording loses are told: the status bar counts them while
// the recording runs, and the log says how many of how many when it ends.
#include "capture/GraphBuilder.h"
#include "settings/Settings.h"
#include "tests/capture/test_graph_support.h"
#include "tests/support/RecordingCheck.h"

#include <QLoggingCategory>
#include <QRegularExpression>

namespace qeltv {
namespace {

class RecordingView : public GraphView {
public:
    void setBusyCursor(bool) override {}
    void setBackCaption(const QString&) override {}
    void showVideoWindow(bool) override {}
    void setStatusText(const QString& text) override { statusTexts << text; }
    void UpdateControls() override {}
    void showMessage(const QString& text) override { messages << text; }
    void showBalloon(const QString&, const QString&, int, int) override {}
    void showWarning(const QString& text) override { messages << text; }
    void endProgram() override {}

    QStringList statusTexts;
    QStringList messages;
};

class FixedChoices : public GraphChoices, public WebcastChoices {
public:
    bool videoDevicesListed() const override { return true; }
    std::optional<int> selectedInputLine() const override { return std::nullopt; }
    std::optional<MediaType> selectedAudioFormat() const override { return std::nullopt; }
    int webcastPort() const override { return 0; }
    int webcastMaxClients() const override { return 1; }
    int webcastProfileIndex() const override { return 0; }
    void reselectAudioCaptureDevice() override {}
};

// What the graph's log category says, while a test runs.
QStringList* graphLog = nullptr;
void KeepGraphLog(QtMsgType, const QMessageLogContext& context, const QString& text) {
    if (graphLog && context.category && QString(context.category) == "qeltv.capture.graph")
        *graphLog << text;
}

class RecordingDrops : public test::GraphTest {
protected:
    void SetUp() override {
        GraphTest::SetUp();
        QLoggingCategory::setFilterRules("qeltv.capture.graph.info=true");
        graphLog = &log;
        previousHandler = qInstallMessageHandler(KeepGraphLog);
        graph.reset(); // the builder has a graph of its own
        settings.CapFile = path("capture.avi");
    }
    void TearDown() override {
        qInstallMessageHandler(previousHandler);
        graphLog = nullptr;
        QLoggingCategory::setFilterRules("");
        GraphTest::TearDown();
    }

    // Records `duration_ms` of the Virtual TV Card through the video
    // compressor, set up by `configure`, with PCM sound; returns the file.
    std::filesystem::path Record(const std::string& videoCompressor, int duration_ms,
                                 const std::function<void(GstElement*)>& configure) {
        GraphBuilder builder(*context, settings, choices, choices, view);
        builder.Activate();
        builder.filterVideoCap.setMoniker(kVirtualCardMoniker);
        builder.filterAudioCap.setMoniker(kVirtualCardAudioMoniker);
        builder.filterVideoCompression.setMoniker(videoCompressor);
        builder.filterAudioCompression.setMoniker(kPcmMoniker);
        for (FilterObject* o : {&builder.filterVideoCap, &builder.filterAudioCap,
                                &builder.filterVideoCompression, &builder.filterAudioCompression})
            o->Attach();
        configure(builder.filterVideoCompression.filter().configurable());
        builder.BuildGraph(GraphMode::Recording);
        EXPECT_EQ(builder.mode(), GraphMode::Recording);
        EXPECT_TRUE(view.messages.isEmpty()) << view.messages.join("\n").toStdString();
        recordingStatus = view.statusTexts.size();
        test::Spin(duration_ms);
        builder.StopRecording();
        return builder.lastRecording();
    }

    // The texts the status bar showed while the recording ran.
    QStringList StatusWhileRecording() const { return view.statusTexts.mid(recordingStatus); }

    Settings settings;
    FixedChoices choices;
    RecordingView view;
    QStringList log;
    QtMessageHandler previousHandler = nullptr;
    qsizetype recordingStatus = 0;
};

const QRegularExpression kDroppedLog("^recording (.+): (\\d+) of (\\d+) frames dropped$");

} // namespace

// A compressor far too slow for the picture (x264's slowest preset at
// 1280x720) cannot take every frame: the status bar counts the frames lost
// after the format it shows, and the log gives the total against the frames
// captured, of which exactly the rest are in the file.
TEST_F(RecordingDrops, ASlowCompressorsLostFramesAreShownAndLogged) {
    settings.CaptureWidth = 1280;
    settings.CaptureHeight = 720;
    const auto file = Record("encoder:x264enc", 4000, [](GstElement* encoder) {
        gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", "placebo");
    });
    ASSERT_FALSE(file.empty());

    const QStringList shown = StatusWhileRecording().filter(" - Recording: ");
    ASSERT_FALSE(shown.isEmpty()) << view.statusTexts.join("\n").toStdString();
    EXPECT_TRUE(shown.front().startsWith("Major Type: Video")) << shown.front().toStdString();
    EXPECT_TRUE(QRegularExpression(" - Recording: [1-9]\\d* frames dropped$")
                    .match(shown.back())
                    .hasMatch())
        << shown.back().toStdString();

    const QStringList reports = log.filter(kDroppedLog);
    ASSERT_EQ(reports.size(), 1) << log.join("\n").toStdString();
    const auto report = kDroppedLog.match(reports.front());
    EXPECT_EQ(report.captured(1).toStdString(), file.string());
    const long dropped = report.captured(2).toLong();
    const long captured = report.captured(3).toLong();
    EXPECT_GT(dropped, 0);
    // The status bar never counted more than were lost in the end.
    EXPECT_LE(QRegularExpression("(\\d+) frames dropped$").match(shown.back()).captured(1).toLong(),
              dropped);
    // 25 frames a second were captured for about four seconds.
    EXPECT_GE(captured, 50);
    EXPECT_EQ(test::CheckRecording(file, 0).demuxedFrames, captured - dropped);
}

// A recording that keeps up loses nothing and says so only in the log: the
// status bar keeps the format text of the build.
TEST_F(RecordingDrops, ARecordingThatKeepsUpReportsNone) {
    const auto file = Record("encoder:jpegenc", 2000, [](GstElement*) {});
    ASSERT_FALSE(file.empty());
    EXPECT_TRUE(StatusWhileRecording().filter("dropped").isEmpty())
        << view.statusTexts.join("\n").toStdString();
    const QStringList reports = log.filter(kDroppedLog);
    ASSERT_EQ(reports.size(), 1) << log.join("\n").toStdString();
    const auto report = kDroppedLog.match(reports.front());
    EXPECT_EQ(report.captured(2).toLong(), 0);
    EXPECT_GT(report.captured(3).toLong(), 0);
    EXPECT_EQ(test::CheckRecording(file, 0).demuxedFrames, report.captured(3).toLong());
}

} // namespace qeltv
