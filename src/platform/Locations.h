#pragma once

#include "platform/FilePath.h"

// Where the program's files are. Each call asks the system anew; nothing is cached.
FilePath ModuleFolder();
FilePath TempFolder();
// A name in TempFolder() that did not exist when chosen; nothing is created.
FilePath UniqueTempFile(const CAtlString& extension, const CAtlString& baseName);
FilePath LocateDataFile(const CAtlString& name);
// Hands a path or address to the desktop's default application; true when it started.
bool ShellOpen(const CAtlString& pathOrAddress);
