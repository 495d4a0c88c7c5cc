// Access to the installer's databases: the running installation's active database or a
// package file, and views over their tables.
#pragma once

#include "session/owned.h"

#include <msiquery.h>

#include <string>
#include <vector>

class InstallSession;

class PackageDatabase {
public:
    PackageDatabase() = default;
    // The running installation's active database; empty when the installer has none.
    // The database keeps the session for its log: the session must outlive it.
    explicit PackageDatabase(const InstallSession& session);
    explicit PackageDatabase(const InstallSession&& session) = delete;

    // Opens a package file read-only; the path is UTF-8. Not in the library (session/database_file.cpp).
    bool OpenPackageFile(const std::string& path);
    MSIHANDLE handle() const;
    // Writes to the log of the session the database belongs to, if any.
    void Log(const std::string& text) const;

private:
    mutable MsiHandle db_;
    const InstallSession* session_ = nullptr;
    mutable bool asked_ = false;
};

// A WHERE clause of column = value comparisons joined by AND. The values travel to the
// installer as query parameters, never as query text, so no value can change what a query
// selects, whatever quotes it holds and however long it is.
class Filter {
public:
    Filter() = default;  // no filter: every row
    Filter(const char* column, const std::string& value) { And(column, value); }
    Filter& And(const char* column, const std::string& value);

    bool empty() const { return text_.empty(); }
    const std::string& text() const { return text_; }
    const std::vector<std::string>& values() const { return values_; }

private:
    std::string text_;
    std::vector<std::string> values_;
};

// One executed query with its current row. A view that failed to open behaves as a table
// without rows.
class TableView {
public:
    TableView() = default;
    TableView(const TableView&) = delete;
    TableView& operator=(const TableView&) = delete;

    // SELECT * FROM `table` [WHERE filter] [ORDER BY `orderColumn`]. A query that does not
    // fit the query buffer, or that the installer rejects, leaves the view not open.
    bool Open(const PackageDatabase& db, const char* table, const char* orderColumn = nullptr,
              const Filter& filter = Filter());

    bool Fetch();
    // The field's text, or none when it is null or empty.
    OwnedString GetString(int column) const;
    // The field's integer; a null field reads as MSI_NULL_INTEGER.
    int GetInteger(int column) const;
    int FieldCount();
    // The names (or the installer's type codes: "s72", "I4"...) of the view's columns, in
    // order; empty when the view is not open.
    std::vector<std::string> ColumnNames() const { return ColumnInfo(MSICOLINFO_NAMES); }
    // The position (from 1) of the column of that name; 0 when the view has none.
    int ColumnOf(const char* name) const;
    std::vector<std::string> ColumnInfo(MSICOLINFO info) const;
    // Hands the current row's record to the caller, who may later change that row with it.
    MsiHandle TakeRecord() { return std::move(record_); }
    // Applies `mode` to the row `record` holds, through this view.
    bool Modify(MSIMODIFY mode, MSIHANDLE record) const;

    // Starts a new row, to be inserted as a temporary row by Commit.
    bool BeginInsert();
    bool SetString(int field, const char* text);
    bool SetInteger(int field, int value);
    // Inserts the new row; always clears it.
    bool Commit();

private:
    MsiHandle view_;
    MsiHandle record_;
    int fieldCount_ = 0;  // read on first need
    bool inserting_ = false;
};

// Every field of a record as text, in order (an empty text for null).
std::vector<std::string> RecordTexts(MSIHANDLE record);

// The query buffer: text beyond it is refused as a failed open.
constexpr std::size_t kQueryCapacity = 512;
