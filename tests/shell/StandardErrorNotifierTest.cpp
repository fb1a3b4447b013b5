#include "shell/StandardErrorNotifier.h"

#include "shell/TeeNotifier.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <utility>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

TEST(StandardErrorNotifier, WritesOneLinePerNotification)
{
    QByteArrayList lines;
    StandardErrorNotifier notifier([&](const QByteArray& line) { lines.append(line); });
    notifier.showNotification(u"Upload complete"_s, u"Session on Drive: <b>ünïcode</b> & more"_s,
                              UserNotifier::Kind::information);
    notifier.showNotification(u"Upload\nfailed"_s, u"Drive said:\r\nquota exceeded\n"_s,
                              UserNotifier::Kind::failure);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], u"Ebbcast: Upload complete: Session on Drive: <b>ünïcode</b> & more\n"_s.toUtf8())
        << "plain text, UTF-8";
    EXPECT_EQ(lines[1], "Ebbcast: Upload failed: Drive said: quota exceeded \n")
        << "line breaks become spaces";
}

class RecordingNotifier final : public UserNotifier {
public:
    RecordingNotifier(QStringList& log, QString name)
        : log_(log)
        , name_(std::move(name))
    {}

    void showNotification(const QString& title, const QString& body, Kind kind) override
    {
        log_.append(
            u"%1 %2 %3 %4"_s.arg(name_, title, body, kind == Kind::failure ? u"failure"_s : u"info"_s));
    }

private:
    QStringList& log_;
    QString name_;
};

TEST(TeeNotifier, ShowsEachNotificationThroughBothInOrder)
{
    QStringList log;
    RecordingNotifier desktop(log, u"desktop"_s);
    RecordingNotifier standardError(log, u"stderr"_s);
    TeeNotifier tee(desktop, standardError);
    tee.showNotification(u"A"_s, u"a"_s, UserNotifier::Kind::information);
    tee.showNotification(u"B"_s, u"b"_s, UserNotifier::Kind::failure);
    EXPECT_EQ(log, (QStringList{u"desktop A a info"_s, u"stderr A a info"_s, u"desktop B b failure"_s,
                                u"stderr B b failure"_s}));
}

} // namespace
} // namespace ebbcast
