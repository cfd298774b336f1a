// The graph in its modes on the Virtual TV Card, driven through the main
// window in this process: preview, recording to a finished AVI file, the
// saved graph and its corrupted-data path.
#include "app/Resources.h"
#include "app/VideoWindow.h"
#include "app/uFrmMain.h"
#include "capture/GraphBuilder.h"
#include "capture/GstRef.h"
#include "tests/app/GuiTest.h"
#include "tests/settings/TempDir.h"
#include "tests/support/RecordingCheck.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QStatusBar>
#include <QTest>
#include <gst/pbutils/pbutils.h>

using namespace qeltv;
using namespace qeltv::test;

namespace {
constexpr long kAuroraChannel = 14; // E5 on the cable plan, 175.25 MHz
constexpr std::uint32_t kAurora_hz = 175'250'000;

std::unique_ptr<TfrmMain> Open(const Paths& paths) {
    auto w = std::make_unique<TfrmMain>(paths, std::nullopt, nullptr, App());
    w->show();
    return w;
}

void Close(std::unique_ptr<TfrmMain>& w) {
    w->close();
    w.reset();
}

// Waits until the video window has shown `frames` more frames.
bool WaitForFrames(TfrmMain& w, int frames) {
    const quint64 start = w.videoWindow()->framesShown();
    return QTest::qWaitFor([&] { return w.videoWindow()->framesShown() >= start + frames; }, 10000);
}

struct Discovered {
    double seconds = 0;
    int video = 0, audio = 0;
};

Discovered Discover(const std::filesystem::path& file) {
    Discovered d;
    GError* error = nullptr;
    GstDiscoverer* discoverer = gst_discoverer_new(10 * GST_SECOND, &error);
    const std::string uri = "file://" + file.string();
    GstDiscovererInfo* info = gst_discoverer_discover_uri(discoverer, uri.c_str(), &error);
    if (info) {
        d.seconds = double(gst_discoverer_info_get_duration(info)) / GST_SECOND;
        GList* v = gst_discoverer_info_get_video_streams(info);
        GList* a = gst_discoverer_info_get_audio_streams(info);
        d.video = int(g_list_length(v));
        d.audio = int(g_list_length(a));
        gst_discoverer_stream_info_list_free(v);
        gst_discoverer_stream_info_list_free(a);
        gst_discoverer_info_unref(info);
    }
    if (error)
        g_error_free(error);
    g_object_unref(discoverer);
    return d;
}

// Adds up the durations of the video frames that reach the AVI mux of the
// graph's current pipeline: how much a recording holds by the stream's own
// timestamps, whatever the load on the machine.
class MuxedVideo {
public:
    explicit MuxedVideo(GstElement* pipeline) {
        const auto it = GstOwned<GstIterator>::adopt(gst_bin_iterate_recurse(GST_BIN(pipeline)));
        GstOwnedValue item;
        GstOwned<GstPad> pad;
        while (!pad && gst_iterator_next(it.get(), item.get()) == GST_ITERATOR_OK) {
            auto* element = GST_ELEMENT(g_value_get_object(item.get()));
            GstElementFactory* factory = gst_element_get_factory(element);
            if (factory && std::string(GST_OBJECT_NAME(factory)) == "avimux")
                pad = GstOwned<GstPad>::adopt(FirstVideoSinkPad(element));
            g_value_reset(item.get());
        }
        if (pad)
            probe_ = GstOwnedPadProbe::add(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, &MuxedVideo::Count,
                                           this);
    }
    // The probe goes before the count it adds to.
    ~MuxedVideo() { probe_.reset(); }
    bool found() const { return bool(probe_); }
    double seconds() const { return double(duration_ns_.load()) / GST_SECOND; }

private:
    static GstPad* FirstVideoSinkPad(GstElement* mux) {
        GstPad* found = nullptr;
        for (GList* l = mux->sinkpads; l && !found; l = l->next)
            if (g_str_has_prefix(GST_PAD_NAME(l->data), "video"))
                found = GST_PAD(gst_object_ref(l->data));
        return found;
    }
    static GstPadProbeReturn Count(GstPad*, GstPadProbeInfo* info, gpointer self) {
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        if (GST_BUFFER_DURATION_IS_VALID(buffer))
            static_cast<MuxedVideo*>(self)->duration_ns_ += GST_BUFFER_DURATION(buffer);
        return GST_PAD_PROBE_OK;
    }

    std::atomic<guint64> duration_ns_{0};
    GstOwnedPadProbe probe_;
};

// A recording's frames reach the mux a moment after the graph starts; the
// probe can miss a few of them.
constexpr double kMissedAtStart_s = 0.2;
constexpr int kStreamWait_ms = 60000;

std::vector<std::filesystem::path> Recordings(const Paths& paths) {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(paths.videosDir))
        if (e.path().filename() != "capture.avi")
            files.push_back(e.path());
    return files;
}

void StoreCurrentChannel(const Paths& paths, long channel) {
    WriteFile(paths.userStore(), "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Qel\\QelTV]\n"
                                 "\"CurrentChannel\"=dword:" +
                                     QString::asprintf("%08lx", channel).toStdString() + "\n");
}
} // namespace

TEST(GraphModes, PreviewTunesAndShowsThePicture) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    StoreCurrentChannel(paths, kAuroraChannel);
    // A file under the capture name is deleted by every build, also the
    // preview build at start-up (an empty one is no interrupted recording).
    WriteFile(paths.defaultCaptureFile(), "");
    ModalAnswerer answerer;
    auto w = Open(paths);
    EXPECT_TRUE(answerer.messages.isEmpty()) << answerer.messages.join("\n").toStdString();
    EXPECT_EQ(w->graphMode(), GraphMode::Preview);
    EXPECT_EQ(w->findChild<QComboBox*>("cmbVideoCapDev")->currentText(), "Virtual TV Card");
    ASSERT_NE(w->graphBuilder().tuner(), nullptr);
    EXPECT_EQ(w->virtualCard().frequency(), kAurora_hz);
    EXPECT_EQ(w->statusBar()->currentMessage(),
              "Major Type: Video - Sub Type: YUY2 Format: VideoInfo YUY2 640X480, 16 bits");
    EXPECT_FALSE(std::filesystem::exists(paths.defaultCaptureFile()));
    ASSERT_TRUE(WaitForFrames(*w, 5));
    // The caption is the quick-channel text (empty here: no channels).
    EXPECT_EQ(w->videoWindow()->osdText(), "");

    // Stop freezes the picture, Play runs it again. Once the graph has
    // stopped no streaming thread is left, so after the frames already
    // handed over are drawn, no more may come.
    w->btStopClick();
    ASSERT_EQ(w->graphBuilder().graph().state(), GST_STATE_NULL);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    const quint64 frozen = w->videoWindow()->framesShown();
    QTest::qWait(400);
    EXPECT_EQ(w->videoWindow()->framesShown(), frozen);
    w->btPlayClick();
    EXPECT_TRUE(WaitForFrames(*w, 3));
    Close(w);
}

TEST(GraphModes, RecordingEndsInAFinishedFileUnderItsFinalName) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    StoreCurrentChannel(paths, kAuroraChannel); // a station: picture and tone
    ModalAnswerer answerer;
    auto w = Open(paths);
    ASSERT_TRUE(WaitForFrames(*w, 2));
    w->btRecClick();
    ASSERT_EQ(w->graphMode(), GraphMode::Recording);
    EXPECT_EQ(w->findChild<QLabel*>("pnlBack")->text(), "Recording in progress...");
    EXPECT_FALSE(w->videoWindow()->isVisible());
    const QDateTime start = w->graphBuilder().recordingStart();
    double recorded_s = 0;
    {
        MuxedVideo muxed(w->graphBuilder().graph().pipeline());
        ASSERT_TRUE(muxed.found());
        ASSERT_TRUE(QTest::qWaitFor([&] { return muxed.seconds() >= 3.0; }, kStreamWait_ms));
        EXPECT_TRUE(std::filesystem::exists(paths.defaultCaptureFile()));
        w->btStopClick();
        recorded_s = muxed.seconds();
    }
    EXPECT_EQ(w->graphMode(), GraphMode::Preview);
    EXPECT_TRUE(answerer.messages.isEmpty()) << answerer.messages.join("\n").toStdString();
    const auto expected =
        paths.videosDir / ("capture_" + start.toString("yyyyMMddHHmmss").toStdString() + ".avi");
    EXPECT_EQ(w->graphBuilder().lastRecording(), expected);
    ASSERT_TRUE(std::filesystem::exists(expected));
    const Discovered d = Discover(expected);
    // Everything that reached the mux up to the end of stream is in the file.
    EXPECT_GE(d.seconds, recorded_s - 0.05);
    EXPECT_LE(d.seconds, recorded_s + kMissedAtStart_s);
    const RecordingCheck check = CheckRecording(expected, recorded_s);
    EXPECT_EQ(check.problems, "") << check.summary;
    EXPECT_TRUE(WaitForFrames(*w, 3)); // the preview runs again

    // A stop without a working file only rebuilds the preview.
    w->btRecClick();
    w->graphBuilder().graph().Stop();
    std::filesystem::remove(paths.defaultCaptureFile());
    w->btStopClick();
    EXPECT_EQ(w->graphMode(), GraphMode::Preview);
    EXPECT_EQ(Recordings(paths).size(), 1u);
    Close(w);
}

// Closing while recording leaves a finished file; the next start restores
// the saved graph with the tuner on the saved channel and the crossbar
// routing kept.
TEST(GraphModes, CloseWhileRecordingAndRestore) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    StoreCurrentChannel(paths, kAuroraChannel);
    ModalAnswerer answerer;
    auto w = Open(paths);
    // Audio from the line input instead of the tuner: a routing the next
    // start must keep.
    Crossbar* crossbar = w->graphBuilder().crossbar();
    ASSERT_NE(crossbar, nullptr);
    ASSERT_TRUE(Succeeded(crossbar->Route(1, 4)));
    w->btRecClick();
    {
        MuxedVideo muxed(w->graphBuilder().graph().pipeline());
        ASSERT_TRUE(muxed.found());
        ASSERT_TRUE(QTest::qWaitFor([&] { return muxed.seconds() >= 1.0; }, kStreamWait_ms));
        Close(w);
    }
    ASSERT_EQ(Recordings(paths).size(), 1u);
    EXPECT_GE(Discover(Recordings(paths)[0]).seconds, 1.0 - 0.05);
    ASSERT_TRUE(std::filesystem::exists(paths.dataFile()));

    w = Open(paths);
    EXPECT_TRUE(answerer.messages.isEmpty()) << answerer.messages.join("\n").toStdString();
    EXPECT_EQ(w->virtualCard().frequency(), kAurora_hz);
    long routed = -1;
    w->graphBuilder().crossbar()->get_IsRoutedTo(1, routed);
    EXPECT_EQ(routed, 4);
    EXPECT_TRUE(WaitForFrames(*w, 3));
    Close(w);
}

TEST(GraphModes, CorruptedDataFile) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    WriteFile(paths.dataFile(), "not a graph\n");
    ModalAnswerer answerer;
    auto w = Open(paths);
    ASSERT_EQ(answerer.messages.size(), 1);
    EXPECT_EQ(answerer.messages[0],
              "Corrupted data detected in configuration file ( qeltv.dat ). \r\n\r\nqEL TV will "
              "now close. Please restart the application");
    EXPECT_FALSE(std::filesystem::exists(paths.dataFile()));
    Close(w);
    // Nothing was saved on this path.
    EXPECT_FALSE(std::filesystem::exists(paths.userStore()));
    EXPECT_FALSE(std::filesystem::exists(paths.dataFile()));
    // The next start builds from the settings.
    w = Open(paths);
    EXPECT_TRUE(WaitForFrames(*w, 2));
    Close(w);
}

// A saved graph whose card is unplugged is no damage: the preview comes from
// the Preferences choices, the status bar says why, and the file is written
// anew at the close instead of being deleted.
TEST(GraphModes, SavedGraphWithAGoneDevice) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    WriteFile(paths.dataFile(), "qeltv-graph 1\nfilter\tfilterVideoCap\tv4l2:/dev/video77\t"
                                "Gone Card\tPCI:0000:77:00.0\nend\n");
    ModalAnswerer answerer;
    auto w = Open(paths);
    EXPECT_TRUE(answerer.messages.isEmpty()) << answerer.messages.join("; ").toStdString();
    EXPECT_EQ(w->graphMode(), GraphMode::Preview);
    EXPECT_TRUE(WaitForFrames(*w, 2));
    EXPECT_TRUE(w->statusBar()->currentMessage().startsWith("The saved graph was not used: "))
        << w->statusBar()->currentMessage().toStdString();
    EXPECT_TRUE(w->statusBar()->currentMessage().contains("Gone Card"));
    EXPECT_TRUE(std::filesystem::exists(paths.dataFile()));
    Close(w);
    EXPECT_NE(ReadFile(paths.dataFile()).find("virtual:tvcard"), std::string::npos);
    EXPECT_EQ(ReadFile(paths.dataFile()).find("Gone Card"), std::string::npos);
}

TEST(GraphModes, BuildFailureMessage) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    ModalAnswerer answerer;
    auto w = Open(paths);
    // A filter object the build uses as a filter holds none.
    w->graphBuilder().filterAudioCompression.Detach();
    w->btRecClick();
    ASSERT_EQ(answerer.messages.size(), 1);
    EXPECT_EQ(answerer.messages[0].toStdString(),
              std::string(GraphBuilder::kBuildErrorText) +
                  "The filter object filterAudioCompression holds no filter ($80004003).");
    // Nothing is rolled back: the mode keeps its new value.
    EXPECT_EQ(w->graphMode(), GraphMode::Recording);
    Close(w);
}

// A capture folder that cannot be written ends in the build's failure
// message; the program keeps running and previews again afterwards.
TEST(GraphModes, UnwritableCaptureFolder) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    ModalAnswerer answerer;
    auto w = Open(paths);
    w->findChild<QLineEdit*>("edCapFile")->setText(dir.path() + "/missing/folder/rec.avi");
    w->btRecClick();
    ASSERT_EQ(answerer.messages.size(), 1);
    EXPECT_TRUE(answerer.messages[0].startsWith(GraphBuilder::kBuildErrorText))
        << answerer.messages[0].toStdString();
    EXPECT_TRUE(answerer.messages[0].contains("rec.avi")) << answerer.messages[0].toStdString();
    // The stream's own error report then ends the recording: back to the
    // preview, with the reason in the status bar.
    EXPECT_TRUE(QTest::qWaitFor([&] { return w->graphMode() == GraphMode::Preview; }, 5000));
    EXPECT_TRUE(w->statusBar()->currentMessage().startsWith("Recording stopped: "))
        << w->statusBar()->currentMessage().toStdString();
    EXPECT_TRUE(WaitForFrames(*w, 3));
    EXPECT_EQ(answerer.messages.size(), 1);
    Close(w);
}

TEST(GraphModes, FinalNames) {
    const QDateTime t(QDate(2026, 12, 7), QTime(4, 12, 33));
    EXPECT_EQ(GraphBuilder::FinalName("/v/capture.avi", t), "/v/capture_20261207041233.avi");
    EXPECT_EQ(GraphBuilder::FinalName("/v/rec", t), "/v/rec_20261207041233");
    EXPECT_EQ(GraphBuilder::FinalName("/v.d/rec", t), "/v.d/rec_20261207041233");
    EXPECT_EQ(GraphBuilder::FinalName("/v/a.b.avi", t), "/v/a.b_20261207041233.avi");
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qeltv::QelApplication app(argc, argv);
    QApplication::setApplicationDisplayName("qEL TV");
    QApplication::setQuitOnLastWindowClosed(false);
    qeltv::RegisterResources();
    gst_init(nullptr, nullptr);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
