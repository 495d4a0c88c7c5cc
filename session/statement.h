// A query the installer runs many times with new parameters (an UPDATE, a DELETE), beside
// TableView, which reads. The values travel as parameters, never as query text.
#pragma once

#include "session/owned.h"

#include <msiquery.h>

#include <string>

class PackageDatabase;

class Statement {
public:
    Statement() = default;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool opened() const { return static_cast<bool>(view_); }
    // Opens the query, one ? for each parameter. A text past its bound, or one the installer
    // rejects, leaves the statement not open (to be opened again).
    bool Open(const PackageDatabase& db, const BoundedText& query);

    // Starts the parameters of the next run: `count` fields, each set from 1.
    bool Begin(UINT count);
    bool SetString(UINT field, const std::string& text);
    bool SetInteger(UINT field, int value);
    // Runs the query with the parameters set; true when the installer ran it.
    bool Run();

private:
    MsiHandle view_;
    MsiHandle params_;
    bool ran_ = false;  // the last run succeeded: its execution is to be closed before the next
};
