// Opening a package file through the installer's engine: for the checker and the setup
// program only. Windows forbids it inside a custom action, so the library never links this
// file (its import alone would be in the DLL).
#include "session/database.h"

#include <msiquery.h>

bool PackageDatabase::OpenPackageFile(const std::string& path)
{
    // MSIDBOPEN_READONLY is a null persist path, typed for the ANSI call.
    return MsiOpenDatabaseW(Wide(path).c_str(), nullptr, db_.put()) == ERROR_SUCCESS;
}
