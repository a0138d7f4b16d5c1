#include "app/SingleInstance.h"

namespace {
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorAccessDenied = 5;
} // namespace

CSingleInstance::CSingleInstance(const CAtlString& name, QChar suffix,
                                 std::unique_ptr<INamedMutex> mutex)
    : m_mutex(std::move(mutex)) {
    m_lastError = m_mutex->Create(name + suffix);
    // A lock that cannot be made for any other reason must not keep the user from updating.
    m_firstInstance = m_lastError != kErrorAlreadyExists && m_lastError != kErrorAccessDenied;
}
