#include "core/base/ServiceURL.h"

#include <QHostAddress>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

bool isLoopbackHost(const QString& host)
{
    if (host.compare(u"localhost"_s, Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

} // namespace

bool isAllowedServiceURL(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    const bool secure = scheme == u"https"_s;
    const bool loopbackHttp = scheme == u"http"_s && isLoopbackHost(url.host());
    return url.isValid() && !url.host().isEmpty() && url.userInfo().isEmpty() && !url.hasFragment() &&
           (secure || loopbackHttp);
}

bool isWebAddress(const QUrl& url)
{
    return url.isValid() && (url.scheme() == u"http"_s || url.scheme() == u"https"_s) &&
           !url.host().isEmpty();
}

QString allowedServiceURLRule()
{
    return u"an https address, or an http address on a loopback host (127.0.0.1, ::1, localhost), without "
           u"user name or fragment"_s;
}

bool isLocalGatewayAddress(QStringView setting)
{
    return setting.trimmed().compare(u"local", Qt::CaseInsensitive) == 0;
}

} // namespace ebbcast
