#include "chooser/GetFileList.h"
#include "preprocess/DealWithUFO.h"
#include "preprocess/TextUtils.h"

namespace Velmora {

int TForm_DealWithUFO::ChooseBackupSet()
{
    int result = 0;
    // A failed header query has shown its warning; position 0 lets the restore go on,
    // so that the server's own message explains the failure.
    if (!OpenQuery("RESTORE HEADERONLY From Disk='" + QuoteSqlText(FTempFile) + "'")) return result;

    if (FADOQuery->RecordCount() > 1) {
        Form_GetFileList = std::make_unique<TForm_GetFileList>(FPlatform.Toolkit);
        FADOQuery->First();
        while (!FADOQuery->Eof()) {
            Form_GetFileList->AddRow(FADOQuery->FieldByName("Position").AsString(),
                                     FADOQuery->FieldByName("DataBaseName").AsString());
            FADOQuery->Next();
        }
        FADOQuery->Close();
        if (Form_GetFileList->ShowModal() == mrOk) result = Form_GetFileList->SelectedPosition;
    }
    return result;
}

}  // namespace Velmora
