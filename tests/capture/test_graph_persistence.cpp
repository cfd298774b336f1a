// The graph file: a saved graph loads back into the same graph (same bytes
// when saved again), and every kind of damaged file is refused whole.
#include "capture/Devices.h"
#include "capture/GraphPersistence.h"
#include "capture/TunerState.h"
#include "capture/VideoRenderer.h"
#include "capture/VirtualSources.h"
#include "test_graph_support.h"

#include <fstream>

namespace qeltv {
namespace {

using test::GraphTest;
using test::RecordingObjects;

class PersistenceTest : public GraphTest {
protected:
    // The recording graph of the main window plus the preview renderer.
    std::string BuildAndSave() {
        RecordingObjects objects(*graph);
        auto& [vcap, acap, vcomp, acomp, mux, out, null] = objects;
        g_object_set(vcomp.filter().configurable(), "quality", 50, nullptr);
        FilterGraph::FindPinByName(vcap.filter(), "Capture")
            ->SetFormat(VideoFormat(subtype::RGB24, 320, 240, 400000));
        FilterGraph::FindPinByName(acomp.filter(), "Output")->SetFormat(PcmFormat(22050, 8, 1));
        FilterGraph::FindPinByName(acap.filter(), "Line")->put_Enable(true);
        TvTuner* tuner = graph->FindTuner(vcap.filter());
        tuner->put_CountryCode(31);
        tuner->put_Channel(5, kSubChannelDefault, kSubChannelDefault);
        graph->FindCrossbar(vcap.filter())->Route(0, 1); // composite video
        graph->RenderStream(PinCategory::Capture, MediaKind::Video, &vcap.filter(), &vcomp.filter(),
                            &mux.filter());
        graph->RenderStream(PinCategory::Capture, MediaKind::Audio, &acap.filter(), &acomp.filter(),
                            &mux.filter());
        graph->RenderStream(PinCategory::None, MediaKind::Any, &mux.filter(), nullptr,
                            &out.filter());
        out.filter().SetFileName(path("capture.avi"));
        return SerializeGraph(*graph);
    }

    // Loads text into a fresh graph and returns the error text, or "" when
    // it loaded; a refused file leaves no filter behind.
    std::string LoadError(const std::string& text) {
        graph->Deactivate();
        graph->Activate();
        try {
            LoadGraph(*graph, text);
        } catch (const CaptureError& e) {
            EXPECT_EQ(e.status(), status::VFW_E_INVALID_FILE_FORMAT) << e.what();
            EXPECT_TRUE(graph->filters().empty()) << e.what();
            return e.what();
        }
        return "";
    }
};

TEST_F(PersistenceTest, SaveLoadSaveGivesTheSameBytes) {
    const std::string saved = BuildAndSave();
    EXPECT_EQ(saved.rfind("qeltv-graph 1\nfilter\tfilterVideoCap\tvirtual:tvcard\n", 0), 0u)
        << saved;
    EXPECT_NE(saved.find("format\tfilterVideoCap\tCapture\tvideo/x-raw, format=(string)BGR, "
                         "width=(int)320, height=(int)240, framerate=(fraction)25/1\n"),
              std::string::npos)
        << saved;
    EXPECT_NE(saved.find("property\tfilterVideoCompression\tquality\t50\n"), std::string::npos);
    EXPECT_NE(saved.find("mixer\tfilterAudioCap\tLine\t1\n"), std::string::npos);
    EXPECT_NE(saved.find("crossbar\tfilterVideoCap\t0\t1\n"), std::string::npos);
    EXPECT_NE(saved.find("link\tfilterAVIMux\tsrc\tfilterAVIOut\tsink\n"), std::string::npos);
    EXPECT_NE(saved.find("property\tfilterAVIOut\tlocation\t" + path("capture.avi") + "\n"),
              std::string::npos);
    const std::size_t tunerLine = saved.find("tuner\tfilterVideoCap\t31\t31\t1\t0\t5\t");
    EXPECT_NE(tunerLine, std::string::npos) << saved;
    EXPECT_EQ(saved.substr(saved.size() - 4), "end\n");

    // Change the card, then load: the file's state comes back.
    card.route(0, 0);
    card.setLineEnabled(1, false);
    EXPECT_EQ(LoadError(saved), "");
    EXPECT_EQ(card.routedTo(0), 1);
    EXPECT_TRUE(card.lineEnabled(1));
    EXPECT_EQ(SerializeGraph(*graph), saved);

    {
        // Filter objects take the loaded filters over by name.
        FilterObject vcap(*graph, "filterVideoCap");
        ASSERT_TRUE(vcap.Rebind());
        EXPECT_EQ(vcap.moniker(), "virtual:tvcard");
        auto* state = dynamic_cast<TunerStatePersistence*>(graph->FindTuner(vcap.filter()));
        ASSERT_NE(state, nullptr);
        EXPECT_EQ(state->state().channel, 5);
        graph->RemoveUnownedFilters();
        EXPECT_EQ(graph->filters().size(), 1u);
    }

    // The file helpers write and read the same text.
    EXPECT_EQ(LoadError(saved), "");
    SaveGraphFile(*graph, path("qeltv.dat"));
    graph->Deactivate();
    graph->Activate();
    LoadGraphFile(*graph, path("qeltv.dat"));
    EXPECT_EQ(SerializeGraph(*graph), saved);
}

TEST_F(PersistenceTest, VideoWindowRebindsToItsLoadedRenderer) {
    VideoRenderer window(*graph);
    window.Attach();
    const std::string saved = SerializeGraph(*graph);
    EXPECT_EQ(saved, "qeltv-graph 1\nfilter\tVideoWindow\tqeltv:videorenderer\nend\n");
    window.Detach();
    LoadGraph(*graph, saved);
    ASSERT_TRUE(window.Rebind());
    EXPECT_TRUE(window.attached());
    EXPECT_EQ(dynamic_cast<VideoRendererFilter*>(&window.filter()) != nullptr, true);
}

// Each damaged file is refused with the line it failed on.
TEST_F(PersistenceTest, DamagedFilesAreRefused) {
    const std::string saved = BuildAndSave();
    EXPECT_EQ(LoadError(""), "graph file line 1: the file is empty ($8004022E).");
    EXPECT_EQ(LoadError("\x7f"
                        "ELF garbage\n"),
              "graph file line 1: not a graph file ($8004022E).");
    EXPECT_EQ(LoadError("qeltv-graph 2\nend\n"),
              "graph file line 1: unknown version 2 ($8004022E).");
    EXPECT_NE(LoadError(saved.substr(0, saved.size() / 2)).find(": the file is truncated"),
              std::string::npos);
    EXPECT_EQ(LoadError("qeltv-graph 1\nfilter\tx\tvirtual:tvcard\n"),
              "graph file line 2: the file is truncated (no end line) ($8004022E).");
    EXPECT_EQ(LoadError("qeltv-graph 1\nfilter\tx\tvirtual:tvcard\nlink\tx\tCapture\n"),
              "graph file line 3: the file is truncated (no end line) ($8004022E).");
    EXPECT_EQ(LoadError("qeltv-graph 1\nfilter\tx\tvirtual:tvcard\nbogus\nend\n"),
              "graph file line 3: unknown entry bogus ($8004022E).");
    EXPECT_EQ(LoadError("qeltv-graph 1\nfilter\tx\tnothing:here\nend\n"),
              "graph file line 2: cannot create x: x: no device has the moniker nothing:here "
              "($80070002). ($8004022E).");
    EXPECT_EQ(LoadError("qeltv-graph 1\nfilter\tx\tvirtual:tvcard\nfilter\tx\tpcm:\nend\n"),
              "graph file line 3: a filter named x is already in the graph ($8004022E).");
    EXPECT_EQ(LoadError("qeltv-graph 1\nfilter\ta\tpcm:\nfilter\tb\tpcm:\n"
                        "link\ta\tOutput\tb\tNoSuchPin\nend\n"),
              "graph file line 4: the filter b has no pin NoSuchPin ($8004022E).");
    EXPECT_EQ(
        LoadError("qeltv-graph 1\nfilter\ta\tvirtual:tvcard\nfilter\tb\tvirtual:tvcard-audio\n"
                  "link\ta\tCapture\tb\tTuner\nend\n"),
        "graph file line 4: cannot link a.Capture to b.Tuner ($8004022E).");
    EXPECT_EQ(LoadError("qeltv-graph 1\nfilter\ta\tencoder:jpegenc\n"
                        "property\ta\tquality\tloud\nend\n"),
              "graph file line 3: bad value for quality: loud ($8004022E).");
    EXPECT_EQ(LoadError("qeltv-graph 1\nfilter\ta\tvirtual:tvcard\n"
                        "format\ta\tCapture\tvideo/x-raw, width=(int)9999\nend\n"),
              "graph file line 3: the pin Capture refuses the format video/x-raw, "
              "width=(int)9999 ($8004022E).");
    EXPECT_EQ(LoadError("qeltv-graph 1\nfilter\ta\tvirtual:tvcard\n"
                        "tuner\ta\t31\t31\t1\t0\tfive\t0\nend\n"),
              "graph file line 3: not a number: five ($8004022E).");
    EXPECT_EQ(LoadError("qeltv-graph 1\nfilter\ta\\q\tpcm:\nend\n"),
              "graph file line 2: a field has a bad escape ($8004022E).");
    EXPECT_EQ(LoadError("qeltv-graph 1\nfilter\ta\nend\n"),
              "graph file line 2: filter takes 2 fields ($8004022E).");
    // The intact file still loads after all that.
    EXPECT_EQ(LoadError(saved), "");
}

TEST_F(PersistenceTest, MissingFileIsNotFound) {
    try {
        LoadGraphFile(*graph, path("absent.dat"));
        FAIL();
    } catch (const CaptureError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "open " + path("absent.dat") + ": No such file or directory ($80070002).");
    }
}

} // namespace
} // namespace qeltv
