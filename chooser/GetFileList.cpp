#include "chooser/GetFileList.h"

#include "platform/Errors.h"
#include "preprocess/TextUtils.h"

namespace Velmora {

namespace GetFileListText {
const char* const Caption = "选择备份文件";
const char* const ColumnPosition = "编号";
const char* const ColumnFile = "备份文件";
const char* const ButtonOk = "确定";
}  // namespace GetFileListText

void TForm_GetFileList::AddRow(const std::string& caption, const std::string& subItem)
{
    FRows.push_back(TRow{caption, subItem, false});
    if (FView) FView->Changed();
}

int TForm_GetFileList::ShowModal()
{
    FModalResult = mrNone;
    return FToolkit.ShowChooser(*this);
}

std::string TForm_GetFileList::Caption() const { return GetFileListText::Caption; }

std::string TForm_GetFileList::ColumnTitle(std::size_t column) const
{
    return column == 0 ? GetFileListText::ColumnPosition : GetFileListText::ColumnFile;
}

std::string TForm_GetFileList::OkCaption() const { return GetFileListText::ButtonOk; }

void TForm_GetFileList::UserSetChecked(std::size_t row, bool checked)
{
    if (FInCheckStateChange || row >= FRows.size()) return;
    FRows[row].Checked = checked;
    List_FilesCheckStateChange(row);
}

void TForm_GetFileList::UserPressedOk()
{
    // An OK-kind button sets the outcome before its click handler runs.
    FModalResult = mrOk;
    Btn_OKClick();
}

void TForm_GetFileList::List_FilesCheckStateChange(std::size_t item)
{
    if (FInCheckStateChange || item >= FRows.size()) return;
    FInCheckStateChange = true;
    for (TRow& row : FRows) row.Checked = false;
    FRows[item].Checked = true;
    if (FView) FView->Changed();
    FInCheckStateChange = false;
}

void TForm_GetFileList::Btn_OKClick()
{
    for (const TRow& row : FRows) {
        if (row.Checked) {
            SelectedPosition = StrToInt(Trim(row.Caption));
            return;
        }
    }
}

}  // namespace Velmora
