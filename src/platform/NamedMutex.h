#pragma once

#include "platform/AtlString.h"

#include <cstdint>

// A system-wide named lock, held from Create until the object is destroyed or the process
// ends in any way (also when it is killed).
class INamedMutex {
public:
    virtual ~INamedMutex() = default;
    // Creates the lock and returns the system error code read right after: 0 when this
    // process now holds it, 183 (already exists) when another process does, 5 (access
    // denied), or another code when the lock could not be made at all.
    virtual uint32_t Create(const CAtlString& name) = 0;
};

// Linux implementation: an abstract-namespace Unix socket bound to a name derived from the
// lock name. Binding is atomic across processes, needs no file that could be left behind,
// and the kernel releases the name when the last descriptor closes.
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
