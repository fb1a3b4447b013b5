#include "TemporaryFolder.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// The ebbcast executable run as a user would, with its own XDG folders.
class CommandLineProcessTest : public ::testing::Test {
protected:
    std::unique_ptr<QProcess> start(const QStringList& arguments)
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_CONFIG_HOME"_s, folder_.file(u"config"_s));
        environment.insert(u"XDG_STATE_HOME"_s, folder_.file(u"state"_s));
        process->setProcessEnvironment(environment);
        process->start(QString::fromUtf8(EBBCAST_EXECUTABLE), arguments);
        return process;
    }

    int run(const QStringList& arguments, QByteArray* out = nullptr, QByteArray* err = nullptr)
    {
        auto process = start(arguments);
        EXPECT_TRUE(process->waitForFinished(20000));
        if (out)
            *out = process->readAllStandardOutput();
        if (err)
            *err = process->readAllStandardError();
        return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    }

    QJsonObject settings() const
    {
        return QJsonDocument::fromJson(
                   test::TemporaryFolder::readAll(folder_.file(u"config/Tavilon/settings.json"_s)))
            .object();
    }

    test::TemporaryFolder folder_;
};

TEST_F(CommandLineProcessTest, ExitStatusesFollowTheOutcome)
{
    QByteArray out;
    QByteArray err;
    EXPECT_EQ(run({u"--version"_s}, &out), 0);
    EXPECT_TRUE(out.startsWith("ebbcast "));
    EXPECT_EQ(run({u"settings"_s, u"set"_s, u"silenceThreshold"_s, u"0.05"_s}), 0);
    EXPECT_EQ(run({u"settings"_s, u"get"_s, u"silenceThreshold"_s}, &out), 0);
    EXPECT_EQ(out, "0.05\n");
    EXPECT_EQ(run({u"settings"_s, u"set"_s, u"silenceThreshold"_s, u"x"_s}, nullptr, &err), 2);
    EXPECT_TRUE(err.startsWith("ebbcast: invalid value"));
    EXPECT_EQ(run({u"bogus"_s}), 2);
    EXPECT_EQ(settings(), (QJsonObject{{u"silenceThreshold"_s, 0.05}}));
}

TEST_F(CommandLineProcessTest, ConcurrentProcessesSettingDifferentKeysLoseNothing)
{
    const QStringList keys = {u"recorderID"_s,   u"recorderName"_s,       u"webhookURL"_s,
                              u"clockSyncURL"_s, u"micInputDeviceName"_s, u"corvanePelkoUserID"_s};
    for (int round = 0; round < 3; ++round) {
        std::vector<std::unique_ptr<QProcess>> processes;
        for (const QString& key : keys)
            processes.push_back(start({u"settings"_s, u"set"_s, key, key + QString::number(round)}));
        for (auto& process : processes) {
            ASSERT_TRUE(process->waitForFinished(20000));
            EXPECT_EQ(process->exitCode(), 0) << process->readAllStandardError().constData();
        }
        const QJsonObject stored = settings();
        for (const QString& key : keys)
            EXPECT_EQ(stored.value(key).toString(), key + QString::number(round)) << key.toStdString();
    }
}

} // namespace
} // namespace ebbcast
