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
    prepared_.clear();
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

TableView::~TableView()
{
    Release();
}

void TableView::Release()
{
    record_.reset();
    own_.reset();
    if (shared_) shared_->inUse = false;
    shared_ = nullptr;
    fieldCount_ = 0;
    mode_ = ChangeMode::None;
}

bool TableView::Execute(MSIHANDLE view, MSIHANDLE params, const Filter& filter)
{
    UINT field = 1;
    for (const std::string& value : filter.values())
        if (MsiRecordSetStringA(params, field++, value.c_str()) != ERROR_SUCCESS) return false;
    return MsiViewExecute(view, params) == ERROR_SUCCESS;
}

bool TableView::Open(const PackageDatabase& db, const char* table, const char* orderColumn, const Filter& filter)
{
    Release();
    BoundedText query(kQueryCapacity);
    query.append("SELECT * FROM `").append(table).append("`");
    if (!filter.empty()) query.append(" WHERE ").append(filter.text());
    if (orderColumn) query.append(" ORDER BY `").append(orderColumn).append("`");
    if (!query.ok()) return false;

    auto found = db.prepared_.find(query.str());
    if (found == db.prepared_.end()) {
        PackageDatabase::PreparedView prepared;
        if (MsiDatabaseOpenViewA(db.handle(), query.c_str(), prepared.view.put()) != ERROR_SUCCESS)
            prepared.view.reset();
        else if (!filter.values().empty())
            prepared.params.reset(MsiCreateRecord(static_cast<UINT>(filter.values().size())));
        found = db.prepared_.emplace(query.str(), std::move(prepared)).first;
    }
    PackageDatabase::PreparedView& prepared = found->second;
    if (!prepared.view) return false;  // the installer refused this query before
    if (!filter.values().empty() && !prepared.params) return false;

    if (prepared.inUse) {
        // The shared view is being read further up: this one gets a view of its own.
        MsiHandle params;
        if (!filter.values().empty()) params.reset(MsiCreateRecord(static_cast<UINT>(filter.values().size())));
        if (MsiDatabaseOpenViewA(db.handle(), query.c_str(), own_.put()) != ERROR_SUCCESS ||
            (!filter.values().empty() && !params) || !Execute(own_.get(), params.get(), filter)) {
            own_.reset();
            return false;
        }
        return true;
    }
    if (prepared.executed) MsiViewClose(prepared.view.get());
    prepared.executed = Execute(prepared.view.get(), prepared.params.get(), filter);
    if (!prepared.executed) return false;
    prepared.inUse = true;
    shared_ = &prepared;
    fieldCount_ = prepared.fieldCount;
    return true;
}

int TableView::FieldCount()
{
    if (fieldCount_ == 0 && view()) {
        MsiHandle names;
        if (MsiViewGetColumnInfo(view(), MSICOLINFO_NAMES, names.put()) == ERROR_SUCCESS)
            fieldCount_ = static_cast<int>(MsiRecordGetFieldCount(names.get()));
        if (shared_) shared_->fieldCount = fieldCount_;
    }
    return fieldCount_;
}

bool TableView::Fetch()
{
    record_.reset();
    if (!view()) return false;
    return MsiViewFetch(view(), record_.put()) == ERROR_SUCCESS;
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
    bool applied = mode_ != ChangeMode::None && MsiViewModify(view(), static_cast<MSIMODIFY>(mode_), record_.get()) == ERROR_SUCCESS;
    mode_ = ChangeMode::None;
    record_.reset();
    return applied;
}
