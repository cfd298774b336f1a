// Device and compressor lists: the Virtual TV Card is always there, a
// missing sound server never stalls or fails the enumeration, and the
// compressor lists hold only encoders that really record into AVI.
#include "capture/Devices.h"
#include "test_graph_support.h"

#include <QProcess>

#include <fstream>

namespace qeltv {
namespace {

using test::GraphTest;

std::vector<std::string> Names(const std::vector<DeviceInfo>& devices) {
    std::vector<std::string> names;
    for (const DeviceInfo& d : devices)
        names.push_back(d.friendlyName);
    return names;
}

void ExpectCardListedLast(const DeviceEnumerator& devices) {
    const auto video = devices.Enumerate(DeviceCategory::VideoInput);
    ASSERT_FALSE(video.empty());
    EXPECT_EQ(video.back().friendlyName, "Virtual TV Card");
    EXPECT_EQ(video.back().moniker, "virtual:tvcard");
    const auto audio = devices.Enumerate(DeviceCategory::AudioInput);
    ASSERT_FALSE(audio.empty());
    EXPECT_EQ(audio.back().friendlyName, "Virtual TV Card Audio");
    EXPECT_EQ(audio.back().moniker, "virtual:tvcard-audio");
    for (const auto* list : {&video, &audio})
        for (std::size_t i = 0; i < list->size(); ++i)
            EXPECT_EQ((*list)[i].position, static_cast<int>(i));
    EXPECT_EQ(devices.MonikerAt(DeviceCategory::VideoInput, static_cast<int>(video.size()) - 1),
              "virtual:tvcard");
    EXPECT_EQ(devices.MonikerAt(DeviceCategory::VideoInput, static_cast<int>(video.size())), "");
}

TEST_F(GraphTest, CaptureDevicesEndWithTheVirtualCard) {
    ExpectCardListedLast(DeviceEnumerator(path("cache")));
}

// Run in a child process whose sound server does not exist (disabled, so
// it runs only when the test below asks for it).
TEST(DevicesChild, DISABLED_EnumeratesWithoutSoundServer) {
    test::App();
    ExpectCardListedLast(DeviceEnumerator(std::filesystem::temp_directory_path()));
}

// Guards start-up on machines without PulseAudio or PipeWire: the probe must
// neither hang nor fail, and the card must still be offered.
TEST_F(GraphTest, EnumerationSurvivesAMissingSoundServer) {
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", dir.path() + "/empty-runtime");
    env.insert("PULSE_SERVER", dir.path() + "/no-such-socket");
    env.remove("PIPEWIRE_REMOTE");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(env);
    child.start("/proc/self/exe",
                {"--gtest_also_run_disabled_tests",
                 "--gtest_filter=DevicesChild.DISABLED_EnumeratesWithoutSoundServer"});
    ASSERT_TRUE(child.waitForFinished(20000)) << "the enumeration hung";
    const QString output = child.readAllStandardOutput();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

TEST_F(GraphTest, CompressorsAreTriedAndCached) {
    DeviceEnumerator devices(path("cache"));
    const auto video = devices.Enumerate(DeviceCategory::VideoCompressor);
    const auto audio = devices.Enumerate(DeviceCategory::AudioCompressor);
    const auto videoNames = Names(video);
    const auto audioNames = Names(audio);
    // Encoders the mux takes and that run.
    EXPECT_NE(std::find(videoNames.begin(), videoNames.end(), "JPEG image encoder"),
              videoNames.end());
    ASSERT_FALSE(audio.empty());
    EXPECT_EQ(audio.front().friendlyName, "PCM");
    EXPECT_EQ(audio.front().moniker, "pcm:");
    // Vorbis is an audio encoder, but the AVI mux refuses its output.
    for (const DeviceInfo& d : audio)
        EXPECT_NE(d.moniker, "encoder:vorbisenc");
    // Listed by name, in a stable order (after PCM for audio).
    EXPECT_TRUE(std::is_sorted(videoNames.begin(), videoNames.end()));
    EXPECT_TRUE(std::is_sorted(audioNames.begin() + 1, audioNames.end()));
    for (const auto* list : {&video, &audio})
        for (std::size_t i = 0; i < list->size(); ++i)
            EXPECT_EQ((*list)[i].position, static_cast<int>(i));

    // A second enumeration reads the cache, keyed by the plug-in set.
    std::ifstream in(devices.cacheFile());
    std::string header;
    std::getline(in, header);
    // Version 2: the trial is a live recording with sound, read back.
    EXPECT_EQ(header, "qeltv-compressors 4 " + DeviceEnumerator::RegistryKey());
    in.close();
    {
        std::ofstream out(devices.cacheFile(), std::ios::app);
        out << "V\tnoencoder\tAAA Cached Encoder\n";
    }
    const auto again = devices.Enumerate(DeviceCategory::VideoCompressor);
    ASSERT_EQ(again.size(), video.size() + 1);
    EXPECT_EQ(again.back().friendlyName, "AAA Cached Encoder");
    EXPECT_EQ(again.back().moniker, "encoder:noencoder");

    // Trials reject what fails at once.
    EXPECT_TRUE(EncoderWorksWithAviMux("jpegenc", true));
    EXPECT_FALSE(EncoderWorksWithAviMux("no-such-encoder", true));
    EXPECT_FALSE(EncoderWorksWithAviMux("jpegenc ! fakesink", true));
}

} // namespace
} // namespace qeltv
