#include <string>
#include <vector>

#include "platform/Errors.h"
#include "preprocess/DealWithUFO.h"
#include "preprocess/RestoreStatement.h"
#include "preprocess/TextUtils.h"

namespace Velmora {

namespace {

std::string WithoutTrailingPeriodsAndBlanks(std::string text)
{
    while (!text.empty() && (text.back() == '.' || text.back() == ' ' || text.back() == '\r' || text.back() == '\n')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

bool TForm_DealWithUFO::RestoreDatabase()
{
    SetStatusText(DealWithUFOText::StatusRestoring);
    FTargetConnection->SetConnectionString(ConnectionStrings::Master);

    // Whatever happens from here on: disconnect, remove the staging copy, fill the bar.
    struct TCleanup {
        TForm_DealWithUFO& Form;
        IFileSystem& Files;
        ~TCleanup()
        {
            try {
                Form.FTargetConnection->Close();
            } catch (...) {
            }
            try {
                Files.DeleteFile(Form.FTempFile);
            } catch (...) {
            }
            Form.Progress_Step.SetPercent(100);
        }
    } cleanup{*this, FPlatform.Files};

    // The server writes, renames and deletes the restore's targets as the server's
    // own user; a link planted under one of their names would aim that at a file
    // outside the work folder, such as the very backup being restored.
    const auto refuseSpecialTarget = [this](const std::vector<std::string>& targets) {
        for (const std::string& target : targets) {
            if (!FPlatform.Files.IsLinkOrSpecial(target)) continue;
            ShowMessage("不能还原数据库：工作文件夹中的“" + target +
                            "”是符号链接或特殊文件，还原会改动工作文件夹以外的文件，请删除它后再试",
                        DealWithUFOText::CaptionError, MsgBox::IconError);
            return true;
        }
        return false;
    };
    if (refuseSpecialTarget({FWorkDir + "ufdata.mdf", FWorkDir + "ufdata.ldf"})) return false;

    ReadServerFacts();
    const int position = ChooseBackupSet();
    if (!FHeaderRead || !ForeseeRestore(position)) return false;

    // An empty file list leaves the names to the server, which then says what is wrong.
    std::vector<TBackupFile> files = FRestoreFacts.Files;
    while (files.size() < 2) files.push_back(TBackupFile{});
    const std::vector<std::string> targets = RestoreTargets(files);
    std::vector<TFileMove> moves;
    for (std::size_t k = 0; k < files.size(); ++k) moves.push_back({files[k].LogicalName, targets[k]});
    if (refuseSpecialTarget({targets.begin() + 2, targets.end()})) return false;
    const std::string statement = RestoreStatement(FTempFile, position, moves);

    try {
        FTargetConnection->Open();

        if (OpenQuery("select * from sysdatabases WHERE name='UFDATA'") && FADOQuery->RecordCount() > 0) {
            ExecCommand(" ALTER DATABASE UFDATA SET OFFLINE WITH ROLLBACK IMMEDIATE");
            ExecCommand("drop DATABASE UFDATA");
        }

        FCommand->SetCommandText(statement);
        FCommand->Execute();
        return true;
    } catch (const EProviderError& error) {
        std::string text = ExplainServerFailure(error.Number());
        if (text.empty()) {
            text = "不能还原数据库，创建失败" + WithoutTrailingPeriodsAndBlanks(error.what());
            if (error.Number() != 0) text += "\n（SQL Server 错误 " + std::to_string(error.Number()) + "）";
        }
        ShowMessage(text, DealWithUFOText::CaptionWarning, MsgBox::IconWarning);
        return false;
    }
}

// The set's first two files take the names the host knows; every further file is
// numbered after its place in the set.
std::vector<std::string> TForm_DealWithUFO::RestoreTargets(const std::vector<TBackupFile>& files) const
{
    std::vector<std::string> targets{FWorkDir + "ufdata.mdf", FWorkDir + "ufdata.ldf"};
    for (std::size_t k = 2; k < files.size(); ++k) {
        targets.push_back(FWorkDir + "ufdata_" + std::to_string(k + 1) + (files[k].Type == "L" ? ".ldf" : ".ndf"));
    }
    return targets;
}

std::string RestoreStatement(const std::string& media, int position, const std::vector<TFileMove>& moves)
{
    std::string statement = "restore database ufdata from Disk='" + QuoteSqlText(media) + "'" + " WITH ";
    if (position != 0) statement += "file=" + std::to_string(position) + ",";
    statement += " RECOVERY,";
    for (std::size_t k = 0; k < moves.size(); ++k) {
        statement += std::string(k == 0 ? " MOVE " : ",MOVE ") + "'" + QuoteSqlText(moves[k].LogicalName) + "'" +
                     " TO " + "'" + QuoteSqlText(moves[k].Target) + "'";
    }
    return statement + ", REPLACE ";
}

}  // namespace Velmora
