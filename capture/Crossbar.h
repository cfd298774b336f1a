// The crossbar (video and audio input routing) and TV audio of a capture
// device, with exactly the calls the program makes.
#pragma once

#include "capture/Status.h"

#include <string>

namespace qeltv {

// Physical connector types of crossbar pins.
enum PhysicalConnector : long {
    PhysConn_Video_Tuner = 0x0001,
    PhysConn_Video_Composite = 0x0002,
    PhysConn_Video_SVideo = 0x0003,
    PhysConn_Video_VideoDecoder = 0x000C,
    PhysConn_Audio_Tuner = 0x1000,
    PhysConn_Audio_Line = 0x1001,
    PhysConn_Audio_Mic = 0x1002,
    PhysConn_Audio_AudioDecoder = 0x1009,
};

// The crossbar's outputs by index, and the index that names no pin.
constexpr long kVideoDecoderOutput = 0;
constexpr long kAudioDecoderOutput = 1;
constexpr long kNoPin = -1;

class Crossbar {
public:
    virtual ~Crossbar() = default;

    // The crossbar filter's own name (what QueryFilterInfo reports).
    virtual std::string name() const = 0;

    virtual HResult get_PinCounts(long& outputs, long& inputs) = 0;
    // relatedIndex: the index of the paired pin (video with its audio), or -1.
    virtual HResult get_CrossbarPinInfo(bool isInput, long index, long& relatedIndex,
                                        long& physicalType) = 0;
    virtual HResult CanRoute(long outputIndex, long inputIndex) = 0;
    virtual HResult Route(long outputIndex, long inputIndex) = 0;
    // inputIndex is -1 when nothing is routed to the output.
    virtual HResult get_IsRoutedTo(long outputIndex, long& inputIndex) = 0;
};

// TV audio (stereo/SAP decoding) of a capture device: present or absent, named.
class TvAudio {
public:
    virtual ~TvAudio() = default;
    virtual std::string name() const = 0;
};

} // namespace qeltv
