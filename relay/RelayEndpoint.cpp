#include "relay/RelayEndpoint.h"

#include "core/base/BuildInfo.h"
#include "core/base/Logger.h"
#include "core/base/ServiceURL.h"

#include <QProcessEnvironment>

#include <atomic>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

const QString variableName = u"EBBCAST_RELAY_URL"_s;

} // namespace

RelayEndpoint RelayEndpoint::resolve(const QProcessEnvironment& environment, const QString& compiledURL)
{
    const bool fromEnvironment = environment.contains(variableName);
    const QString text = (fromEnvironment ? environment.value(variableName) : compiledURL).trimmed();
    RelayEndpoint endpoint;
    if (text.isEmpty()) {
        endpoint.logLine = u"Corvane Pelko relay is not configured (" + variableName +
                           u" is empty); no relay "
                           u"notifications are sent"_s;
        return endpoint;
    }
    const QUrl url(text, QUrl::StrictMode);
    if (!isAllowedServiceURL(url)) {
        endpoint.status = Status::refused;
        endpoint.logLine = u"Corvane Pelko relay address refused: "_s + variableName +
                           (fromEnvironment ? u""_s : u" (build setting)"_s) + u" must be "_s +
                           allowedServiceURLRule() + u"; no relay notifications are sent"_s;
        return endpoint;
    }
    endpoint.status = Status::configured;
    endpoint.url = url;
    return endpoint;
}

RelayEndpoint RelayEndpoint::fromProcess(Logger& logger)
{
    static std::atomic_bool logged{false};
    RelayEndpoint endpoint =
        resolve(QProcessEnvironment::systemEnvironment(), QString::fromUtf8(BuildInfo::relayURL));
    if (endpoint.status != Status::configured && !logged.exchange(true)) {
        if (endpoint.status == Status::refused)
            logger.error(endpoint.logLine);
        else
            logger.info(endpoint.logLine);
    }
    return endpoint;
}

} // namespace ebbcast
