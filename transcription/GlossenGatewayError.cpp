#include "transcription/GlossenGatewayError.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString describe(GlossenGatewayError::Code code, const QString& message)
{
    switch (code) {
    case GlossenGatewayError::Code::requestFailed:
        return u"Glossen Gateway request failed: "_s + message;
    case GlossenGatewayError::Code::invalidBaseURL:
        return u"Glossen Gateway base URL is invalid."_s;
    case GlossenGatewayError::Code::missingToken:
        return u"Glossen Gateway token is missing."_s;
    case GlossenGatewayError::Code::invalidToken:
        return u"Glossen Gateway token is invalid."_s;
    case GlossenGatewayError::Code::invalidIdentifier:
        return u"Glossen Gateway identifier \""_s + message + u"\" cannot be used in a request."_s;
    }
    return {};
}

} // namespace

GlossenGatewayError::GlossenGatewayError(Code code)
    : GlossenGatewayError(code, QString())
{}

GlossenGatewayError::GlossenGatewayError(Code code, QString message)
    : CodedError(code, describe(code, message))
    , message_(std::move(message))
{}

GlossenGatewayError GlossenGatewayError::requestFailed(const QString& message)
{
    return GlossenGatewayError(Code::requestFailed, message);
}

GlossenGatewayError GlossenGatewayError::invalidIdentifier(const QString& identifier)
{
    return GlossenGatewayError(Code::invalidIdentifier, identifier);
}

} // namespace ebbcast
