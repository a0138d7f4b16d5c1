#include "app/SingleInstance.h"

#include "platform/ErrorCodes.h"

CSingleInstance::CSingleInstance(const CAtlString& name, QChar suffix,
                                 std::unique_ptr<INamedMutex> mutex)
    : m_mutex(std::move(mutex)) {
    m_lastError = m_mutex->Create(name + suffix);
    // A lock that cannot be made for any other reason must not keep the user from updating.
    m_firstInstance = m_lastError != ERROR_ALREADY_EXISTS && m_lastError != ERROR_ACCESS_DENIED;
}
