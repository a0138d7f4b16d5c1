#include "platform/DataFile.h"

#include "platform/Locations.h"
#include "platform/Registry.h"

FilePath LocateDataFile(const CAtlString& name) {
    FilePath path(name);
    if (path.IsRelative())
        path = ModuleFolder().Join(name);
    if (path.Exists())
        return path;
    CAtlString common;
    if (RegQueryString(HKEY_LOCAL_MACHINE,
                       QStringLiteral("SOFTWARE\\Microsoft\\Windows\\CurrentVersion"),
                       QStringLiteral("CommonFilesDir"), common)) {
        if (!common.endsWith(u'\\'))
            common += u'\\';
        return FilePath(common + QStringLiteral("ORVEX Technologies\\ORVEX Product Update\\") +
                        name);
    }
    // Linux has no common-files folder in the registry; the shared data folder is already
    // the program's own, so the name goes directly into it.
    return SharedDataFolder().Join(name);
}
