#include "platform/Shell.h"

#include "platform/Locations.h"

#include <QProcess>

#include <mutex>

namespace {
class CDesktopShell : public IShell {
public:
    bool Open(const CAtlString& address) override { return ShellOpen(address); }
    bool StartDetached(const CAtlString& program, const QStringList& arguments) override {
        return QProcess::startDetached(program, arguments);
    }
};

std::mutex g_mutex;
std::shared_ptr<IShell> g_shell;
} // namespace

std::shared_ptr<IShell> GetShell() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_shell)
        g_shell = std::make_shared<CDesktopShell>();
    return g_shell;
}

void SetShell(std::shared_ptr<IShell> shell) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_shell = std::move(shell);
}
