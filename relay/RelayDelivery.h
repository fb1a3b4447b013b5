#pragma once

namespace ebbcast {

// The outcome of one relay operation: delivered (now or before), not configured (no endpoint, token or
// recorder ID: nothing was sent and nothing will be), or failed (kept in the session's outbox when it could
// be saved, and sent again by the session's next operation or resumePendingRelayEvents).
enum class RelayDelivery { delivered, notConfigured, failed };

} // namespace ebbcast
