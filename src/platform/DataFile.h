#pragma once

#include "platform/FilePath.h"

// The program's data file: beside the executable when there, otherwise in the common-files
// folder the registry names, or the shared data folder (whether or not it exists there).
// Kept apart from the locations because it reads the registry, which sits above them.
FilePath LocateDataFile(const CAtlString& name);
