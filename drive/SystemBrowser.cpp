#include "drive/SystemBrowser.h"

#include "core/base/EbbcastError.h"

#include <QProcess>

using namespace Qt::StringLiterals;

namespace ebbcast {

void openInSystemBrowser(const QUrl& url)
{
    QProcess opener;
    opener.setProgram(u"xdg-open"_s);
    opener.setArguments({url.toString(QUrl::FullyEncoded)});
    opener.setStandardInputFile(QProcess::nullDevice());
    opener.setStandardOutputFile(QProcess::nullDevice());
    opener.setStandardErrorFile(QProcess::nullDevice());
    if (!opener.startDetached())
        throw EbbcastError(u"Could not open the browser: xdg-open could not be started."_s);
}

} // namespace ebbcast
