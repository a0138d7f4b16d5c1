#pragma once

#include "platform/AtlString.h"

#include <QStringList>

#include <memory>

// The desktop services the program asks for: opening an address in the user's browser and
// starting another program. Tests hand in their own to see what would have been started.
class IShell {
public:
    virtual ~IShell() = default;
    // Hands an address or path to the desktop's default application; true when it started.
    virtual bool Open(const CAtlString& address) = 0;
    // Starts program with exactly these arguments, detached and without a shell; true when
    // the program was started.
    virtual bool StartDetached(const CAtlString& program, const QStringList& arguments) = 0;
    // Starts the program open at fd (read only will do), detached and without a shell, with
    // name as its argument zero and exactly these arguments: the bytes started are the ones
    // read through fd, whatever the path it was opened by names by now. A script works too:
    // its interpreter is handed /dev/fd/N, which stays open in the started process. True
    // when the program was started; fd stays the caller's.
    virtual bool StartDetachedFile(int fd, const CAtlString& name,
                                   const QStringList& arguments) = 0;
};

// The shell every caller uses: the desktop's own by default; null goes back to it.
std::shared_ptr<IShell> GetShell();
void SetShell(std::shared_ptr<IShell> shell);
