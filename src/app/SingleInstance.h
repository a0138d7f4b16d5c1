#pragma once

#include "platform/AtlString.h"
#include "platform/NamedMutex.h"

#include <cstdint>
#include <memory>

// Guards against a second copy of the program in the same user's session: holds the named
// lock for its lifetime. Other users' copies run beside it (CNamedMutex).
class CSingleInstance {
public:
    // The lock is named by name followed by suffix. A test may hand in its own lock.
    CSingleInstance(const CAtlString& name, QChar suffix,
                    std::unique_ptr<INamedMutex> mutex = std::make_unique<CNamedMutex>());

    bool IsFirstInstance() const { return m_firstInstance; }
    uint32_t LastError() const { return m_lastError; }

private:
    bool m_firstInstance = true;
    std::unique_ptr<INamedMutex> m_mutex;
    uint32_t m_lastError = 0;
};
