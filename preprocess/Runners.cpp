#include "platform/Errors.h"
#include "preprocess/DealWithUFO.h"

namespace Velmora {

bool TForm_DealWithUFO::OpenQuery(const std::string& statement) { return RunQuery(*FADOQuery, statement); }

bool TForm_DealWithUFO::OpenCommonQuery(const std::string& statement) { return RunQuery(*CommonADOQuery, statement); }

bool TForm_DealWithUFO::TryOpenQuery(const std::string& statement)
{
    try {
        FADOQuery->Close();
        FADOQuery->ClearSql();
        FADOQuery->AddSql(statement);
        FADOQuery->Open();
        return true;
    } catch (const EProviderError&) {
        FADOQuery->Close();
        return false;
    }
}

bool TForm_DealWithUFO::RunQuery(IQuery& query, const std::string& statement)
{
    try {
        query.Close();
        query.ClearSql();
        query.AddSql(statement);
        query.Open();
        return true;
    } catch (const EProviderError& error) {
        query.Close();
        ShowProviderFailure("SQL=" + statement + "不能执行", error);
        return false;
    }
}

bool TForm_DealWithUFO::ExecCommand(const std::string& statement)
{
    try {
        FCommand->SetCommandText(statement);
        FCommand->Execute();
        return true;
    } catch (const EProviderError& error) {
        ShowProviderFailure("SQL=" + statement + "不能执行", error);
        return false;
    }
}

}  // namespace Velmora
