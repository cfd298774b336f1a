// Reading finished recordings in the scheduler tests.
#pragma once

#include <gst/pbutils/pbutils.h>

#include <filesystem>
#include <string>

namespace qeltv::test {

// The recording's length in seconds; 0 when it cannot be read.
inline double RecordingSeconds(const std::filesystem::path& file) {
    gst_init(nullptr, nullptr);
    constexpr GstClockTime kDiscoverTimeout = 10 * GST_SECOND;
    GError* error = nullptr;
    GstDiscoverer* discoverer = gst_discoverer_new(kDiscoverTimeout, &error);
    if (!discoverer) {
        g_clear_error(&error);
        return 0;
    }
    const std::string uri = "file://" + file.string();
    double seconds = 0;
    if (GstDiscovererInfo* info = gst_discoverer_discover_uri(discoverer, uri.c_str(), &error)) {
        seconds = double(gst_discoverer_info_get_duration(info)) / GST_SECOND;
        gst_discoverer_info_unref(info);
    }
    g_clear_error(&error);
    g_object_unref(discoverer);
    return seconds;
}

} // namespace qeltv::test
