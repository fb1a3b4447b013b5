#pragma once

#include <QByteArray>

namespace ebbcast {

// An open POSIX file descriptor (or -1), closed when the object goes; neither copied nor moved.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept
        : fd_(fd)
    {}
    ~FileDescriptor();

    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const noexcept { return fd_; }
    // Closes now and reports the close's own error (some file systems report write errors only here).
    bool close() noexcept;

private:
    int fd_;
};

// Writes all of `bytes` to `fd`, through short writes and interruptions. False (errno set) on failure.
bool writeAll(int fd, const QByteArray& bytes);

} // namespace ebbcast
