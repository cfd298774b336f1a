// The graph in its modes on the Virtual TV Card, driven through the session
// core in this process: preview, recording to a finished AVI file, the
// saved graph and its corrupted-data path.
#include "app/Resources.h"
#include "capture/GraphBuilder.h"
#include "capture/GstRef.h"
#include "tests/app/GuiTest.h"
#include "tests/app/SessionSupport.h"
#include "tests/settings/TempDir.h"
#include "tests/support/RecordingCheck.h"

#include <QTest>
#include <gst/pbutils/pbutils.h>

using namespace qeltv;
using namespace qeltv::test;

namespace {
constexpr long kAuroraChannel = 14; // E5 on the cable plan, 175.25 MHz
constexpr std::uint32_t kAurora_hz = 175'250'000;

// The session as the program runs it, with the preview's frames counted.
struct Core {
    FakeView view;
    std::unique_ptr<TvSession> session;
    std::unique_ptr<FrameCounter> shown;

    explicit Core(const Paths& paths) {
        session = std::make_unique<TvSession>(paths, nullptr, view);
        view.session = session.get();
        shown = std::make_unique<FrameCounter>(*session);
        session->start(std::nullopt);
    }
    ~Core() { close(); }
    // The program's close.
    void close() {
        if (!session)
            return;
        shown.reset();
        session->shutdown();
        session.reset();
    }
    TvSession* operator->() { return session.get(); }
    // What the person at the screen was shown in message boxes and by the
    // error handler.
    QStringList messages() const { return view.boxes + view.errors; }
};

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
    Core core(paths);
    EXPECT_TRUE(core.messages().isEmpty()) << core.messages().join("\n").toStdString();
    EXPECT_EQ(core->graphMode(), GraphMode::Preview);
    EXPECT_EQ(core->preferences().videoCaptureDevices().selectedText(), "Virtual TV Card");
    ASSERT_NE(core->graphBuilder().tuner(), nullptr);
    EXPECT_EQ(core->virtualCard().frequency(), kAurora_hz);
    EXPECT_EQ(core.view.lastStatus(),
              "Major Type: Video - Sub Type: YUY2 Format: VideoInfo YUY2 640X480, 16 bits");
    EXPECT_FALSE(std::filesystem::exists(paths.defaultCaptureFile()));
    ASSERT_TRUE(core.shown->waitFor(5));
    // The caption is the quick-channel text (empty here: no channels).
    ASSERT_FALSE(core.view.osd.isEmpty());
    EXPECT_EQ(core.view.osd.back(), "");

    // Stop freezes the picture, Play runs it again. Once the graph has
    // stopped no streaming thread is left, so after the frames already
    // handed over are taken, no more may come.
    core->stop();
    ASSERT_EQ(core->graphBuilder().graph().state(), GST_STATE_NULL);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    const int frozen = core.shown->frames();
    QTest::qWait(400);
    EXPECT_EQ(core.shown->frames(), frozen);
    core->play();
    EXPECT_TRUE(core.shown->waitFor(3));
}

TEST(GraphModes, RecordingEndsInAFinishedFileUnderItsFinalName) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    StoreCurrentChannel(paths, kAuroraChannel); // a station: picture and tone
    Core core(paths);
    ASSERT_TRUE(core.shown->waitFor(2));
    core->record();
    ASSERT_EQ(core->graphMode(), GraphMode::Recording);
    EXPECT_EQ(core.view.lastCaption(), "Recording in progress...");
    EXPECT_FALSE(core.view.videoVisible);
    const QDateTime start = core->graphBuilder().recordingStart();
    double recorded_s = 0;
    {
        MuxedVideo muxed(core->graphBuilder().graph().pipeline());
        ASSERT_TRUE(muxed.found());
        ASSERT_TRUE(QTest::qWaitFor([&] { return muxed.seconds() >= 3.0; }, kStreamWait_ms));
        EXPECT_TRUE(std::filesystem::exists(paths.defaultCaptureFile()));
        core->stop();
        recorded_s = muxed.seconds();
    }
    EXPECT_EQ(core->graphMode(), GraphMode::Preview);
    EXPECT_TRUE(core.messages().isEmpty()) << core.messages().join("\n").toStdString();
    const auto expected =
        paths.videosDir / ("capture_" + start.toString("yyyyMMddHHmmss").toStdString() + ".avi");
    EXPECT_EQ(core->graphBuilder().lastRecording(), expected);
    ASSERT_TRUE(std::filesystem::exists(expected));
    const Discovered d = Discover(expected);
    // Everything that reached the mux up to the end of stream is in the file.
    EXPECT_GE(d.seconds, recorded_s - 0.05);
    EXPECT_LE(d.seconds, recorded_s + kMissedAtStart_s);
    const RecordingCheck check = CheckRecording(expected, recorded_s);
    EXPECT_EQ(check.problems, "") << check.summary;
    EXPECT_TRUE(core.shown->waitFor(3)); // the preview runs again

    // A working file deleted while it is written (the writer keeps writing
    // to what is no longer in the folder): Stop has no file to keep and
    // only rebuilds the preview.
    core->record();
    ASSERT_EQ(core->graphMode(), GraphMode::Recording);
    ASSERT_TRUE(std::filesystem::remove(paths.defaultCaptureFile()));
    core->stop();
    EXPECT_EQ(core->graphMode(), GraphMode::Preview);
    EXPECT_EQ(Recordings(paths).size(), 1u);
}

// Closing while recording leaves a finished file; the next start restores
// the saved graph with the tuner on the saved channel and the crossbar
// routing kept.
TEST(GraphModes, CloseWhileRecordingAndRestore) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    StoreCurrentChannel(paths, kAuroraChannel);
    auto core = std::make_unique<Core>(paths);
    // Audio from the line input instead of the tuner, chosen in the
    // crossbar's dialog: a routing the next start must keep.
    bool dialogShown = false;
    core->view.onCrossbar = [&](Crossbar& crossbar) {
        dialogShown = true;
        EXPECT_TRUE(Succeeded(crossbar.Route(1, 4)));
    };
    (*core)->preferences().configureCrossbar();
    ASSERT_TRUE(dialogShown);
    (*core)->record();
    {
        MuxedVideo muxed((*core)->graphBuilder().graph().pipeline());
        ASSERT_TRUE(muxed.found());
        ASSERT_TRUE(QTest::qWaitFor([&] { return muxed.seconds() >= 1.0; }, kStreamWait_ms));
        core->close();
    }
    ASSERT_EQ(Recordings(paths).size(), 1u);
    EXPECT_GE(Discover(Recordings(paths)[0]).seconds, 1.0 - 0.05);
    ASSERT_TRUE(std::filesystem::exists(paths.dataFile()));

    core = std::make_unique<Core>(paths);
    EXPECT_TRUE(core->messages().isEmpty()) << core->messages().join("\n").toStdString();
    EXPECT_EQ((*core)->virtualCard().frequency(), kAurora_hz);
    long routed = -1;
    ASSERT_NE((*core)->graphBuilder().crossbar(), nullptr);
    (*core)->graphBuilder().crossbar()->get_IsRoutedTo(1, routed);
    EXPECT_EQ(routed, 4);
    EXPECT_TRUE(core->shown->waitFor(3));
}

TEST(GraphModes, CorruptedDataFile) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    WriteFile(paths.dataFile(), "not a graph\n");
    auto core = std::make_unique<Core>(paths);
    ASSERT_EQ(core->messages().size(), 1);
    EXPECT_EQ(core->messages()[0],
              "Corrupted data detected in configuration file ( qeltv.dat ). \r\n\r\nqEL TV will "
              "now close. Please restart the application");
    EXPECT_EQ(core->view.ended, 1);
    EXPECT_FALSE(std::filesystem::exists(paths.dataFile()));
    core->close();
    // Nothing was saved on this path.
    EXPECT_FALSE(std::filesystem::exists(paths.userStore()));
    EXPECT_FALSE(std::filesystem::exists(paths.dataFile()));
    // The next start builds from the settings.
    core = std::make_unique<Core>(paths);
    EXPECT_TRUE(core->shown->waitFor(2));
}

// A saved graph whose card is unplugged is no damage: the preview comes from
// the Preferences choices, the status bar says why, and the file is written
// anew at the close instead of being deleted.
TEST(GraphModes, SavedGraphWithAGoneDevice) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    WriteFile(paths.dataFile(), "qeltv-graph 1\nfilter\tfilterVideoCap\tv4l2:/dev/video77\t"
                                "Gone Card\tPCI:0000:77:00.0\nend\n");
    Core core(paths);
    EXPECT_TRUE(core.messages().isEmpty()) << core.messages().join("; ").toStdString();
    EXPECT_EQ(core->graphMode(), GraphMode::Preview);
    EXPECT_TRUE(core.shown->waitFor(2));
    EXPECT_TRUE(core.view.lastStatus().startsWith("The saved graph was not used: "))
        << core.view.lastStatus().toStdString();
    EXPECT_TRUE(core.view.lastStatus().contains("Gone Card"));
    EXPECT_TRUE(std::filesystem::exists(paths.dataFile()));
    core.close();
    EXPECT_NE(ReadFile(paths.dataFile()).find("virtual:tvcard"), std::string::npos);
    EXPECT_EQ(ReadFile(paths.dataFile()).find("Gone Card"), std::string::npos);
}

TEST(GraphModes, BuildFailureMessage) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    Core core(paths);
    // A filter object the build uses as a filter holds none.
    core->graphBuilder().filterAudioCompression.Detach();
    core->record();
    ASSERT_EQ(core.messages().size(), 1);
    EXPECT_EQ(core.messages()[0].toStdString(),
              std::string(GraphBuilder::kBuildErrorText) +
                  "The filter object filterAudioCompression holds no filter ($80004003).");
    // Nothing is rolled back: the mode keeps its new value.
    EXPECT_EQ(core->graphMode(), GraphMode::Recording);
}

// A capture folder that cannot be written ends in the build's failure
// message; the program keeps running and previews again afterwards.
TEST(GraphModes, UnwritableCaptureFolder) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    Core core(paths);
    core->setCaptureFile(dir.path() + "/missing/folder/rec.avi");
    core->record();
    ASSERT_EQ(core.messages().size(), 1);
    EXPECT_TRUE(core.messages()[0].startsWith(GraphBuilder::kBuildErrorText))
        << core.messages()[0].toStdString();
    EXPECT_TRUE(core.messages()[0].contains("rec.avi")) << core.messages()[0].toStdString();
    // The stream's own error report then ends the recording: back to the
    // preview, with the reason in the status bar.
    EXPECT_TRUE(QTest::qWaitFor([&] { return core->graphMode() == GraphMode::Preview; }, 5000));
    EXPECT_TRUE(core.view.lastStatus().startsWith("Recording stopped: "))
        << core.view.lastStatus().toStdString();
    EXPECT_TRUE(core.shown->waitFor(3));
    EXPECT_EQ(core.messages().size(), 1);
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
