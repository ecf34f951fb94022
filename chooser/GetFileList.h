#pragma once
// The backup-set chooser: one row per backup set, ticked like radio buttons, and OK.

#include <string>
#include <vector>

#include "platform/Toolkit.h"

namespace Velmora {

namespace GetFileListText {
extern const char* const Caption;
extern const char* const ColumnPosition;
extern const char* const ColumnFile;
extern const char* const ButtonOk;
}  // namespace GetFileListText

class TForm_GetFileList : public IChooserDialog {
public:
    explicit TForm_GetFileList(IToolkit& toolkit) : FToolkit(toolkit) {}

    void AddRow(const std::string& caption, const std::string& subItem);
    int ShowModal();

    // Event handlers.
    void List_FilesCheckStateChange(std::size_t item);
    void Btn_OKClick();

    // IChooserDialog
    std::string Caption() const override;
    std::string ColumnTitle(std::size_t column) const override;
    std::string OkCaption() const override;
    std::size_t RowCount() const override { return FRows.size(); }
    std::string RowCaption(std::size_t row) const override { return FRows.at(row).Caption; }
    std::string RowSubItem(std::size_t row) const override { return FRows.at(row).SubItem; }
    bool RowChecked(std::size_t row) const override { return FRows.at(row).Checked; }
    void UserSetChecked(std::size_t row, bool checked) override;
    void UserPressedOk() override;
    int ModalResult() const override { return FModalResult; }
    void AttachView(IFormView* view) override { FView = view; }

    int SelectedPosition = 0;

private:
    struct TRow {
        std::string Caption;
        std::string SubItem;
        bool Checked = false;
    };

    IToolkit& FToolkit;
    IFormView* FView = nullptr;
    std::vector<TRow> FRows;
    int FModalResult = mrNone;
    // The handler changes check marks itself; the toolkit reports those changes
    // back, and they must not run the handler again.
    bool FInCheckStateChange = false;
};

}  // namespace Velmora
