// The graph file: a saved graph loads back into the same graph (same bytes
// when saved again), every kind of damaged file is refused whole, and a V4L2
// device is found again under a new node or reported as not connected.
#include "capture/Devices.h"
#include "capture/GraphPersistence.h"
#include "capture/TunerState.h"
#include "capture/VideoRenderer.h"
#include "capture/VirtualSources.h"
#include "test_graph_support.h"

#include <cstring>
#include <fstream>
#include <linux/videodev2.h>
#include <map>

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

// A compressor starts at its real-time settings, which the file does not
// repeat; a user's change is kept, also back to the element's own default
// (libvpx's best-quality deadline), and wins over ours when loaded.
TEST_F(PersistenceTest, CompressorRealtimeSettingsAndTheUsersChanges) {
    FilterObject vcomp(*graph, "filterVideoCompression");
    vcomp.setMoniker("encoder:vp8enc");
    vcomp.Attach();
    gint64 deadline = 0;
    g_object_get(vcomp.filter().configurable(), "deadline", &deadline, nullptr);
    EXPECT_EQ(deadline, 1); // real time
    const std::string fresh = SerializeGraph(*graph);
    EXPECT_EQ(fresh.find("\tdeadline\t"), std::string::npos) << fresh;
    EXPECT_EQ(fresh.find("\tcpu-used\t"), std::string::npos) << fresh;

    GParamSpec* param =
        g_object_class_find_property(G_OBJECT_GET_CLASS(vcomp.filter().configurable()), "deadline");
    const gint64 elementDefault = G_PARAM_SPEC_INT64(param)->default_value;
    ASSERT_NE(elementDefault, 1);
    g_object_set(vcomp.filter().configurable(), "deadline", elementDefault, "cpu-used", 2, nullptr);
    const std::string saved = SerializeGraph(*graph);
    EXPECT_NE(saved.find("property\tfilterVideoCompression\tdeadline\t"), std::string::npos)
        << saved;
    vcomp.Detach();
    LoadGraph(*graph, saved);
    ASSERT_TRUE(vcomp.Rebind());
    int cpuUsed = 0;
    g_object_get(vcomp.filter().configurable(), "deadline", &deadline, "cpu-used", &cpuUsed,
                 nullptr);
    EXPECT_EQ(deadline, elementDefault);
    EXPECT_EQ(cpuUsed, 2);
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

// Video nodes as the kernel answers VIDIOC_QUERYCAP for them, by path.
class FakeVideoNodes : public V4l2FileLayer {
public:
    struct Device {
        std::string card;
        std::string busInfo;
        std::uint32_t deviceCaps;
    };

    int open(const std::string& path, int& error) override {
        if (devices.count(path) == 0) {
            error = ENOENT;
            return -1;
        }
        opened_.push_back(path);
        return kFirstFd + static_cast<int>(opened_.size()) - 1;
    }
    void close(int) override {}
    int ioctl(int fd, unsigned long request, void* argument) override {
        if (request != VIDIOC_QUERYCAP)
            return ENOTTY;
        const Device& device = devices.at(opened_.at(static_cast<std::size_t>(fd - kFirstFd)));
        auto* capability = static_cast<v4l2_capability*>(argument);
        std::strncpy(reinterpret_cast<char*>(capability->card), device.card.c_str(),
                     sizeof capability->card - 1);
        std::strncpy(reinterpret_cast<char*>(capability->bus_info), device.busInfo.c_str(),
                     sizeof capability->bus_info - 1);
        capability->capabilities = device.deviceCaps | V4L2_CAP_DEVICE_CAPS;
        capability->device_caps = device.deviceCaps;
        return 0;
    }

    std::map<std::string, Device> devices;

private:
    static constexpr int kFirstFd = 20;
    std::vector<std::string> opened_;
};

const FakeVideoNodes::Device kTvCard{"Fake TV Card", "PCI:0000:03:00.0", V4L2_CAP_VIDEO_CAPTURE};
const FakeVideoNodes::Device kTvCardMetadata{"Fake TV Card", "PCI:0000:03:00.0",
                                             V4L2_CAP_META_CAPTURE};
const FakeVideoNodes::Device kWebcam{"Webcam", "usb-0000:00:14.0-1", V4L2_CAP_VIDEO_CAPTURE};

class DeviceIdentityTest : public PersistenceTest {
protected:
    void SetUp() override {
        PersistenceTest::SetUp();
        nodeFolder = path("dev");
        std::filesystem::create_directory(nodeFolder);
        // Only names matter to the search; the fake answers for the nodes.
        for (const char* name : {"video0", "video1", "video3", "video12", "vbi0", "videox"})
            std::ofstream(nodeFolder + "/" + name).flush();
        nodes = std::make_shared<FakeVideoNodes>();
    }
    std::string devicePath(const char* name) const { return nodeFolder + "/" + name; }
    V4l2DeviceFinder finder() const { return V4l2DeviceFinder(nodes, nodeFolder); }

    // The TV card at video3 beside a webcam, as the graph was saved.
    std::string SaveWithTvCardAtVideo3() {
        nodes->devices = {{devicePath("video0"), kWebcam}, {devicePath("video3"), kTvCard}};
        // Bare bins: only the filter lines are of interest here.
        graph->addFilter(
            std::make_shared<Filter>(gst_bin_new(nullptr), "filterAudioCompression", kPcmMoniker));
        graph->addFilter(std::make_shared<Filter>(gst_bin_new(nullptr), "filterVideoCap",
                                                  "v4l2:" + devicePath("video3")));
        return SerializeGraph(*graph, finder());
    }

    std::string nodeFolder;
    std::shared_ptr<FakeVideoNodes> nodes;
};

// Guards restarts after the numbering changed: the saved node now opens the
// webcam, the card's metadata node comes first, and the card is found at
// its capture node. A file without identities still loads by node.
TEST_F(DeviceIdentityTest, SavedDeviceIsFoundUnderItsNewNode) {
    const std::string saved = SaveWithTvCardAtVideo3();
    EXPECT_EQ(saved, "qeltv-graph 1\n"
                     "filter\tfilterAudioCompression\tpcm:\n"
                     "filter\tfilterVideoCap\tv4l2:" +
                         devicePath("video3") +
                         "\tFake TV Card\tPCI:0000:03:00.0\n"
                         "end\n");
    EXPECT_EQ(LocateDevices(saved, finder()), saved);

    nodes->devices = {{devicePath("video0"), kTvCardMetadata},
                      {devicePath("video1"), kWebcam},
                      {devicePath("video3"), kWebcam},
                      {devicePath("video12"), kTvCard}};
    std::string moved = saved;
    moved.replace(moved.find(devicePath("video3")), devicePath("video3").size(),
                  devicePath("video12"));
    EXPECT_EQ(LocateDevices(saved, finder()), moved);

    const std::string oldFile =
        "qeltv-graph 1\nfilter\tfilterVideoCap\tv4l2:" + devicePath("video3") + "\nend\n";
    EXPECT_EQ(LocateDevices(oldFile, finder()), oldFile);
}

// Guards start-up without the card: that is no damaged file (which the
// program deletes), but an error of its own naming the device, and nothing
// of the file is built.
TEST_F(DeviceIdentityTest, GoneDeviceIsReportedApartFromCorruptedData) {
    const std::string saved = SaveWithTvCardAtVideo3();
    graph->Deactivate();
    graph->Activate();
    nodes->devices = {{devicePath("video0"), kWebcam}, {devicePath("video1"), kTvCardMetadata}};
    try {
        LoadGraph(*graph, saved, finder());
        FAIL() << "the load did not notice the missing device";
    } catch (const DeviceMissingError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "graph file line 3: the device Fake TV Card (PCI:0000:03:00.0) of "
                  "filterVideoCap, last at " +
                      devicePath("video3") + ", is not connected ($80070002).");
        EXPECT_EQ(e.status(), status::E_NOTFOUND);
        EXPECT_EQ(e.card(), "Fake TV Card");
        EXPECT_EQ(e.node(), devicePath("video3"));
    }
    EXPECT_TRUE(graph->filters().empty());
    EXPECT_THROW(LocateDevices(saved, finder()), DeviceMissingError);

    // The file loads again once the card is back, under whatever node.
    nodes->devices[devicePath("video12")] = kTvCard;
    EXPECT_NE(LocateDevices(saved, finder()).find("v4l2:" + devicePath("video12") + "\t"),
              std::string::npos);
}

// A file that does not parse stays corrupted data, device or no device.
TEST_F(DeviceIdentityTest, DamagedFilesWithDevicesAreStillCorrupted) {
    const std::string saved = SaveWithTvCardAtVideo3();
    nodes->devices.clear();
    EXPECT_NE(LoadError(saved.substr(0, saved.size() - 2)).find(": the file is truncated"),
              std::string::npos);
    EXPECT_EQ(LoadError("qeltv-graph 1\nfilter\tx\tv4l2:" + devicePath("video3") +
                        "\tFake TV Card\nend\n"),
              "graph file line 2: filter takes 2 fields ($8004022E).");
    EXPECT_EQ(LoadError("qeltv-graph 1\nfilter\tx\tvirtual:tvcard\tFake TV Card\tPCI:1\nend\n"),
              "graph file line 2: only a V4L2 device is identified: x ($8004022E).");
    EXPECT_EQ(LoadError("qeltv-graph 1\nfilter\tx\tv4l2:" + devicePath("video3") +
                        "\tFake\\q\tPCI:1\nend\n"),
              "graph file line 2: a field has a bad escape ($8004022E).");
}

} // namespace
} // namespace qeltv
