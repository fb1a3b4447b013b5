#include "drive/OAuthCallbackRequest.h"

#include "drive/OAuthEncoding.h"

#include <QList>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

const QString signedInMessage = u"Ebbcast received the Google sign-in response. You can close this tab."_s;
const QString failedMessage = u"Ebbcast sign-in failed. You can close this tab."_s;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Error";
    }
}

QByteArray httpReply(int status, const QString& message, const QString& detail)
{
    QString body =
        u"<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Ebbcast</title></head><body><h2>"_s +
        OAuthEncoding::htmlEscape(message) + u"</h2>"_s;
    if (!detail.isEmpty())
        body += u"<p>"_s + OAuthEncoding::htmlEscape(detail) + u"</p>"_s;
    body += u"</body></html>"_s;
    const QByteArray bytes = body.toUtf8();
    QByteArray reply = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    reply += "Content-Type: text/html; charset=utf-8\r\n";
    reply += "Content-Length: " + QByteArray::number(bytes.size()) + "\r\n";
    reply += "Cache-Control: no-store\r\n";
    reply += "Connection: close\r\n";
    if (status == 405)
        reply += "Allow: GET\r\n";
    reply += "\r\n";
    return reply + bytes;
}

OAuthCallbackRequest::Answer keepWaiting(int status, const QString& message)
{
    OAuthCallbackRequest::Answer answer;
    answer.status = status;
    answer.message = message;
    return answer;
}

OAuthCallbackRequest::Answer failed(int status, GoogleAuthErrorCode error, const QString& googleText = {})
{
    OAuthCallbackRequest::Answer answer;
    answer.status = status;
    answer.outcome = OAuthCallbackRequest::Outcome::failed;
    answer.error = error;
    answer.message = failedMessage;
    answer.googleText = googleText;
    return answer;
}

// The second word of "METHOD TARGET HTTP/1.x", with single spaces; nothing for anything else.
std::optional<std::pair<QByteArrayView, QByteArrayView>> requestLine(QByteArrayView head)
{
    const qsizetype end = head.indexOf(QByteArrayView("\r\n"));
    const QByteArrayView line = end < 0 ? head : head.first(end);
    const qsizetype first = line.indexOf(' ');
    if (first <= 0)
        return std::nullopt;
    const qsizetype second = line.indexOf(' ', first + 1);
    if (second <= first + 1)
        return std::nullopt;
    const QByteArrayView method = line.first(first);
    const QByteArrayView target = line.sliced(first + 1, second - first - 1);
    const QByteArrayView version = line.sliced(second + 1);
    if (version != QByteArrayView("HTTP/1.1") && version != QByteArrayView("HTTP/1.0"))
        return std::nullopt;
    for (const char c : method) {
        if (c < 'A' || c > 'Z')
            return std::nullopt;
    }
    if (!target.startsWith('/'))
        return std::nullopt;
    for (const char c : target) {
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            return std::nullopt;
    }
    return std::pair{method, target};
}

} // namespace

QByteArray OAuthCallbackRequest::Answer::reply() const
{
    return httpReply(status, message, googleText);
}

OAuthCallbackRequest::Answer OAuthCallbackRequest::answer(QByteArrayView head, const QString& expectedState)
{
    const auto line = requestLine(head);
    if (!line)
        return keepWaiting(400, u"Bad request."_s);
    const auto [method, target] = *line;
    const qsizetype question = target.indexOf('?');
    const QByteArrayView path = question < 0 ? target : target.first(question);
    if (path != QByteArrayView("/callback"))
        return keepWaiting(404, u"Not found."_s);
    if (method != QByteArrayView("GET"))
        return keepWaiting(405, u"Method not allowed."_s);

    const auto fields =
        OAuthEncoding::decodeForm(question < 0 ? QByteArrayView() : target.sliced(question + 1));
    if (!fields)
        return failed(400, GoogleAuthErrorCode::invalidCallback);
    bool ambiguous = false;
    const auto state = OAuthEncoding::single(*fields, u"state"_s, ambiguous);
    if (!state || expectedState.isEmpty() || *state != expectedState)
        return failed(400, GoogleAuthErrorCode::invalidState);

    const auto error = OAuthEncoding::single(*fields, u"error"_s, ambiguous);
    if (error || ambiguous) {
        bool unused = false;
        const QString description =
            OAuthEncoding::single(*fields, u"error_description"_s, unused).value_or(QString());
        const QString googleText =
            error.value_or(QString()) + (description.isEmpty() ? QString() : u": "_s + description);
        if (error == u"access_denied"_s)
            return failed(200, GoogleAuthErrorCode::accessDenied, googleText);
        return failed(400, GoogleAuthErrorCode::invalidCallback, googleText);
    }

    const auto code = OAuthEncoding::single(*fields, u"code"_s, ambiguous);
    if (!code || code->isEmpty())
        return failed(400, GoogleAuthErrorCode::invalidCallback);
    Answer answer;
    answer.status = 200;
    answer.outcome = Outcome::callback;
    answer.callback = OAuthCallbackResponse{*code, *state};
    answer.message = signedInMessage;
    return answer;
}

QByteArray OAuthCallbackRequest::headersTooLarge()
{
    return httpReply(431, u"Request headers too large."_s, QString());
}

QByteArray OAuthCallbackRequest::alreadyAnswered()
{
    return httpReply(409, u"This sign-in has already been answered. You can close this tab."_s, QString());
}

} // namespace ebbcast
