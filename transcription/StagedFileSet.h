#pragma once

#include <QByteArray>
#include <QLatin1StringView>
#include <QString>
#include <QStringList>

#include <functional>

namespace ebbcast {

// Replaces a set of files in one folder together. Every file is first written whole and synced under a
// staging name (".ebbcast_staged_" + its name, so uploads and readers never take it for a document), and
// only when all are staged are they renamed over their targets, in the order they were staged. Until then
// the old files stay byte for byte: a failure, or the set going out of scope without commit(), removes the
// staged files. A process that dies during the renames leaves some old and some new files and possibly
// staged ones; the next set written into the folder removes those strays first (removeStrays()) and
// replaces every file again.
// Not thread-safe; one set per folder at a time (the caller holds the session's gate).
class StagedFileSet {
public:
    static constexpr QLatin1StringView stagingPrefix{".ebbcast_staged_"};

    // Writes `bytes` as a new file at `path` and syncs it to disk; throws FileError. Replaceable so that
    // tests can make a chosen write fail.
    using FileWriter = std::function<void(const QString& path, const QByteArray& bytes)>;
    static void writeSynced(const QString& path, const QByteArray& bytes);

    explicit StagedFileSet(QString folder, FileWriter writer = writeSynced);
    ~StagedFileSet();

    StagedFileSet(const StagedFileSet&) = delete;
    StagedFileSet& operator=(const StagedFileSet&) = delete;

    // Removes staged files left in the folder by an earlier set that never finished; throws FileError
    // naming the first one that cannot be removed.
    void removeStrays() const;

    // Writes the future content of the file `name` under its staging name. Throws FileError; what was
    // staged before stays staged until commit() or destruction.
    void stage(const QString& name, const QByteArray& bytes);

    // Renames every staged file over its target, in staging order, then syncs the folder. Throws FileError
    // when a rename fails; the files not yet renamed are then removed.
    void commit();

    QString stagedPath(const QString& name) const;
    QString targetPath(const QString& name) const;

private:
    void removeStaged();

    QString folder_;
    FileWriter writer_;
    QStringList staged_; // names, in staging order
};

} // namespace ebbcast
