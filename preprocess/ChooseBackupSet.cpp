#include "chooser/GetFileList.h"
#include "platform/Errors.h"
#include "preprocess/DealWithUFO.h"
#include "preprocess/TextUtils.h"

namespace Velmora {

namespace {

TBackupSetHeader ReadHeaderRow(const IQuery& query)
{
    TBackupSetHeader set;
    set.Position = query.FieldByName("Position").AsString();
    set.DatabaseName = query.FieldByName("DataBaseName").AsString();
    set.Version.Major = static_cast<int>(ColumnOrNull(query, "SoftwareVersionMajor").AsInteger());
    set.Version.Minor = static_cast<int>(ColumnOrNull(query, "SoftwareVersionMinor").AsInteger());
    set.Version.Build = static_cast<int>(ColumnOrNull(query, "SoftwareVersionBuild").AsInteger());
    set.Compressed = ColumnOrNull(query, "Compressed").AsBoolean();
    // A database encrypted on its server, or a backup encrypted as it was written:
    // either needs a certificate that this server does not have unless told.
    set.Encrypted = !Trim(ColumnOrNull(query, "TDEThumbprint").AsString()).empty() ||
                    !Trim(ColumnOrNull(query, "EncryptorThumbprint").AsString()).empty();
    return set;
}

}  // namespace

int TForm_DealWithUFO::ChooseBackupSet()
{
    int result = 0;
    FBackupSets.clear();
    // A header that cannot be read ends the restore before anything is dropped: the
    // server could restore nothing from this media, and its runner has said why.
    FHeaderRead = OpenQuery("RESTORE HEADERONLY From Disk='" + QuoteSqlText(FTempFile) + "'");
    if (!FHeaderRead) return result;

    FADOQuery->First();
    while (!FADOQuery->Eof()) {
        FBackupSets.push_back(ReadHeaderRow(*FADOQuery));
        FADOQuery->Next();
    }
    FADOQuery->Close();

    if (FBackupSets.size() > 1) {
        Form_GetFileList = std::make_unique<TForm_GetFileList>(FPlatform.Toolkit);
        for (const TBackupSetHeader& set : FBackupSets) Form_GetFileList->AddRow(set.Position, set.DatabaseName);
        if (Form_GetFileList->ShowModal() == mrOk) result = Form_GetFileList->SelectedPosition;
    }
    return result;
}

}  // namespace Velmora
