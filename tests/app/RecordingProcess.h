#pragma once

#include "core/documents/SessionMetadata.h"
#include "core/json/JsonDocumentFile.h"
#include "support/TemporaryFolder.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <memory>

namespace ebbcast::test {

// The ebbcast executable run as a user would, with its own settings and state folders and recordings in a
// temporary folder, against the Xvfb display and PulseAudio daemon of scripts/test-services.sh.
class RecordingProcessTest : public ::testing::Test {
protected:
    RecordingProcessTest() { setRecordingFolder(recordings()); }

    void setRecordingFolder(const QString& folder)
    {
        QProcess settings;
        configure(settings);
        settings.start(executable(), {QStringLiteral("settings"), QStringLiteral("set"),
                                      QStringLiteral("recordingFolderPath"), folder});
        EXPECT_TRUE(settings.waitForFinished(10000));
        EXPECT_EQ(settings.exitCode(), 0) << settings.readAllStandardError().constData();
    }

    static QString executable() { return QString::fromUtf8(EBBCAST_EXECUTABLE); }

    void configure(QProcess& process, const QProcessEnvironment& changes = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), folder_.file(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_STATE_HOME"), folder_.file(QStringLiteral("state")));
        for (const QString& key : changes.keys())
            environment.insert(key, changes.value(key));
        process.setProcessEnvironment(environment);
    }

    QString recordings() const { return folder_.file(QStringLiteral("Recordings")); }

    // Starts `ebbcast record ARGUMENTS` and returns the session folder once it records (its first line), or
    // an empty string when none came. `launched` is set when the process was started.
    QString startRecording(QProcess& record, const QStringList& arguments, QElapsedTimer* launched = nullptr,
                           const QProcessEnvironment& changes = {})
    {
        configure(record, changes);
        record.start(executable(), QStringList{QStringLiteral("record")} + arguments);
        if (launched)
            launched->start();
        QString session;
        while (session.isEmpty() || !QFileInfo(session).isDir()) {
            if (!record.canReadLine() && !record.waitForReadyRead(20000))
                return {};
            session = QString::fromLocal8Bit(record.readLine()).trimmed();
        }
        return session;
    }

    struct Finished {
        int exitCode = -1;
        QString out;
        QString err;
    };
    // Runs `ebbcast ARGUMENTS` to its end (with the environment changed by `changes`).
    Finished runEbbcast(const QStringList& arguments, const QProcessEnvironment& changes = {})
    {
        QProcess process;
        configure(process, changes);
        process.start(executable(), arguments);
        EXPECT_TRUE(process.waitForFinished(60000));
        return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed(),
                QString::fromLocal8Bit(process.readAllStandardError()).trimmed()};
    }

    static std::optional<SessionMetadata> document(const QString& sessionFolder)
    {
        const auto object = JsonDocumentFile::readObject(sessionFolder + QStringLiteral("/metadata.json"));
        return object ? SessionMetadata::fromJson(*object) : std::nullopt;
    }

    TemporaryFolder folder_;
};

} // namespace ebbcast::test
