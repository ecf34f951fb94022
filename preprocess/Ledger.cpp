#include "preprocess/DealWithUFO.h"

namespace Velmora {

bool TForm_DealWithUFO::PrepareLedger()
{
    ShowMessage("账套视图与期初余额尚未实现", DealWithUFOText::CaptionError, MsgBox::IconError);
    return false;
}

bool TForm_DealWithUFO::ComputeBalances() { return true; }

}  // namespace Velmora
