#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace ebbcast {

// Closes a connection to an X server (one that failed to open too).
struct XcbDisconnect {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

// Frees a reply xcb allocated for the caller.
struct XcbFreeReply {
    void operator()(void* reply) const { std::free(reply); }
};

using XcbConnection = std::unique_ptr<xcb_connection_t, XcbDisconnect>;

template <typename Reply>
using XcbReply = std::unique_ptr<Reply, XcbFreeReply>;

// Takes ownership of a reply (null when the request failed).
template <typename Reply>
XcbReply<Reply> ownedReply(Reply* reply)
{
    return XcbReply<Reply>(reply);
}

} // namespace ebbcast
