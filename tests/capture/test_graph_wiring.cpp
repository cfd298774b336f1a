// Wiring the graph as the main window does: attach and detach, clearing,
// preview into the renderer, recording into an AVI file, and failures.
#include "capture/Devices.h"
#include "capture/VirtualSources.h"
#include "test_graph_support.h"

#include <gst/pbutils/pbutils.h>

#include <filesystem>

namespace qeltv {
namespace {

using test::GraphTest;
using test::RecordingObjects;
using test::WaitUntil;

constexpr GstClockTime kRecorded_ns = 2 * GST_SECOND;
constexpr GstClockTime kOneFrame_ns = 40 * GST_MSECOND;

std::vector<std::string> FilterNames(const FilterGraph& graph) {
    std::vector<std::string> names;
    for (Filter* f : graph.filters())
        names.push_back(f->name());
    return names;
}

TEST_F(GraphTest, ActivationNamesThePipelineAndReattachesObjects) {
    FilterObject cap(*graph, "filterVideoCap");
    cap.setMoniker(kVirtualCardMoniker);
    cap.Attach();
    char expected[96];
    std::snprintf(expected, sizeof expected, "FilterGraph %p pid %x",
                  static_cast<void*>(graph.get()), static_cast<unsigned>(getpid()));
    EXPECT_EQ(graph->graphName(), expected);
    EXPECT_EQ(std::string(GST_OBJECT_NAME(graph->pipeline())), expected);
    // Held here so that the new pipeline cannot reuse its address.
    GstElement* first = GST_ELEMENT(gst_object_ref(graph->pipeline()));
    graph->Deactivate();
    EXPECT_FALSE(cap.hasFilter());
    // The old pipeline was emptied and stopped.
    EXPECT_EQ(GST_BIN_NUMCHILDREN(first), 0);
    EXPECT_EQ(GST_STATE(first), GST_STATE_NULL);
    graph->Activate();
    ASSERT_NE(graph->pipeline(), nullptr);
    EXPECT_NE(graph->pipeline(), first);
    EXPECT_EQ(std::string(GST_OBJECT_NAME(graph->pipeline())), expected);
    gst_object_unref(first);
    EXPECT_TRUE(cap.hasFilter());
    EXPECT_EQ(FilterNames(*graph), std::vector<std::string>{"filterVideoCap"});
    EXPECT_EQ(cap.filter().QueryFilterInfo(), "filterVideoCap");
}

TEST_F(GraphTest, DetachedObjectHoldsNoFilter) {
    FilterObject compressor(*graph, "filterVideoCompression");
    compressor.setMoniker("encoder:jpegenc");
    compressor.Attach();
    ASSERT_TRUE(compressor.hasFilter());
    compressor.Detach();
    EXPECT_TRUE(FilterNames(*graph).empty());
    try {
        compressor.filter();
        FAIL() << "a detached object was used as a filter";
    } catch (const CaptureError& e) {
        EXPECT_STREQ(e.what(),
                     "The filter object filterVideoCompression holds no filter ($80004003).");
        EXPECT_EQ(e.status(), status::E_POINTER);
    }
}

TEST_F(GraphTest, UnknownMonikersAndMissingDevicesAreCaptureErrors) {
    FilterObject bad(*graph, "filterVideoCap");
    bad.setMoniker("nonsense:device");
    try {
        bad.Attach();
        FAIL();
    } catch (const CaptureError& e) {
        EXPECT_STREQ(e.what(),
                     "filterVideoCap: no device has the moniker nonsense:device ($80070002).");
    }
    EXPECT_FALSE(bad.attached());
    bad.setMoniker("v4l2:/dev/video-qeltv-missing");
    try {
        bad.Attach();
        FAIL();
    } catch (const CaptureError& e) {
        EXPECT_STREQ(e.what(),
                     "open /dev/video-qeltv-missing: the device cannot be opened ($80070002).");
    }
    // Two filters may not share a name.
    FilterObject a(*graph, "same"), b(*graph, "same");
    a.setMoniker(kNullRendererMoniker);
    b.setMoniker(kNullRendererMoniker);
    a.Attach();
    EXPECT_THROW(b.Attach(), CaptureError);
}

TEST_F(GraphTest, ClearKeepsOnlyTheAttachedObjectsFilters) {
    FilterObject cap(*graph, "filterVideoCap"), mux(*graph, "filterAVIMux"),
        out(*graph, "filterAVIOut"), null(*graph, "filterNull");
    cap.setMoniker(kVirtualCardMoniker);
    mux.setMoniker(kAviMuxMoniker);
    out.setMoniker(kFileWriterMoniker);
    null.setMoniker(kNullRendererMoniker);
    for (FilterObject* o : {&cap, &mux, &out, &null})
        o->Attach();
    ASSERT_EQ(graph->RenderStream(PinCategory::Capture, MediaKind::Video, &cap.filter(), nullptr,
                                  &mux.filter()),
              status::S_OK);
    ASSERT_EQ(graph->RenderStream(PinCategory::None, MediaKind::Any, &mux.filter(), nullptr,
                                  &out.filter()),
              status::S_OK);
    // A queue was inserted after the capture pin; the mux feeds the writer directly.
    EXPECT_EQ(FilterNames(*graph),
              (std::vector<std::string>{"filterVideoCap", "filterAVIMux", "filterAVIOut",
                                        "filterNull", "queue0"}));
    EXPECT_TRUE(FilterGraph::FindPinByName(cap.filter(), "capture")->IsConnected());
    EXPECT_NE(FilterGraph::FindPinByName(mux.filter(), "video_0"), nullptr);

    graph->DisconnectAll();
    EXPECT_FALSE(FilterGraph::FindPinByName(cap.filter(), "capture")->IsConnected());
    // The mux gives back the input it was asked for.
    EXPECT_EQ(FilterGraph::FindPinByName(mux.filter(), "video_0"), nullptr);
    graph->RemoveUnownedFilters();
    EXPECT_EQ(FilterNames(*graph), (std::vector<std::string>{"filterVideoCap", "filterAVIMux",
                                                             "filterAVIOut", "filterNull"}));
    EXPECT_EQ(graph->FindFilterByName("filterAVIMux"), &mux.filter());
    EXPECT_EQ(graph->FindFilterByName("queue0"), nullptr);
    EXPECT_NE(graph->FindTuner(cap.filter()), nullptr);
    EXPECT_NE(graph->FindCrossbar(cap.filter()), nullptr);
    EXPECT_EQ(graph->FindTuner(mux.filter()), nullptr);
}

TEST_F(GraphTest, RecordingWritesAnIndexedAviWithBothStreams) {
    RecordingObjects objects(*graph);
    auto& [vcap, acap, vcomp, acomp, mux, out, null] = objects;
    card.tune(VirtualTvCard::stations()[0].frequency_hz);
    ASSERT_EQ(FilterGraph::FindPinByName(vcap.filter(), "Capture")
                  ->SetFormat(VideoFormat(subtype::YUY2, 320, 240, 400000)),
              status::S_OK);
    ASSERT_EQ(graph->RenderStream(PinCategory::Capture, MediaKind::Video, &vcap.filter(),
                                  &vcomp.filter(), &mux.filter()),
              status::S_OK);
    ASSERT_EQ(graph->RenderStream(PinCategory::Capture, MediaKind::Audio, &acap.filter(),
                                  &acomp.filter(), &mux.filter()),
              status::S_OK);
    ASSERT_EQ(graph->RenderStream(PinCategory::None, MediaKind::Any, &mux.filter(), nullptr,
                                  &out.filter()),
              status::S_OK);
    const std::string file = path("capture.avi");
    ASSERT_EQ(out.filter().SetFileName(file), status::S_OK);
    QString error;
    QObject::connect(graph.get(), &FilterGraph::streamError,
                     [&](const QString& message) { error = message; });
    GstClockTime streamed_ns = 0;
    {
        test::StreamedTime video(FilterGraph::FindPinByName(vcap.filter(), "Capture")->pad());
        graph->Run();
        ASSERT_TRUE(video.waitFor(kRecorded_ns));
        EXPECT_TRUE(graph->StopAfterEndOfStream(test::kEndOfStreamUnderLoad_ms));
        streamed_ns = video.streamed();
    }
    EXPECT_EQ(error, "");

    GError* failure = nullptr;
    GstDiscoverer* discoverer = gst_discoverer_new(5 * GST_SECOND, &failure);
    ASSERT_NE(discoverer, nullptr);
    gchar* uri = gst_filename_to_uri(file.c_str(), nullptr);
    GstDiscovererInfo* info = gst_discoverer_discover_uri(discoverer, uri, &failure);
    g_free(uri);
    ASSERT_NE(info, nullptr) << (failure ? failure->message : "");
    // Duration comes from the index and header written at end of stream:
    // every frame the capture pin delivered is in the file.
    EXPECT_GE(gst_discoverer_info_get_duration(info), streamed_ns - kOneFrame_ns);
    EXPECT_GE(streamed_ns, kRecorded_ns);
    GList* video = gst_discoverer_info_get_video_streams(info);
    GList* audio = gst_discoverer_info_get_audio_streams(info);
    EXPECT_EQ(g_list_length(video), 1u);
    EXPECT_EQ(g_list_length(audio), 1u);
    gst_discoverer_stream_info_list_free(video);
    gst_discoverer_stream_info_list_free(audio);
    gst_discoverer_info_unref(info);
    g_object_unref(discoverer);
}

TEST_F(GraphTest, StreamingFailuresBecomeMessages) {
    FilterObject cap(*graph, "filterVideoCap"), out(*graph, "filterAVIOut");
    cap.setMoniker(kVirtualCardMoniker);
    out.setMoniker(kFileWriterMoniker);
    cap.Attach();
    out.Attach();
    ASSERT_EQ(graph->RenderStream(PinCategory::Capture, MediaKind::Video, &cap.filter(), nullptr,
                                  &out.filter()),
              status::S_OK);
    // A refused state change throws with the platform's own text.
    out.filter().SetFileName("/nonexistent-qeltv/capture.avi");
    try {
        graph->Run();
        FAIL();
    } catch (const CaptureError& e) {
        EXPECT_STREQ(e.what(),
                     "filterAVIOut: Could not open file \"/nonexistent-qeltv/capture.avi\" "
                     "for writing. ($8004022F).");
        EXPECT_EQ(e.status(), status::VFW_E_STATE_CHANGE_FAILED);
    }
    // A failure while streaming arrives as a signal and stops the graph.
    out.filter().SetFileName("/dev/full");
    QString error;
    QObject::connect(graph.get(), &FilterGraph::streamError,
                     [&](const QString& message) { error = message; });
    graph->Run();
    ASSERT_TRUE(WaitUntil([&] { return !error.isEmpty(); }, 5000));
    EXPECT_EQ(error.toStdString(), "filterAVIOut: No space left on the resource.");
    EXPECT_EQ(graph->state(), GST_STATE_NULL);
}

} // namespace
} // namespace qeltv
