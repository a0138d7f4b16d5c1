#pragma once

// Fetching ahead (CurlHttpClient::StartPrefetch): a batch of planned requests run at once on a
// thread of its own, whose outcomes wait for the request that would send the same.

#include "net/CurlTransfer.h"

namespace CurlClient {
// Sets up a transfer that runs in the batch: its handshake and stall limit are watched from
// the batch's loop rather than by the thread that sends it.
void WatchFetchedAhead(Request& request);

// Gives request the outcome of the same request fetched ahead, when there is one.
bool TakeFetchedAhead(Request& request);
} // namespace CurlClient
