// A V4L2 device node and the one place where its ioctls are made. Every call
// keeps the ioctl's name, so a failure says which call failed on which
// device. The file-descriptor calls sit behind V4l2FileLayer, so tests can
// stand in for the kernel.
#pragma once

#include "capture/Status.h"

#include <memory>
#include <string>

namespace qeltv {

class V4l2FileLayer {
public:
    virtual ~V4l2FileLayer() = default;
    // A descriptor, or -1 with the error number in error.
    virtual int open(const std::string& path, int& error) = 0;
    virtual void close(int fd) = 0;
    // 0 on success, otherwise the error number.
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
};

// The system's open, close and ioctl; interrupted calls are repeated.
class SystemFileLayer : public V4l2FileLayer {
public:
    int open(const std::string& path, int& error) override;
    void close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
};

// The status that stands for an error number.
HResult StatusFromErrno(int error);

class V4l2Device {
public:
    // Opens the node for reading and writing; throws CaptureError
    // ("open /dev/video9: No such file or directory ($80070002).").
    V4l2Device(std::shared_ptr<V4l2FileLayer> layer, std::string path);
    explicit V4l2Device(std::string path);
    ~V4l2Device();
    V4l2Device(const V4l2Device&) = delete;
    V4l2Device& operator=(const V4l2Device&) = delete;

    const std::string& path() const { return path_; }

    // Runs one ioctl. On failure the error text
    // "<name> on <path>: <system error text>" is kept and the status returned.
    HResult ioctl(const char* name, unsigned long request, void* argument);
    // The same, throwing CaptureError with that text on failure.
    void check(const char* name, unsigned long request, void* argument);

    // The text and status of the last failed call.
    const std::string& lastErrorText() const { return lastErrorText_; }
    HResult lastStatus() const { return lastStatus_; }
    // The error number of the last failed call.
    int lastErrno() const { return lastErrno_; }

private:
    std::shared_ptr<V4l2FileLayer> layer_;
    std::string path_;
    int fd_ = -1;
    std::string lastErrorText_;
    HResult lastStatus_ = status::S_OK;
    int lastErrno_ = 0;
};

} // namespace qeltv

// Runs an ioctl under its own name: V4L2_NAMED_IOCTL(device, VIDIOC_G_TUNER, &tuner).
#define V4L2_NAMED_IOCTL(device, request, argument) (device).ioctl(#request, request, argument)
#define V4L2_CHECKED_IOCTL(device, request, argument) (device).check(#request, request, argument)
