#include "capture/PictureControls.h"

#include <linux/videodev2.h>

#include <cmath>
#include <cstring>

namespace qeltv {

namespace {

// Longest control and menu texts V4L2 reports (the size of its name fields).
constexpr std::size_t kMaxControlNameLength = sizeof(v4l2_queryctrl::name);
constexpr std::size_t kMaxMenuNameLength = sizeof(v4l2_querymenu::name);

std::string ReportedName(const unsigned char* text, std::size_t size) {
    const auto* begin = reinterpret_cast<const char*>(text);
    return std::string(begin, strnlen(begin, size));
}

} // namespace

V4l2PictureControls::V4l2PictureControls(std::shared_ptr<V4l2FileLayer> layer, std::string path)
    : layer_(std::move(layer)), path_(std::move(path)) {
    V4l2Device probe(layer_, path_); // throws when the node is not there
}

V4l2PictureControls::V4l2PictureControls(std::string path)
    : V4l2PictureControls(std::make_shared<SystemFileLayer>(), std::move(path)) {}

std::vector<PictureControl> V4l2PictureControls::controls() {
    std::vector<PictureControl> result;
    V4l2Device device(layer_, path_);
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    // The walk ends with the driver's refusal of the id after the last one.
    while (Succeeded(V4L2_NAMED_IOCTL(device, VIDIOC_QUERYCTRL, &query))) {
        const std::uint32_t id = query.id;
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
        if (query.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY))
            continue;
        PictureControl c;
        c.id = id;
        c.name = ReportedName(query.name, kMaxControlNameLength);
        c.minimum = query.minimum;
        c.maximum = query.maximum;
        c.step = query.step > 0 ? query.step : 1;
        c.defaultValue = query.default_value;
        switch (query.type) {
        case V4L2_CTRL_TYPE_INTEGER:
            c.kind = PictureControl::Kind::Integer;
            break;
        case V4L2_CTRL_TYPE_BOOLEAN:
            c.kind = PictureControl::Kind::Boolean;
            break;
        case V4L2_CTRL_TYPE_MENU:
        case V4L2_CTRL_TYPE_INTEGER_MENU:
            c.kind = PictureControl::Kind::Menu;
            for (long index = query.minimum; index <= query.maximum; ++index) {
                v4l2_querymenu item{};
                item.id = id;
                item.index = static_cast<std::uint32_t>(index);
                // Drivers leave gaps in their menus: those indices are refused.
                if (Failed(V4L2_NAMED_IOCTL(device, VIDIOC_QUERYMENU, &item)))
                    continue;
                c.menu.emplace_back(index, query.type == V4L2_CTRL_TYPE_MENU
                                               ? ReportedName(item.name, kMaxMenuNameLength)
                                               : std::to_string(item.value));
            }
            break;
        default:
            continue; // buttons, strings and compound controls are not shown
        }
        result.push_back(std::move(c));
    }
    return result;
}

HResult V4l2PictureControls::get(std::uint32_t id, long& value) {
    V4l2Device device(layer_, path_);
    v4l2_control control{};
    control.id = id;
    const HResult hr = V4L2_NAMED_IOCTL(device, VIDIOC_G_CTRL, &control);
    if (Succeeded(hr))
        value = control.value;
    return hr;
}

HResult V4l2PictureControls::set(std::uint32_t id, long value) {
    V4l2Device device(layer_, path_);
    v4l2_control control{};
    control.id = id;
    control.value = static_cast<std::int32_t>(value);
    return V4L2_NAMED_IOCTL(device, VIDIOC_S_CTRL, &control);
}

// ------------------------------------------------------------ colour balance

namespace {

// Each control: the element's property, and the integer range that maps
// linearly onto the property's range, its default onto the neutral value.
struct BalanceControl {
    std::uint32_t id;
    const char* name;
    const char* property;
    long minimum;
    long maximum;
    long defaultValue;
    double propertyMinimum;
    double propertyMaximum;
};

constexpr long kBalanceSteps = 255;
constexpr long kBalanceMiddle = 128;

constexpr BalanceControl kBalanceControls[] = {
    {V4L2_CID_BRIGHTNESS, "Brightness", "brightness", 0, kBalanceSteps, kBalanceMiddle, -1.0, 1.0},
    {V4L2_CID_CONTRAST, "Contrast", "contrast", 0, kBalanceSteps, kBalanceMiddle, 0.0, 2.0},
    {V4L2_CID_SATURATION, "Saturation", "saturation", 0, kBalanceSteps, kBalanceMiddle, 0.0, 2.0},
    {V4L2_CID_HUE, "Hue", "hue", 0, kBalanceSteps, kBalanceMiddle, -1.0, 1.0},
};

const BalanceControl* FindBalanceControl(std::uint32_t id) {
    for (const BalanceControl& c : kBalanceControls)
        if (c.id == id)
            return &c;
    return nullptr;
}

// Below the middle the lower half of the property's range, above it the
// upper half, so the middle is exactly the neutral value.
double ToProperty(const BalanceControl& c, long value) {
    const double neutral = (c.propertyMinimum + c.propertyMaximum) / 2;
    if (value <= c.defaultValue)
        return c.propertyMinimum + (neutral - c.propertyMinimum) *
                                       static_cast<double>(value - c.minimum) /
                                       static_cast<double>(c.defaultValue - c.minimum);
    return neutral + (c.propertyMaximum - neutral) * static_cast<double>(value - c.defaultValue) /
                         static_cast<double>(c.maximum - c.defaultValue);
}

long FromProperty(const BalanceControl& c, double property) {
    const double neutral = (c.propertyMinimum + c.propertyMaximum) / 2;
    if (property <= neutral)
        return c.minimum +
               std::lround(static_cast<double>(c.defaultValue - c.minimum) *
                           (property - c.propertyMinimum) / (neutral - c.propertyMinimum));
    return c.defaultValue + std::lround(static_cast<double>(c.maximum - c.defaultValue) *
                                        (property - neutral) / (c.propertyMaximum - neutral));
}

} // namespace

std::vector<PictureControl> BalancePictureControls::controls() {
    std::vector<PictureControl> result;
    for (const BalanceControl& c : kBalanceControls) {
        PictureControl control;
        control.id = c.id;
        control.name = c.name;
        control.minimum = c.minimum;
        control.maximum = c.maximum;
        control.defaultValue = c.defaultValue;
        result.push_back(control);
    }
    return result;
}

HResult BalancePictureControls::get(std::uint32_t id, long& value) {
    const BalanceControl* c = FindBalanceControl(id);
    if (!c)
        return status::E_INVALIDARG;
    double property = 0;
    g_object_get(balance_, c->property, &property, nullptr);
    value = FromProperty(*c, property);
    return status::S_OK;
}

HResult BalancePictureControls::set(std::uint32_t id, long value) {
    const BalanceControl* c = FindBalanceControl(id);
    if (!c || value < c->minimum || value > c->maximum)
        return status::E_INVALIDARG;
    g_object_set(balance_, c->property, ToProperty(*c, value), nullptr);
    return status::S_OK;
}

} // namespace qeltv
