#include "session/statement.h"

#include "session/database.h"

bool Statement::Open(const PackageDatabase& db, const BoundedText& query)
{
    ran_ = false;
    if (!query.ok() || MsiDatabaseOpenViewW(db.handle(), Wide(query.str()).c_str(), view_.put()) != ERROR_SUCCESS) {
        view_.reset();
        return false;
    }
    return true;
}

bool Statement::Begin(UINT count)
{
    params_.reset(MsiCreateRecord(count));
    return static_cast<bool>(params_);
}

bool Statement::SetString(UINT field, const std::string& text)
{
    return params_ && MsiRecordSetStringW(params_.get(), field, Wide(text).c_str()) == ERROR_SUCCESS;
}

bool Statement::SetInteger(UINT field, int value)
{
    return params_ && MsiRecordSetInteger(params_.get(), field, value) == ERROR_SUCCESS;
}

bool Statement::Run()
{
    if (!view_) return false;
    // A close that fails leaves the view as it was, and the execution after it answers for both.
    if (ran_) (void)MsiViewClose(view_.get());
    ran_ = MsiViewExecute(view_.get(), params_.get()) == ERROR_SUCCESS;
    return ran_;
}
