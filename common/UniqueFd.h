// An owned file descriptor: move-only, closed when its owner goes out of
// scope, so no path (an early return, an exception) leaks or closes it twice.
#pragma once

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace qeltv {

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    // Takes ownership; a negative value (a failed open) owns nothing.
    explicit UniqueFd(int fd) noexcept : fd_(fd < 0 ? kNone : fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ != kNone; }

    // Gives up ownership without closing; the caller closes the result.
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, kNone); }

    // Closes the descriptor held (if any) and takes `fd`. The result of that
    // close is not reported: use close() where it matters, as after writing
    // a file.
    void reset(int fd = kNone) noexcept {
        const int old = std::exchange(fd_, fd < 0 ? kNone : fd);
        if (old != kNone)
            ::close(old);
    }

    // Closes now and reports the outcome: 0, or the errno of the close. The
    // descriptor is released even when the close fails (retrying a failed
    // close on Linux could close a descriptor reused by another thread).
    [[nodiscard]] int close() noexcept {
        const int old = release();
        if (old == kNone || ::close(old) == 0)
            return 0;
        return errno;
    }

private:
    static constexpr int kNone = -1;
    int fd_ = kNone;
};

} // namespace qeltv
