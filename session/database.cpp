#include "session/database.h"

#include "session/install_session.h"

#include <msiquery.h>

#include <algorithm>

PackageDatabase::PackageDatabase(const InstallSession& session) : session_(&session) {}

MSIHANDLE PackageDatabase::handle() const
{
    // The active database is taken when first used: an action with nothing to read or write
    // in the tables makes no call for it.
    if (!db_ && session_ && !asked_) {
        asked_ = true;
        db_.reset(MsiGetActiveDatabase(session_->handle()));
    }
    return db_.get();
}

void PackageDatabase::Log(const std::string& text) const
{
    if (session_) session_->Log(text);
}

Filter& Filter::And(const char* column, const std::string& value)
{
    if (!text_.empty()) text_ += " AND ";
    text_ += "`";
    text_ += column;
    // The installer stores an empty text as null, and a null parameter matches nothing;
    // the empty literal is the one comparison that selects those fields.
    if (value.empty()) {
        text_ += "`=''";
        return *this;
    }
    text_ += "`=?";
    values_.push_back(value);
    return *this;
}

bool TableView::Open(const PackageDatabase& db, const char* table, const char* orderColumn, const Filter& filter)
{
    view_.reset();
    record_.reset();
    fieldCount_ = 0;
    inserting_ = false;
    BoundedText query(kQueryCapacity);
    query.append("SELECT * FROM `").append(table).append("`");
    if (!filter.empty()) query.append(" WHERE ").append(filter.text());
    if (orderColumn) query.append(" ORDER BY `").append(orderColumn).append("`");
    if (!query.ok()) return false;

    if (MsiDatabaseOpenViewW(db.handle(), Wide(query.str()).c_str(), view_.put()) != ERROR_SUCCESS) {
        view_.reset();
        return false;
    }
    MsiHandle params;
    if (!filter.values().empty()) {
        params.reset(MsiCreateRecord(static_cast<UINT>(filter.values().size())));
        UINT field = 1;
        for (const std::string& value : filter.values())
            if (!params || MsiRecordSetStringW(params.get(), field++, Wide(value).c_str()) != ERROR_SUCCESS) {
                view_.reset();
                return false;
            }
    }
    if (MsiViewExecute(view_.get(), params.get()) != ERROR_SUCCESS) {
        view_.reset();
        return false;
    }
    return true;
}

int TableView::ColumnOf(const char* name) const
{
    std::vector<std::string> names = ColumnNames();
    auto found = std::find(names.begin(), names.end(), name);
    return found == names.end() ? 0 : static_cast<int>(found - names.begin()) + 1;
}

std::vector<std::string> RecordTexts(MSIHANDLE record)
{
    std::vector<std::string> texts;
    UINT count = MsiRecordGetFieldCount(record);
    for (UINT field = 1; field <= count; ++field)
        texts.push_back(ReadInstallerText([&](wchar_t* buffer, DWORD* size) {
                            return MsiRecordGetStringW(record, field, buffer, size);
                        }).value_or(std::string()));
    return texts;
}

std::vector<std::string> TableView::ColumnInfo(MSICOLINFO info) const
{
    MsiHandle record;
    if (!view_ || MsiViewGetColumnInfo(view_.get(), info, record.put()) != ERROR_SUCCESS) return {};
    return RecordTexts(record.get());
}

bool TableView::Modify(MSIMODIFY mode, MSIHANDLE record) const
{
    return view_ && MsiViewModify(view_.get(), mode, record) == ERROR_SUCCESS;
}

int TableView::FieldCount()
{
    if (fieldCount_ == 0) fieldCount_ = static_cast<int>(ColumnNames().size());
    return fieldCount_;
}

bool TableView::Fetch()
{
    record_.reset();
    if (!view_) return false;
    return MsiViewFetch(view_.get(), record_.put()) == ERROR_SUCCESS;
}

OwnedString TableView::GetString(int column) const
{
    return ReadInstallerText([&](wchar_t* buffer, DWORD* size) {
        return MsiRecordGetStringW(record_.get(), static_cast<UINT>(column), buffer, size);
    });
}

int TableView::GetInteger(int column) const
{
    return MsiRecordGetInteger(record_.get(), static_cast<UINT>(column));
}

bool TableView::BeginInsert()
{
    record_.reset(MsiCreateRecord(static_cast<UINT>(FieldCount())));
    inserting_ = static_cast<bool>(record_);
    return inserting_;
}

bool TableView::SetString(int field, const char* text)
{
    return MsiRecordSetStringW(record_.get(), static_cast<UINT>(field), Wide(text).c_str()) == ERROR_SUCCESS;
}

bool TableView::SetInteger(int field, int value)
{
    return MsiRecordSetInteger(record_.get(), static_cast<UINT>(field), value) == ERROR_SUCCESS;
}

bool TableView::Commit()
{
    bool applied = inserting_ && Modify(MSIMODIFY_INSERT_TEMPORARY, record_.get());
    inserting_ = false;
    record_.reset();
    return applied;
}
