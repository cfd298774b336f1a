// The picture controls of a video capture device (brightness, contrast,
// saturation, hue and whatever else the device lists), as a configuration
// dialog shows them and the graph file keeps them. A V4L2 device answers
// through its driver's controls; the Virtual TV Card through a colour-balance
// stage in its picture, with the same control numbers and ranges a typical
// capture card reports.
#pragma once

#include "capture/Status.h"
#include "capture/V4l2Device.h"

#include <gst/gst.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qeltv {

struct PictureControl {
    enum class Kind { Integer, Boolean, Menu };
    std::uint32_t id = 0; // the V4L2 control id
    std::string name;
    Kind kind = Kind::Integer;
    long minimum = 0;
    long maximum = 0;
    long step = 1;
    long defaultValue = 0;
    // Menu entries: the value and its text.
    std::vector<std::pair<long, std::string>> menu;
};

class PictureControls {
public:
    virtual ~PictureControls() = default;
    // The controls the device lists, in its order; disabled and read-only
    // ones are left out.
    virtual std::vector<PictureControl> controls() = 0;
    virtual HResult get(std::uint32_t id, long& value) = 0;
    virtual HResult set(std::uint32_t id, long value) = 0;
};

// A V4L2 device's controls (VIDIOC_QUERYCTRL, VIDIOC_QUERYMENU, VIDIOC_G_CTRL,
// VIDIOC_S_CTRL). The node is opened for each call, so a device streaming
// elsewhere in the graph is never held open twice for long.
class V4l2PictureControls : public PictureControls {
public:
    // Throws CaptureError when the node cannot be opened.
    V4l2PictureControls(std::shared_ptr<V4l2FileLayer> layer, std::string path);
    explicit V4l2PictureControls(std::string path);
    std::vector<PictureControl> controls() override;
    HResult get(std::uint32_t id, long& value) override;
    HResult set(std::uint32_t id, long value) override;

private:
    std::shared_ptr<V4l2FileLayer> layer_;
    std::string path_;
};

// Brightness, contrast, saturation and hue on a videobalance element, each
// as an integer range whose default leaves the picture untouched.
class BalancePictureControls : public PictureControls {
public:
    // balance: a videobalance element, borrowed (its bin owns it).
    explicit BalancePictureControls(GstElement* balance) : balance_(balance) {}
    std::vector<PictureControl> controls() override;
    HResult get(std::uint32_t id, long& value) override;
    HResult set(std::uint32_t id, long value) override;

private:
    GstElement* balance_;
};

} // namespace qeltv
