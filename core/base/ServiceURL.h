#pragma once

#include <QString>
#include <QStringView>
#include <QUrl>

namespace ebbcast {

// Whether an address may receive the application's requests (and its credentials): https, or http to a
// loopback host (a local stand-in); a valid host, no user name, no fragment.
bool isAllowedServiceURL(const QUrl& url);

// Whether an address is a web page's: http or https with a host. What may be handed to the browser.
bool isWebAddress(const QUrl& url);

// The rule above in words, to follow "<variable> must be ": "an https address, or an http address on a
// loopback host (127.0.0.1, ::1, localhost), without user name or fragment".
QString allowedServiceURLRule();

// Whether the transcription gateway setting names the offline gateway this machine runs on demand: the word
// "local" in any case, with any spaces around it. Any other value is a gateway's address (or nothing).
bool isLocalGatewayAddress(QStringView setting);

} // namespace ebbcast
