#pragma once

#include <cstdint>

// The administrator's internet-access policy: a bit mask under the machine key, where an
// absent value (15) allows everything. True when every bit of mask is granted.
bool IsInternetAccessAllowed(uint32_t mask);
