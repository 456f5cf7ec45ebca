#ifndef VELK_FD_H
#define VELK_FD_H

// velk_Fd owns one open descriptor and closes it when it goes out of scope.
// Ownership moves only visibly: release() hands the descriptor on (the
// holder no longer closes it), reset() closes the one held and takes
// another.  A descriptor below 0 means none is held.  Any thread; an object
// belongs to one thread at a time.

#include <unistd.h>

class velk_Fd {
public:
    velk_Fd() = default;
    explicit velk_Fd(int fd) : fd_(fd) {}
    ~velk_Fd() { reset(); }
    velk_Fd(const velk_Fd &) = delete;
    velk_Fd &operator=(const velk_Fd &) = delete;
    velk_Fd(velk_Fd &&other) noexcept : fd_(other.release()) {}
    velk_Fd &operator=(velk_Fd &&other) noexcept
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
