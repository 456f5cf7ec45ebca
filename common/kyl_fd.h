#ifndef KYL_FD_H
#define KYL_FD_H

// kyl_fd owns one open descriptor and closes it when it goes out of scope.
// Ownership moves only visibly: release() hands the descriptor on (the
// holder no longer closes it), reset() closes the one held and takes
// another.  A descriptor below 0 means none is held.  Any thread; an object
// belongs to one thread at a time.

#include <unistd.h>

class kyl_fd {
public:
    kyl_fd() = default;
    explicit kyl_fd(int fd) : fd_(fd) {}
    ~kyl_fd() { reset(); }
    kyl_fd(const kyl_fd &) = delete;
    kyl_fd &operator=(const kyl_fd &) = delete;
    kyl_fd(kyl_fd &&other) noexcept : fd_(other.release()) {}
    kyl_fd &operator=(kyl_fd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    // The descriptor, still owned here (or -1).
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Gives the descriptor up without closing it; returns it (or -1).
    [[nodiscard]] int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // Closes the descriptor held, if any, and holds fd instead.
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

#endif
