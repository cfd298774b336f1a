#include "capture/V4l2Device.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <system_error>
#include <unistd.h>

namespace qeltv {

int SystemFileLayer::open(const std::string& path, int& error) {
    // Non-blocking, so a call never waits on a busy driver; the descriptor is
    // not inherited by programs the scheduler starts.
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    error = fd < 0 ? errno : 0;
    return fd;
}

void SystemFileLayer::close(int fd) {
    ::close(fd);
}

int SystemFileLayer::ioctl(int fd, unsigned long request, void* argument) {
    int result = 0;
    do {
        result = ::ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result < 0 ? errno : 0;
}

HResult StatusFromErrno(int error) {
    switch (error) {
    case 0:
        return status::S_OK;
    case EINVAL:
    case ERANGE:
        return status::E_INVALIDARG;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return status::E_NOTFOUND;
    case EACCES:
    case EPERM:
        return status::E_ACCESSDENIED;
    case ENOMEM:
        return status::E_OUTOFMEMORY;
    case ENOTTY:
        return status::E_NOTIMPL;
    default:
        return status::E_FAIL;
    }
}

V4l2Device::V4l2Device(std::shared_ptr<V4l2FileLayer> layer, std::string path)
    : layer_(std::move(layer)), path_(std::move(path)) {
    int error = 0;
    fd_ = layer_->open(path_, error);
    if (fd_ < 0) {
        if (error == 0) {
            error = EIO; // a failed open always has a reason
        }
        throw CaptureError("open " + path_ + ": " + std::system_category().message(error),
                           StatusFromErrno(error));
    }
}

V4l2Device::V4l2Device(std::string path)
    : V4l2Device(std::make_shared<SystemFileLayer>(), std::move(path)) {}

V4l2Device::~V4l2Device() {
    layer_->close(fd_);
}

HResult V4l2Device::ioctl(const char* name, unsigned long request, void* argument) {
    const int error = layer_->ioctl(fd_, request, argument);
    if (error == 0) {
        return status::S_OK;
    }
    lastErrno_ = error;
    lastStatus_ = StatusFromErrno(error);
    lastErrorText_ =
        std::string(name) + " on " + path_ + ": " + std::system_category().message(error);
    return lastStatus_;
}

void V4l2Device::check(const char* name, unsigned long request, void* argument) {
    const HResult hr = ioctl(name, request, argument);
    if (Failed(hr)) {
        throw CaptureError(lastErrorText_, hr);
    }
}

} // namespace qeltv
