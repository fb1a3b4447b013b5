#pragma once

#include <QString>

namespace ebbcast::test {

// A tmpfs of a few hundred kilobytes mounted for one test, to make real writes fail with a full disk.
// Mounting needs root; isMounted() tells whether it worked (tests skip otherwise).
class SmallDisk {
public:
    SmallDisk(const QString& mountPoint, int kilobytes);
    ~SmallDisk();

    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool isMounted() const { return mounted_; }
    QString file(const QString& name) const { return mountPoint_ + u'/' + name; }
    // Unmounts early, for example to read back what was written first.
    void unmount();

private:
    QString mountPoint_;
    bool mounted_ = false;
};

} // namespace ebbcast::test
