// The webcast's profile table: 27 profiles under the identifiers users and
// saved settings know them by, each with the rates this program encodes at.
// A profile of video and audio has 2 streams, an audio-only or video-only
// one 1, and a multiple-bit-rate one (…MBR) one stream per rate plus its
// audio; such a profile is encoded at its highest video rate, as one stream
// serves every client.
#pragma once

#include <array>
#include <cstddef>

namespace qeltv {

struct WebcastProfile {
    const char* id;          // wmp_V80_…
    const char* displayName; // what the profile list shows
    int videoBitrate_kbps;   // 0 when the profile carries no video
    int width;               // picture size the rates are meant for
    int height;
    bool variableBitrate;  // video rate is a target, not a constant
    int audioBitrate_kbps; // 0 when the profile carries no audio
    int sampleRate_hz;
    int channels;
    int streamCount;

    bool hasVideo() const { return videoBitrate_kbps > 0; }
    bool hasAudio() const { return audioBitrate_kbps > 0; }
};

constexpr std::size_t kWebcastProfileCount = 27;
// The writer's design profile, wmp_V80_100Video.
constexpr int kWebcastDesignProfileIndex = 7;
// The profile list shows only profiles with one video and one audio stream.
constexpr int kListedProfileStreamCount = 2;

const std::array<WebcastProfile, kWebcastProfileCount>& WebcastProfiles();
// The profile at index; an index outside the table gives the design profile.
const WebcastProfile& WebcastProfileAt(int index);

} // namespace qeltv
