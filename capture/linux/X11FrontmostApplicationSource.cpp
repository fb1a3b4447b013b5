#include "capture/linux/X11FrontmostApplicationSource.h"

#include "capture/linux/XcbHandles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <cstring>
#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {

struct X11FrontmostApplicationSource::Connection {
    XcbConnection xcb;
    xcb_window_t root = 0;
    xcb_atom_t activeWindow = XCB_ATOM_NONE;
    xcb_atom_t processID = XCB_ATOM_NONE;
};

namespace {

QByteArray property(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t name, xcb_atom_t type)
{
    if (name == XCB_ATOM_NONE)
        return {};
    const auto reply = ownedReply(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, name, type, 0, 1024), nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE)
        return {};
    return QByteArray(static_cast<const char*>(xcb_get_property_value(reply.get())),
                      xcb_get_property_value_length(reply.get()));
}

std::uint32_t firstCardinal(const QByteArray& bytes)
{
    if (bytes.size() < 4)
        return 0;
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.constData(), 4);
    return value;
}

QStringList defaultApplicationFolders()
{
    QStringList folders;
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (dataHome.isEmpty() || !QDir::isAbsolutePath(dataHome))
        dataHome = QDir::homePath() + u"/.local/share"_s;
    folders.append(dataHome + u"/applications"_s);
    QString dataDirs = qEnvironmentVariable("XDG_DATA_DIRS");
    if (dataDirs.isEmpty())
        dataDirs = u"/usr/local/share:/usr/share"_s;
    for (const QString& dir : dataDirs.split(u':', Qt::SkipEmptyParts))
        folders.append(dir + u"/applications"_s);
    return folders;
}

} // namespace

X11FrontmostApplicationSource::X11FrontmostApplicationSource(QString displayName,
                                                             QStringList applicationFolders)
    : displayName_(displayName.isEmpty() ? QString::fromLocal8Bit(qgetenv("DISPLAY"))
                                         : std::move(displayName))
    , applicationFolders_(applicationFolders.isEmpty() ? defaultApplicationFolders()
                                                       : std::move(applicationFolders))
{}

X11FrontmostApplicationSource::~X11FrontmostApplicationSource() = default;

bool X11FrontmostApplicationSource::connectLocked()
{
    if (connection_ && xcb_connection_has_error(connection_->xcb.get()) == 0)
        return true;
    connection_.reset();
    if (displayName_.isEmpty())
        return false;
    auto connection = std::make_unique<Connection>();
    int screenNumber = 0;
    connection->xcb.reset(xcb_connect(displayName_.toLocal8Bit().constData(), &screenNumber));
    if (xcb_connection_has_error(connection->xcb.get()) != 0)
        return false;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection->xcb.get()));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    if (screens.rem == 0)
        return false;
    connection->root = screens.data->root;
    connection->activeWindow = internAtom(connection->xcb.get(), "_NET_ACTIVE_WINDOW", true);
    connection->processID = internAtom(connection->xcb.get(), "_NET_WM_PID", true);
    connection_ = std::move(connection);
    return true;
}

std::optional<FrontmostApplication> X11FrontmostApplicationSource::frontmostApplication()
{
    const std::lock_guard lock(mutex_);
    if (!connectLocked())
        return std::nullopt;
    xcb_connection_t* xcb = connection_->xcb.get();
    const auto window = static_cast<xcb_window_t>(firstCardinal(
        property(xcb, connection_->root, connection_->activeWindow, XCB_GET_PROPERTY_TYPE_ANY)));
    if (window == XCB_WINDOW_NONE)
        return std::nullopt;

    // WM_CLASS is "instance\0class\0".
    const QList<QByteArray> wmClass =
        property(xcb, window, XCB_ATOM_WM_CLASS, XCB_GET_PROPERTY_TYPE_ANY).split('\0');
    const QString instance = QString::fromLocal8Bit(wmClass.value(0));
    const QString className = QString::fromLocal8Bit(wmClass.value(1));
    FrontmostApplication application;
    if (const auto entry = desktopEntryFor(instance, className)) {
        application.name = entry->name;
        application.identifier = entry->id;
    }
    if (application.name.isEmpty())
        application.name = className;
    if (application.identifier.isEmpty())
        application.identifier = instance;
    if (application.name.isEmpty()) {
        // No WM_CLASS: the process's own name, when the window tells its process.
        const std::uint32_t pid =
            firstCardinal(property(xcb, window, connection_->processID, XCB_GET_PROPERTY_TYPE_ANY));
        if (pid != 0) {
            QFile comm(u"/proc/%1/comm"_s.arg(pid));
            if (comm.open(QIODevice::ReadOnly))
                application.name = QString::fromLocal8Bit(comm.readAll()).trimmed();
        }
    }
    return application;
}

std::optional<X11FrontmostApplicationSource::DesktopEntry>
X11FrontmostApplicationSource::desktopEntryFor(const QString& instance, const QString& className)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!entriesReadAt_.isValid() || entriesReadAt_.secsTo(now) > 60) {
        entries_.clear();
        for (const QString& folder : applicationFolders_) {
            QDirIterator files(folder, {u"*.desktop"_s}, QDir::Files, QDirIterator::Subdirectories);
            while (files.hasNext()) {
                const QString path = files.next();
                QFile file(path);
                if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
                    continue;
                // The desktop-file id: the path below the applications folder, with "/" as "-".
                QString id = QDir(folder).relativeFilePath(path);
                id.chop(8);
                id.replace(u'/', u'-');
                DesktopEntry entry{id, {}};
                QString wmClass;
                bool inMainGroup = false;
                QTextStream lines(&file);
                while (!lines.atEnd()) {
                    const QString line = lines.readLine().trimmed();
                    if (line.startsWith(u'['))
                        inMainGroup = line == u"[Desktop Entry]";
                    else if (inMainGroup && line.startsWith(u"Name="))
                        entry.name = line.mid(5);
                    else if (inMainGroup && line.startsWith(u"StartupWMClass="))
                        wmClass = line.mid(15);
                }
                // Earlier folders take precedence, as in the XDG search order.
                const QString shortId = id.section(u'.', -1);
                for (const QString& key : {wmClass.toLower(), id.toLower(), shortId.toLower()}) {
                    if (!key.isEmpty() && !entries_.contains(key))
                        entries_.insert(key, entry);
                }
            }
        }
        entriesReadAt_ = now;
    }
    for (const QString& key : {className.toLower(), instance.toLower()}) {
        if (!key.isEmpty() && entries_.contains(key))
            return entries_.value(key);
    }
    return std::nullopt;
}

} // namespace ebbcast
