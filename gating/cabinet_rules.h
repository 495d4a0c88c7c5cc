// The package's cabinet rules (SearchCabinet): which host releases and functions can be
// installed from this source, and the switching of their features.
#pragma once

#include "session/owned.h"

#include <string>

class PackageDatabase;

// True when a file or folder exists at SourceRoot followed directly by the relative path.
bool CabinetPresent(const std::string& relativePath);

// True when every nonzero rule group of the selected rows has a satisfied row and at least
// one row counts. An absent argument selects on nothing; an empty text is a value.
bool EvaluateCabinetRules(const PackageDatabase& db, const OwnedString& property, const OwnedString& function);

void DisableFeaturesOfProperty(const PackageDatabase& db, const OwnedString& property);
void RestoreFeaturesOfProperty(const PackageDatabase& db, const OwnedString& property);
void DisableFeaturesOfFunction(const PackageDatabase& db, const OwnedString& function);
void RestoreFeaturesOfFunction(const PackageDatabase& db, const OwnedString& function);
