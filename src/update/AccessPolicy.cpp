#include "update/AccessPolicy.h"

#include "platform/Registry.h"

bool IsInternetAccessAllowed(uint32_t mask) {
    const uint32_t value =
        RegQueryDword(HKEY_LOCAL_MACHINE, QStringLiteral("SOFTWARE\\ORVEX Technologies\\ACC"),
                      QStringLiteral("InternetAccess"), 15);
    if (value == 15)
        return true;
    return (value & mask) == mask;
}
