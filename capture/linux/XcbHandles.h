#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
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

// The atom of a name; XCB_ATOM_NONE when the request fails, or, with `onlyIfExists`, when no client has made
// the atom yet (a property nobody set cannot be there).
inline xcb_atom_t internAtom(xcb_connection_t* connection, const char* name, bool onlyIfExists)
{
    const auto reply =
        ownedReply(xcb_intern_atom_reply(connection,
                                         xcb_intern_atom(connection, onlyIfExists ? 1 : 0,
                                                         static_cast<std::uint16_t>(std::strlen(name)), name),
                                         nullptr));
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

} // namespace ebbcast
