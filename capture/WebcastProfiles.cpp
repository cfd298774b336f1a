#include "capture/WebcastProfiles.h"

namespace qeltv {

namespace {

// Audio rates are ones Vorbis can encode at that sample rate and channel
// count (it refuses, say, 28 kbps stereo at 22050 Hz).
constexpr std::array<WebcastProfile, kWebcastProfileCount> kProfiles{{
    {"wmp_V80_255VideoPDA", "Video for handhelds, 255 kbps", 223, 208, 160, false, 32, 22050, 1, 2},
    {"wmp_V80_150VideoPDA", "Video for handhelds, 150 kbps", 134, 208, 160, false, 16, 16000, 1, 2},
    {"wmp_V80_28856VideoMBR", "Video for dial-up modems, 28.8 to 56 kbps (multiple rates)", 40, 176,
     144, false, 8, 8000, 1, 3},
    {"wmp_V80_100768VideoMBR", "Video for broadband, 100 to 768 kbps (multiple rates)", 704, 320,
     240, false, 64, 44100, 2, 5},
    {"wmp_V80_288100VideoMBR", "Video for dial-up and broadband, 28.8 to 100 kbps (multiple rates)",
     84, 320, 240, false, 16, 16000, 1, 4},
    {"wmp_V80_288Video", "Video for dial-up modems, 28.8 kbps", 20, 160, 120, false, 8, 8000, 1, 2},
    {"wmp_V80_56Video", "Video for dial-up modems, 56 kbps", 40, 176, 144, false, 16, 16000, 1, 2},
    {"wmp_V80_100Video", "Video for LAN, cable modem or xDSL, 100 kbps", 84, 320, 240, false, 16,
     16000, 1, 2},
    {"wmp_V80_256Video", "Video for LAN, cable modem or xDSL, 256 kbps", 224, 320, 240, false, 32,
     22050, 1, 2},
    {"wmp_V80_384Video", "Video for LAN, cable modem or xDSL, 384 kbps", 336, 320, 240, false, 48,
     44100, 2, 2},
    {"wmp_V80_768Video", "Video for LAN, cable modem or xDSL, 768 kbps", 704, 320, 240, false, 64,
     44100, 2, 2},
    {"wmp_V80_700NTSCVideo", "Video for broadband (NTSC), 700 kbps", 636, 320, 240, false, 64,
     44100, 2, 2},
    {"wmp_V80_1400NTSCVideo", "Video for broadband (NTSC), 1400 kbps", 1272, 640, 480, false, 128,
     44100, 2, 2},
    {"wmp_V80_384PALVideo", "Video for broadband (PAL), 384 kbps", 336, 384, 288, false, 48, 44100,
     2, 2},
    {"wmp_V80_700PALVideo", "Video for broadband (PAL), 700 kbps", 636, 384, 288, false, 64, 44100,
     2, 2},
    {"wmp_V80_288MonoAudio", "Audio only for dial-up modems, 28.8 kbps, mono", 0, 0, 0, false, 20,
     22050, 1, 1},
    {"wmp_V80_288StereoAudio", "Audio only for dial-up modems, 28.8 kbps, stereo", 0, 0, 0, false,
     20, 11025, 2, 1},
    {"wmp_V80_32StereoAudio", "Audio only, 32 kbps, stereo", 0, 0, 0, false, 32, 22050, 2, 1},
    {"wmp_V80_48StereoAudio", "Audio only, 48 kbps, stereo", 0, 0, 0, false, 48, 44100, 2, 1},
    {"wmp_V80_64StereoAudio", "Audio only, 64 kbps, stereo", 0, 0, 0, false, 64, 44100, 2, 1},
    {"wmp_V80_96StereoAudio", "Audio only, 96 kbps, stereo", 0, 0, 0, false, 96, 44100, 2, 1},
    {"wmp_V80_128StereoAudio", "Audio only, 128 kbps, stereo", 0, 0, 0, false, 128, 44100, 2, 1},
    {"wmp_V80_288VideoOnly", "Video only for dial-up modems, 28.8 kbps", 28, 160, 120, false, 0, 0,
     0, 1},
    {"wmp_V80_56VideoOnly", "Video only for dial-up modems, 56 kbps", 50, 176, 144, false, 0, 0, 0,
     1},
    {"wmp_V80_FAIRVBRVideo", "Video, variable bit rate, fair quality", 500, 320, 240, true, 64,
     44100, 2, 2},
    {"wmp_V80_HIGHVBRVideo", "Video, variable bit rate, high quality", 1000, 640, 480, true, 96,
     44100, 2, 2},
    {"wmp_V80_BESTVBRVideo", "Video, variable bit rate, best quality", 2000, 640, 480, true, 128,
     44100, 2, 2},
}};

} // namespace

const std::array<WebcastProfile, kWebcastProfileCount>& WebcastProfiles() {
    return kProfiles;
}

const WebcastProfile& WebcastProfileAt(int index) {
    if (index < 0 || index >= static_cast<int>(kProfiles.size()))
        return kProfiles[kWebcastDesignProfileIndex];
    return kProfiles[static_cast<std::size_t>(index)];
}

} // namespace qeltv
