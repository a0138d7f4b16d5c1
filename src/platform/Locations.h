#pragma once

#include "platform/FilePath.h"

// Where the program's files are. Each call asks the system anew; nothing is cached, so a
// test that points ORVEX_ROOT at a sandbox redirects all of them at once.
//
// With ORVEX_ROOT set, everything lives below it: the hives, the drives ("C:" is
// $ORVEX_ROOT/drive_c), the temporary folder and the shared data folders.

// Local (Linux) paths of the hive files: $ORVEX_ROOT/machine.reg or /etc/orvex/machine.reg,
// $ORVEX_ROOT/user.reg or ${XDG_CONFIG_HOME:-$HOME/.config}/orvex/user.reg.
CAtlString MachineHivePath();
CAtlString UserHivePath();

// The folder of the running executable, links resolved, or the folder given to
// OverrideModuleFolder.
FilePath ModuleFolder();
// Makes ModuleFolder answer folder; an empty path goes back to the executable's folder. For
// tests, which read the catalogue beside a program that is not the test binary.
void OverrideModuleFolder(const FilePath& folder);
// A folder only this user can change, belonging to this user and no link: $ORVEX_ROOT/tmp in
// a sandbox (made with mode 0700; one that others can write is refused), otherwise a folder
// with mode 0700 under $XDG_RUNTIME_DIR or ${TMPDIR:-/tmp}. Empty when no such folder can be
// had.
FilePath TempFolder();
// The folder of this user's locks, as a local path: a folder every copy of the program run
// by this user finds, however it was started, and no other user can enter, create, or
// change. Chosen from the user id only: /run/user/<uid> ($ORVEX_ROOT/run/user/<uid> in a
// sandbox) when it is a real folder that belongs to this user and that nobody else may
// write; otherwise "orvex-product-update-<uid>" below /tmp (below $ORVEX_ROOT in a sandbox),
// made with mode 0700 and accepted only when it belongs to this user, is no link and nobody
// else may write it. Empty when neither can be had: a folder of that name made by someone
// else is refused, never used.
CAtlString LockFolder();
// A name in TempFolder() that did not exist when chosen; nothing is created. Empty when
// there is no temporary folder.
FilePath UniqueTempFile(const CAtlString& extension, const CAtlString& baseName);
// The common application-data folder: $ORVEX_ROOT/ProgramData or /var/lib/orvex.
FilePath CommonAppDataFolder();
// The shared folder of the program's data files when the registry names no common-files
// folder: $ORVEX_ROOT/CommonFiles or /usr/share/orvex.
FilePath SharedDataFolder();
// Whether the test-mode marker file "c:\testmark.dat" exists; update information is then
// read from its test entries.
bool IsTestMode();
// Hands a path or address to the desktop's default application (xdg-open, started detached
// and without a shell); true when it started.
bool ShellOpen(const CAtlString& pathOrAddress);
