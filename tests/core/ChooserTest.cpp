#include <gtest/gtest.h>

#include "chooser/GetFileList.h"
#include "tests/core/RunTestSupport.h"

namespace Velmora {
namespace {

using Testing::TRunFixture;
using TResult = Fakes::TFakeDatabase::TResult;

std::vector<bool> Ticks(const IChooserDialog& dialog)
{
    std::vector<bool> ticks;
    for (std::size_t i = 0; i < dialog.RowCount(); ++i) ticks.push_back(dialog.RowChecked(i));
    return ticks;
}

class ChooserModel : public ::testing::Test {
protected:
    Fakes::TFakeToolkit Toolkit;
    TForm_GetFileList Form{Toolkit};
    void SetUp() override
    {
        Form.AddRow("1", "UFDATA_001");
        Form.AddRow(" 2 ", "UFDATA_001");
        Form.AddRow("3", "UFDATA_002");
    }
};

TEST_F(ChooserModel, TicksBehaveLikeRadioButtons)
{
    Form.UserSetChecked(0, true);
    Form.UserSetChecked(2, true);
    EXPECT_EQ(Ticks(Form), (std::vector<bool>{false, false, true}));
    Form.UserSetChecked(2, false);  // clicking a ticked box leaves it ticked
    EXPECT_EQ(Ticks(Form), (std::vector<bool>{false, false, true}));
}

TEST_F(ChooserModel, HandlerIsNotReenteredByItsOwnChanges)
{
    // A view that reports every change back, as a list view's notifications do.
    struct TEchoView : IFormView {
        TForm_GetFileList* Form = nullptr;
        int Calls = 0;
        void Changed() override
        {
            ++Calls;
            for (std::size_t i = 0; i < Form->RowCount(); ++i) Form->UserSetChecked(i, Form->RowChecked(i));
        }
    } view;
    view.Form = &Form;
    Form.AttachView(&view);
    Form.UserSetChecked(1, true);
    EXPECT_EQ(view.Calls, 1);
    EXPECT_EQ(Ticks(Form), (std::vector<bool>{false, true, false}));
    Form.AttachView(nullptr);
}

TEST_F(ChooserModel, AClickOutsideTheRowsChangesNothing)
{
    // A list view reports "no item" as -1, which arrives here as the largest index.
    // A write beside the rows shows nowhere but in the sanitizer build, which stops on it.
    Form.UserSetChecked(1, true);
    Form.UserSetChecked(static_cast<std::size_t>(-1), true);
    Form.UserSetChecked(3, true);
    EXPECT_EQ(Ticks(Form), (std::vector<bool>{false, true, false}));
    Form.UserPressedOk();
    EXPECT_EQ(Form.SelectedPosition, 2);
}

TEST_F(ChooserModel, OkTakesTheTickedRowsTrimmedCaption)
{
    Form.UserSetChecked(1, true);
    Form.UserPressedOk();
    EXPECT_EQ(Form.ModalResult(), mrOk);
    EXPECT_EQ(Form.SelectedPosition, 2);
}

TEST_F(ChooserModel, OkWithNothingTickedKeepsZero)
{
    Form.UserPressedOk();
    EXPECT_EQ(Form.ModalResult(), mrOk);
    EXPECT_EQ(Form.SelectedPosition, 0);
}

TEST_F(ChooserModel, TextsOfTheDialog)
{
    EXPECT_EQ(Form.Caption(), "选择备份文件");
    EXPECT_EQ(Form.ColumnTitle(0), "编号");
    EXPECT_EQ(Form.ColumnTitle(1), "备份文件");
    EXPECT_EQ(Form.OkCaption(), "确定");
}

class ChooseBackupSet : public ::testing::Test, protected TRunFixture {
protected:
    void HeaderRows(int count)
    {
        Fake.Data.OnQuery = [count](const std::string&) {
            TResult result{{"BackupName", "Position", "DatabaseName"}, {}};
            for (int i = 1; i <= count; ++i) {
                result.Rows.push_back({TFieldValue::FromText("backup " + std::to_string(i)),
                                       TFieldValue::FromInteger(i),
                                       TFieldValue::FromText("UFDATA_00" + std::to_string(i))});
            }
            return result;
        };
    }
};

TEST_F(ChooseBackupSet, SingleSetShowsNoChooser)
{
    HeaderRows(1);
    EXPECT_EQ(Form->ChooseBackupSet(), 0);
    EXPECT_EQ(Fake.Toolkit.ChooserShown, 0);
    EXPECT_EQ(Fake.Data.Log.back(), "query:RESTORE HEADERONLY From Disk='D:\\host\\TempLateTemp\\ufdatawk.temp'");
}

TEST_F(ChooseBackupSet, ThreeSetsUserTicksTheSecond)
{
    HeaderRows(3);
    Fake.Toolkit.OnChooser = [](IChooserDialog& dialog) {
        dialog.UserSetChecked(1, true);
        dialog.UserPressedOk();
    };
    EXPECT_EQ(Form->ChooseBackupSet(), 2);
    EXPECT_EQ(Fake.Toolkit.ChooserShown, 1);
    EXPECT_EQ(Fake.Toolkit.ChooserRows, (std::vector<std::pair<std::string, std::string>>{
                                            {"1", "UFDATA_001"}, {"2", "UFDATA_002"}, {"3", "UFDATA_003"}}));
    EXPECT_FALSE(Form->FADOQuery->Active());
}

TEST_F(ChooseBackupSet, ChooserClosedWithoutOkGivesZero)
{
    HeaderRows(2);
    Fake.Toolkit.OnChooser = [](IChooserDialog& dialog) { dialog.UserSetChecked(1, true); };
    EXPECT_EQ(Form->ChooseBackupSet(), 0);
}

TEST_F(ChooseBackupSet, FailedHeaderQueryGivesZeroAfterItsWarning)
{
    Fake.Data.OnQuery = [](const std::string&) -> TResult { throw EProviderError("media family incorrectly formed"); };
    EXPECT_EQ(Form->ChooseBackupSet(), 0);
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Fake.Toolkit.Messages[0].Caption, "警告");
    EXPECT_EQ(Fake.Toolkit.ChooserShown, 0);
}

}  // namespace
}  // namespace Velmora
