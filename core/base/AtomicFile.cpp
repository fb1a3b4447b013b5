#include "core/base/AtomicFile.h"

#include "core/base/FileDescriptor.h"
#include "core/base/FileError.h"

#include <QFile>
#include <QRandomGenerator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace ebbcast {
namespace {

constexpr int maximumSymbolicLinks = 40;
constexpr int maximumNameAttempts = 100;

// Writing through a symbolic link replaces the file it points to and keeps the link (a settings file linked
// from a dotfiles folder stays linked). A loop or a chain that is too long leaves the link itself as target.
QByteArray resolveLinks(const QByteArray& path)
{
    QByteArray target = path;
    for (int depth = 0; depth < maximumSymbolicLinks; ++depth) {
        struct stat status {};
        if (::lstat(target.constData(), &status) != 0 || !S_ISLNK(status.st_mode))
            return target;
        char link[PATH_MAX];
        const ssize_t length = ::readlink(target.constData(), link, sizeof link);
        if (length <= 0 || length >= static_cast<ssize_t>(sizeof link))
            return target;
        const QByteArray next(link, length);
        if (next.startsWith('/')) {
            target = next;
        } else {
            const qsizetype slash = target.lastIndexOf('/');
            target = (slash < 0 ? QByteArray() : target.left(slash + 1)) + next;
        }
    }
    return path;
}

mode_t modeOf(QFileDevice::Permissions permissions)
{
    mode_t mode = 0;
    if (permissions & (QFileDevice::ReadOwner | QFileDevice::ReadUser))
        mode |= S_IRUSR;
    if (permissions & (QFileDevice::WriteOwner | QFileDevice::WriteUser))
        mode |= S_IWUSR;
    if (permissions & (QFileDevice::ExeOwner | QFileDevice::ExeUser))
        mode |= S_IXUSR;
    if (permissions & QFileDevice::ReadGroup)
        mode |= S_IRGRP;
    if (permissions & QFileDevice::WriteGroup)
        mode |= S_IWGRP;
    if (permissions & QFileDevice::ExeGroup)
        mode |= S_IXGRP;
    if (permissions & QFileDevice::ReadOther)
        mode |= S_IROTH;
    if (permissions & QFileDevice::WriteOther)
        mode |= S_IWOTH;
    if (permissions & QFileDevice::ExeOther)
        mode |= S_IXOTH;
    return mode;
}

// The temporary file: ".<name>.XXXXXX" beside the target, created exclusively. It is created with 0666 so
// the kernel applies the umask (and a default ACL), which is the mode a new file is meant to get.
class TemporaryFile {
public:
    explicit TemporaryFile(const QByteArray& target)
    {
        const qsizetype slash = target.lastIndexOf('/');
        const QByteArray folder = slash < 0 ? QByteArray() : target.left(slash + 1);
        const QByteArray name = slash < 0 ? target : target.mid(slash + 1);
        static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        for (int attempt = 0; attempt < maximumNameAttempts; ++attempt) {
            QByteArray suffix(6, '0');
            for (char& letter : suffix)
                letter = letters[QRandomGenerator::global()->bounded(static_cast<int>(sizeof letters) - 1)];
            path_ = folder + '.' + name + '.' + suffix;
            fd_ = ::open(path_.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ >= 0 || errno != EEXIST)
                return;
        }
    }

    ~TemporaryFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (!renamed_)
            ::unlink(path_.constData());
    }

    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const QByteArray& path() const { return path_; }

    // Closes the descriptor and reports the close's own error (some file systems report write errors here).
    bool close()
    {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

    void markRenamed() { renamed_ = true; }

private:
    QByteArray path_;
    int fd_ = -1;
    bool renamed_ = false;
};

// The rename is only durable once the folder's entry is on disk too. The new content is already in place
// when this runs, so a failure here cannot be undone and is not reported as a failed write.
void syncFolderOf(const QByteArray& target)
{
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : target.left(slash);
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

[[noreturn]] void fail(const QString& path, int error)
{
    errno = error;
    throw FileError::fromErrno(FileError::Code::writeFailed, path);
}

} // namespace

void AtomicFile::write(const QString& path, const QByteArray& bytes,
                       std::optional<QFileDevice::Permissions> permissions)
{
    const QByteArray target = resolveLinks(QFile::encodeName(path));

    struct stat existing {};
    const bool exists = ::stat(target.constData(), &existing) == 0;
    // A file its owner made read-only is not replaced behind their back.
    if (exists && ::faccessat(AT_FDCWD, target.constData(), W_OK, AT_EACCESS) != 0 && errno != ENOENT)
        fail(path, errno);

    TemporaryFile temporary(target);
    if (!temporary.isOpen())
        fail(path, errno);
    std::optional<mode_t> mode;
    if (permissions)
        mode = modeOf(*permissions);
    else if (exists && S_ISREG(existing.st_mode))
        mode = existing.st_mode & 0777;
    if (!writeAll(temporary.fd(), bytes))
        fail(path, errno);
    if (mode && ::fchmod(temporary.fd(), *mode) != 0)
        fail(path, errno);
    if (::fsync(temporary.fd()) != 0)
        fail(path, errno);
    if (!temporary.close())
        fail(path, errno);
    if (::rename(temporary.path().constData(), target.constData()) != 0)
        fail(path, errno);
    temporary.markRenamed();
    syncFolderOf(target);
}

} // namespace ebbcast
