#pragma once

#include "support/FakeGoogleOAuth.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>

namespace ebbcast::test {

// The environment of an `ebbcast` child that signs in through `oauth`: a private HOME in `folder` whose
// settings hold the fake's client (plus `settings`), the browser stand-in first on PATH (it logs each launch
// to browser.log in `folder`), and the fake's sign-in addresses with any free port for the redirect.
inline QProcessEnvironment googleCommandEnvironment(const TemporaryFolder& folder,
                                                    const FakeGoogleOAuth& oauth, QJsonObject settings = {})
{
    settings.insert(QStringLiteral("googleClientID"), oauth.config().clientID);
    settings.insert(QStringLiteral("googleClientSecret"), oauth.config().clientSecret);
    QDir().mkpath(folder.file(QStringLiteral("home/.config/Tavilon")));
    TemporaryFolder::writeAll(folder.file(QStringLiteral("home/.config/Tavilon/settings.json")),
                              QJsonDocument(settings).toJson());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), folder.file(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), folder.file(QStringLiteral("home/.config")));
    environment.insert(QStringLiteral("XDG_STATE_HOME"), folder.file(QStringLiteral("home/.local/state")));
    environment.insert(QStringLiteral("PATH"), QString::fromUtf8(EBBCAST_TEST_BROWSER_DIR) + u':' +
                                                   environment.value(QStringLiteral("PATH")));
    environment.insert(QStringLiteral("EBBCAST_TEST_BROWSER_LOG"),
                       folder.file(QStringLiteral("browser.log")));
    environment.insert(QStringLiteral("EBBCAST_GOOGLE_AUTH_URL"), oauth.authorizationURL().toString());
    environment.insert(QStringLiteral("EBBCAST_GOOGLE_TOKEN_URL"), oauth.tokenURL().toString());
    environment.insert(QStringLiteral("EBBCAST_OAUTH_REDIRECT_PORT"), QStringLiteral("0"));
    return environment;
}

} // namespace ebbcast::test
