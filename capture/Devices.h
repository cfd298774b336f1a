// The device lists of the four categories (video input, audio input, video
// compressor, audio compressor) and the filters made from their monikers.
//
// Capture devices come from GstDeviceMonitor (Video/Source, Audio/Source),
// probed on a worker thread with a time limit so that a missing or hung
// sound server never stalls start-up; the Virtual TV Card is listed last.
// Compressors are the installed encoders whose output the AVI muxer accepts
// and that pass a short trial run; the result is cached per plug-in set.
#pragma once

#include "capture/FilterObject.h"
#include "capture/V4l2Device.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qeltv {

enum class DeviceCategory { VideoInput, AudioInput, VideoCompressor, AudioCompressor };

struct DeviceInfo {
    std::string friendlyName; // at most kMaxFriendlyNameLength characters
    std::string moniker;
    int position = 0;
};

constexpr std::size_t kMaxFriendlyNameLength = 255;
// Longest wait for the platform's device probe.
constexpr int kDeviceProbeTimeout_ms = 3000;
// Longest trial run of one encoder.
constexpr int kCompressorTrialTimeout_ms = 3000;

constexpr const char* kVirtualCardMoniker = "virtual:tvcard";
constexpr const char* kVirtualCardAudioMoniker = "virtual:tvcard-audio";
constexpr const char* kPcmMoniker = "pcm:";
constexpr const char* kVirtualCardName = "Virtual TV Card";
constexpr const char* kVirtualCardAudioName = "Virtual TV Card Audio";
constexpr const char* kPcmName = "PCM";

class DeviceEnumerator {
public:
    // cacheFolder holds the compressor cache; DefaultCacheFolder() when empty.
    explicit DeviceEnumerator(std::filesystem::path cacheFolder = {});

    // The devices of a category in enumeration order.
    std::vector<DeviceInfo> Enumerate(DeviceCategory category) const;
    // Enumerates the category again and returns the moniker at position;
    // empty when there is no such device.
    std::string MonikerAt(DeviceCategory category, int position) const;

    // $XDG_CACHE_HOME/qeltv (default ~/.cache/qeltv).
    static std::filesystem::path DefaultCacheFolder();
    const std::filesystem::path& cacheFile() const { return cacheFile_; }
    // The key of the installed plug-in set the cache is valid for.
    static std::string RegistryKey();

private:
    std::vector<DeviceInfo> compressors(bool video) const;
    std::filesystem::path cacheFile_;
};

// Whether an encoder passes a trial run into the AVI muxer (used by the
// enumeration; exposed for the tests).
bool EncoderWorksWithAviMux(const std::string& factory, bool video);

// What tells a V4L2 device apart whatever node it is given: the card name
// and bus info that VIDIOC_QUERYCAP reports. Node numbers follow the order in
// which drivers come up, so they change between boots and re-plugs.
struct V4l2DeviceIdentity {
    std::string card;
    std::string busInfo;
    bool operator==(const V4l2DeviceIdentity&) const = default;
};

// Video nodes are named video<N> in the node folder; at most this many are
// looked at.
constexpr int kMaxV4l2Nodes = 256;

// Finds V4L2 capture devices by their identity among the video nodes of a
// folder (/dev).
class V4l2DeviceFinder {
public:
    // The system's devices under /dev.
    V4l2DeviceFinder();
    V4l2DeviceFinder(std::shared_ptr<V4l2FileLayer> layer, std::filesystem::path nodeFolder);

    // The identity of the video capture device at node; nullopt when the
    // node cannot be opened, does not answer VIDIOC_QUERYCAP or captures no
    // video.
    std::optional<V4l2DeviceIdentity> identify(const std::string& node) const;
    // The node of the device: savedNode while it is still that device,
    // otherwise the first video node, in number order, with that identity;
    // nullopt when the device is not connected.
    std::optional<std::string> find(const V4l2DeviceIdentity& identity,
                                    const std::string& savedNode) const;

private:
    std::shared_ptr<V4l2FileLayer> layer_;
    std::filesystem::path nodeFolder_;
};

} // namespace qeltv
