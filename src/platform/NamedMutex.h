#pragma once

#include "platform/AtlString.h"

#include <cstdint>

// A named lock, held from Create until the object is destroyed or the process ends in any
// way (also when it is killed).
class INamedMutex {
public:
    virtual ~INamedMutex() = default;
    // Creates the lock and returns the system error code read right after: 0 when this
    // process now holds it, 183 (already exists) when another process does, 5 (access
    // denied), or another code when the lock could not be made at all.
    virtual uint32_t Create(const CAtlString& name) = 0;
};

// Linux implementation: an exclusive flock on a file in this user's lock folder
// (LockFolder: /run/user/<uid>, or a private folder of this user's below /tmp), named by a
// digest of the lock name. The lock belongs to the user's session: another user can neither
// create, hold nor remove it, so no other user's copy (or a planted file) can stop this
// user's. The kernel releases it when the process ends in any way; the empty file stays.
// When no private folder can be had the lock is not made (another code than 183), and the
// program runs rather than let anyone else decide that it may not.
class CNamedMutex : public INamedMutex {
public:
    CNamedMutex() = default;
    CNamedMutex(const CNamedMutex&) = delete;
    CNamedMutex& operator=(const CNamedMutex&) = delete;
    ~CNamedMutex() override;

    uint32_t Create(const CAtlString& name) override;

private:
    int m_fd = -1;
};
