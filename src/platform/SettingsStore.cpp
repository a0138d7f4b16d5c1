#include "platform/SettingsStore.h"

#include "platform/FileSettingsStore.h"

#include <mutex>

namespace {
std::mutex& StoreMutex() {
    static std::mutex mutex;
    return mutex;
}
std::shared_ptr<ISettingsStore>& CurrentStore() {
    static std::shared_ptr<ISettingsStore> store;
    return store;
}
} // namespace

std::shared_ptr<ISettingsStore> GetSettingsStore() {
    std::lock_guard<std::mutex> lock(StoreMutex());
    if (!CurrentStore())
        CurrentStore() = std::make_shared<CFileSettingsStore>();
    return CurrentStore();
}

void SetSettingsStore(std::shared_ptr<ISettingsStore> store) {
    std::lock_guard<std::mutex> lock(StoreMutex());
    CurrentStore() = std::move(store);
}
