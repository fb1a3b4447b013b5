#include "drive/GoogleEndpoints.h"

#include "core/base/ServiceURL.h"

#include <QProcessEnvironment>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QUrl overriddenURL(const QProcessEnvironment& environment, const QString& variable, const QUrl& fallback)
{
    if (!environment.contains(variable))
        return fallback;
    const QString text = environment.value(variable).trimmed();
    const QUrl url(text, QUrl::StrictMode);
    if (!isAllowedServiceURL(url))
        throw GoogleEndpointsError(variable + u" must be "_s + allowedServiceURLRule() + u'.');
    return url;
}

quint16 readRedirectPort(const QProcessEnvironment& environment, quint16 fallback)
{
    const QString variable = u"EBBCAST_OAUTH_REDIRECT_PORT"_s;
    if (!environment.contains(variable))
        return fallback;
    const QString text = environment.value(variable).trimmed();
    bool ok = false;
    const uint port = text.toUInt(&ok, 10);
    const bool digitsOnly = !text.isEmpty() && std::all_of(text.begin(), text.end(),
                                                           [](QChar c) { return c >= u'0' && c <= u'9'; });
    if (!ok || !digitsOnly || port > 65535)
        throw GoogleEndpointsError(variable +
                                   u" must be a port number from 0 to 65535 (0: any free port)."_s);
    return static_cast<quint16>(port);
}

} // namespace

GoogleEndpoints GoogleEndpoints::defaults()
{
    GoogleEndpoints endpoints;
    endpoints.authorizationURL = QUrl(u"https://accounts.google.com/o/oauth2/v2/auth"_s);
    endpoints.tokenURL = QUrl(u"https://oauth2.googleapis.com/token"_s);
    endpoints.apiURL = QUrl(u"https://www.googleapis.com"_s);
    endpoints.driveWebURL = QUrl(u"https://drive.google.com"_s);
    endpoints.redirectPort = 53682;
    return endpoints;
}

GoogleEndpoints GoogleEndpoints::fromEnvironment(const QProcessEnvironment& environment)
{
    GoogleEndpoints endpoints = defaults();
    endpoints.authorizationURL =
        overriddenURL(environment, u"EBBCAST_GOOGLE_AUTH_URL"_s, endpoints.authorizationURL);
    endpoints.tokenURL = overriddenURL(environment, u"EBBCAST_GOOGLE_TOKEN_URL"_s, endpoints.tokenURL);
    endpoints.apiURL = overriddenURL(environment, u"EBBCAST_GOOGLE_API_URL"_s, endpoints.apiURL);
    endpoints.driveWebURL = overriddenURL(environment, u"EBBCAST_DRIVE_WEB_URL"_s, endpoints.driveWebURL);
    endpoints.redirectPort = readRedirectPort(environment, endpoints.redirectPort);
    return endpoints;
}

bool GoogleEndpoints::isApiOrigin(const QUrl& url) const
{
    const auto defaultPort = [](const QUrl& u) {
        return u.port(u.scheme().toLower() == u"https"_s ? 443 : 80);
    };
    return url.isValid() && url.scheme().compare(apiURL.scheme(), Qt::CaseInsensitive) == 0 &&
           url.host().compare(apiURL.host(), Qt::CaseInsensitive) == 0 &&
           defaultPort(url) == defaultPort(apiURL) && url.userInfo().isEmpty();
}

} // namespace ebbcast
