#include "session/database.h"

#include "session/install_session.h"

#include <msiquery.h>

PackageDatabase::PackageDatabase(const InstallSession& session)
    : db_(MsiGetActiveDatabase(session.handle())), session_(&session)
{
}

void PackageDatabase::Log(const std::string& text) const
{
    if (session_) session_->Log(text);
}

bool PackageDatabase::OpenPackageFile(const char* path)
{
    return MsiOpenDatabaseA(path, MSIDBOPEN_READONLY, db_.put()) == ERROR_SUCCESS;
}

void Filter::Compare(const char* column)
{
    if (!text_.empty()) text_ += " AND ";
    text_ += "`";
    text_ += column;
}

Filter& Filter::And(const char* column, const std::string& value)
{
    Compare(column);
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

Filter& Filter::And(const char* column, int value)
{
    Compare(column);
    text_ += "`=";
    text_ += std::to_string(value);
    return *this;
}

bool TableView::Open(const PackageDatabase& db, const char* table, const char* orderColumn, const Filter& filter)
{
    view_.reset();
    record_.reset();
    fieldCount_ = 0;
    mode_ = ChangeMode::None;
    BoundedText query(kQueryCapacity);
    query.append("SELECT * FROM `").append(table).append("`");
    if (!filter.empty()) query.append(" WHERE ").append(filter.text());
    if (orderColumn) query.append(" ORDER BY `").append(orderColumn).append("`");
    if (!query.ok()) return false;

    if (MsiDatabaseOpenViewA(db.handle(), query.c_str(), view_.put()) != ERROR_SUCCESS) {
        view_.reset();
        return false;
    }
    MsiHandle params;
    if (!filter.values().empty()) {
        params.reset(MsiCreateRecord(static_cast<UINT>(filter.values().size())));
        UINT field = 1;
        for (const std::string& value : filter.values())
            if (!params || MsiRecordSetStringA(params.get(), field++, value.c_str()) != ERROR_SUCCESS) {
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

std::vector<std::string> RecordTexts(MSIHANDLE record)
{
    std::vector<std::string> texts;
    UINT count = MsiRecordGetFieldCount(record);
    for (UINT field = 1; field <= count; ++field)
        texts.push_back(ReadInstallerText([&](char* buffer, DWORD* size) {
                            return MsiRecordGetStringA(record, field, buffer, size);
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
    return ReadInstallerText([&](char* buffer, DWORD* size) {
        return MsiRecordGetStringA(record_.get(), static_cast<UINT>(column), buffer, size);
    });
}

int TableView::GetInteger(int column) const
{
    return MsiRecordGetInteger(record_.get(), static_cast<UINT>(column));
}

bool TableView::BeginInsert()
{
    record_.reset(MsiCreateRecord(static_cast<UINT>(FieldCount())));
    mode_ = ChangeMode::InsertTemporary;
    return static_cast<bool>(record_);
}

bool TableView::MarkReplace()
{
    mode_ = ChangeMode::Replace;
    return true;
}

bool TableView::MarkDelete()
{
    mode_ = ChangeMode::Delete;
    return true;
}

bool TableView::SetString(int field, const char* text)
{
    return MsiRecordSetStringA(record_.get(), static_cast<UINT>(field), text) == ERROR_SUCCESS;
}

bool TableView::SetInteger(int field, int value)
{
    return MsiRecordSetInteger(record_.get(), static_cast<UINT>(field), value) == ERROR_SUCCESS;
}

bool TableView::Commit()
{
    bool applied = mode_ != ChangeMode::None && Modify(static_cast<MSIMODIFY>(mode_), record_.get());
    mode_ = ChangeMode::None;
    record_.reset();
    return applied;
}
