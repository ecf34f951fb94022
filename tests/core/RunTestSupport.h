#pragma once
// A progress dialog on fake ports, ready to drive step by step or as a whole run.

#include <memory>
#include <string>

#include "preprocess/DealWithUFO.h"
#include "tests/fakes/FakePlatform.h"

namespace Velmora::Testing {

struct TRunFixture {
    Fakes::TFakePlatform Fake;
    std::unique_ptr<TForm_DealWithUFO> Form;

    TRunFixture()
    {
        Form = std::make_unique<TForm_DealWithUFO>(Fake.Platform);
        Form->FSourceFile = "C:\\backup\\ufdata.bak";
        Form->FWorkDir = "D:\\host\\TempLateTemp\\";
        Form->FYear = "2025";
        Form->FTempFile = Form->FWorkDir + "ufdatawk.temp";
    }

    std::size_t CountEvents(const std::string& prefix) const
    {
        std::size_t n = 0;
        for (const auto& e : Fake.Toolkit.Events) n += e.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }
};

}  // namespace Velmora::Testing
