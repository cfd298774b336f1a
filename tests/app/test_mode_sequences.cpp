// The graph modes one after another as a user goes through them, on the
// Virtual TV Card with the real capture graph: whatever mode came before,
// the preview shows pictures, the webcast encodes picture and sound, and
// every recording is a file with a video and an audio stream whose frames
// decode.
#include "app/session/Commands.h"
#include "app/session/TvSession.h"
#include "capture/GstRef.h"
#include "tests/app/FreePort.h"
#include "tests/app/GuiTest.h"
#include "tests/app/SessionSupport.h"
#include "tests/support/RecordingCheck.h"

#include <QTest>

#include <atomic>
#include <cmath>
#include <set>

using namespace qeltv;
using namespace qeltv::test;

namespace {

constexpr int kStreamWait_ms = 60000;
constexpr long kAuroraChannel = 14; // E5 on the cable plan, 175.25 MHz
// How much of each recording is waited for, by the stream's own time.
constexpr double kRecorded_s = 2.0;

// Counts the buffers and adds up the time that pass the sink pads of an
// element of the graph (the AVI mux, the webcast writer), by kind.
class StreamsInto {
public:
    StreamsInto(GstElement* element) {
        const auto it = GstOwned<GstIterator>::adopt(gst_element_iterate_sink_pads(element));
        GstOwnedValue item;
        while (gst_iterator_next(it.get(), item.get()) == GST_ITERATOR_OK) {
            auto* pad = GST_PAD(g_value_get_object(item.get()));
            const std::string name = GST_PAD_NAME(pad);
            Counter* counter = nullptr;
            if (g_ascii_strncasecmp(name.c_str(), "video", 5) == 0)
                counter = &video_;
            else if (g_ascii_strncasecmp(name.c_str(), "audio", 5) == 0)
                counter = &audio_;
            if (counter)
                probes_.push_back(GstOwnedPadProbe::add(pad, GST_PAD_PROBE_TYPE_BUFFER,
                                                        &StreamsInto::Count, counter));
            g_value_reset(item.get());
        }
    }
    // The probes go before the counters they add to.
    ~StreamsInto() { probes_.clear(); }
    StreamsInto(const StreamsInto&) = delete;
    StreamsInto& operator=(const StreamsInto&) = delete;

    long videoBuffers() const { return video_.buffers; }
    long audioBuffers() const { return audio_.buffers; }
    double audioSeconds() const { return double(audio_.duration_ns) / GST_SECOND; }

private:
    struct Counter {
        std::atomic<long> buffers{0};
        std::atomic<guint64> duration_ns{0};
    };
    static GstPadProbeReturn Count(GstPad*, GstPadProbeInfo* info, gpointer data) {
        auto* counter = static_cast<Counter*>(data);
        ++counter->buffers;
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        if (GST_BUFFER_DURATION_IS_VALID(buffer))
            counter->duration_ns += GST_BUFFER_DURATION(buffer);
        return GST_PAD_PROBE_OK;
    }
    Counter video_, audio_;
    std::vector<GstOwnedPadProbe> probes_;
};

GstElement* Element(TvSession& session, const char* name) {
    Filter* filter = session.graphBuilder().graph().FindFilterByName(name);
    return filter ? filter->element() : nullptr;
}

void Post(Command command) {
    QCoreApplication::postEvent(QCoreApplication::instance(), new CommandEvent(command));
    QCoreApplication::processEvents();
}

std::set<std::filesystem::path> Recordings(const Paths& paths) {
    std::set<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(paths.videosDir))
        if (e.path().filename() != "capture.avi")
            files.insert(e.path());
    return files;
}

enum class Step { Preview, Record, Webcast };

const char* StepName(Step step) {
    switch (step) {
    case Step::Preview:
        return "preview";
    case Step::Record:
        return "record";
    case Step::Webcast:
        return "webcast";
    }
    return "";
}

} // namespace

// Every transition a user can make between the modes, and each mode entered
// after each other one: the relayed start-recording of a running webcast,
// two recordings in a row, a preview rebuilt in place. Each step checks its
// own mode's output; a recording is stopped and its file decoded before the
// next step.
TEST(ModeSequences, EveryModeWorksWhateverCameBefore) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    FakeView view;
    TvSession session(paths, nullptr, view);
    view.session = &session;
    session.start(std::nullopt);
    ASSERT_TRUE(view.errors.isEmpty()) << view.errors.join("; ").toStdString();
    // A station, so that every recording has a picture and a tone to find:
    // a relayed recording of it leaves the preview on it.
    Post({CommandKind::StartRec, kAuroraChannel});
    ASSERT_EQ(session.graphMode(), GraphMode::Recording);
    Post({CommandKind::StopRec, 0});
    ASSERT_EQ(session.graphMode(), GraphMode::Preview);
    ASSERT_EQ(session.currentChannel(), kAuroraChannel);
    WebOptions options = session.webcast().options();
    options.webcastPort = FreePort();
    session.webcast().setOptions(options);

    // From the start-up preview: every ordered pair of the three modes,
    // preview to preview being a rebuild.
    const std::vector<Step> steps = {Step::Record,  Step::Webcast, Step::Record,  Step::Record,
                                     Step::Preview, Step::Webcast, Step::Preview, Step::Preview,
                                     Step::Record,  Step::Preview, Step::Webcast, Step::Webcast,
                                     Step::Record};
    std::string done = "preview";
    for (const Step step : steps) {
        done += std::string(" > ") + StepName(step);
        SCOPED_TRACE(done);
        // A webcast being left ends as a user ends it (a recording ended
        // within its own step); a relayed start-recording ends it itself.
        const bool fromWebcast = session.graphMode() == GraphMode::Webcast;
        if (fromWebcast && step != Step::Record) {
            Post({CommandKind::StopWebcast, 0});
            ASSERT_EQ(session.graphMode(), GraphMode::Preview);
        }
        const auto recordingsBefore = Recordings(paths);
        switch (step) {
        case Step::Preview: {
            if (!fromWebcast)
                session.BuildGraph(GraphMode::Preview);
            ASSERT_EQ(session.graphMode(), GraphMode::Preview);
            std::atomic<int> frames{0};
            QObject::connect(&session.graphBuilder().VideoWindow, &VideoRenderer::frameReady,
                             &session, [&] {
                                 if (session.graphBuilder().VideoWindow.takeSample())
                                     ++frames;
                             });
            EXPECT_TRUE(QTest::qWaitFor([&] { return frames >= 5; }, kStreamWait_ms))
                << "the preview shows no pictures";
            QObject::disconnect(&session.graphBuilder().VideoWindow, &VideoRenderer::frameReady,
                                &session, nullptr);
            break;
        }
        case Step::Webcast: {
            Post({CommandKind::StartWebcast, 0});
            ASSERT_EQ(session.graphMode(), GraphMode::Webcast);
            GstElement* writer = Element(session, "ASFWriter");
            ASSERT_NE(writer, nullptr);
            StreamsInto into(writer);
            EXPECT_TRUE(QTest::qWaitFor(
                [&] { return into.videoBuffers() >= 10 && into.audioBuffers() >= 10; },
                kStreamWait_ms))
                << "the webcast writer got " << into.videoBuffers() << " frames and "
                << into.audioBuffers() << " sound buffers";
            break;
        }
        case Step::Record: {
            if (fromWebcast)
                Post({CommandKind::StartRec, kAuroraChannel}); // a relayed start ends the webcast
            else
                session.record(); // the Record button
            ASSERT_EQ(session.graphMode(), GraphMode::Recording);
            GstElement* mux = Element(session, "filterAVIMux");
            ASSERT_NE(mux, nullptr);
            double recorded_s = 0;
            {
                StreamsInto into(mux);
                EXPECT_TRUE(QTest::qWaitFor([&] { return into.audioSeconds() >= kRecorded_s; },
                                            kStreamWait_ms));
                EXPECT_GT(into.videoBuffers(), 0) << "no picture reaches the recording";
                // A relayed start ends with a relayed stop, a button start
                // with the Stop button.
                if (fromWebcast)
                    Post({CommandKind::StopRec, 0});
                else
                    session.stop();
                recorded_s = into.audioSeconds();
            }
            ASSERT_EQ(session.graphMode(), GraphMode::Preview);
            const auto after = Recordings(paths);
            ASSERT_EQ(after.size(), recordingsBefore.size() + 1);
            std::filesystem::path file;
            for (const auto& f : after)
                if (!recordingsBefore.count(f))
                    file = f;
            // Picture and sound, every frame decoding, for the time recorded.
            const test::RecordingCheck check = test::CheckRecording(file, recorded_s);
            EXPECT_EQ(check.problems, "") << check.summary;
            break;
        }
        }
    }
    EXPECT_TRUE(view.boxes.isEmpty()) << view.boxes.join("; ").toStdString();
    session.shutdown();
}

QELTV_GUI_TEST_MAIN()
