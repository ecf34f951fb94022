#include "platform/win32/Win32OleString.h"

#include <climits>

#include "platform/Errors.h"

namespace Velmora {

void TWin32OleString::Assign(const std::string& utf8)
{
    if (FVariable == nullptr) throw EVelmoraError("宿主没有提供结果变量");
    const std::wstring wide = ToWide(utf8);
    if (wide.size() > static_cast<std::size_t>(UINT_MAX / sizeof(OLECHAR))) throw EVelmoraError("结果文本太长");
    BSTR fresh = FAllocate(wide.c_str(), static_cast<UINT>(wide.size()));
    if (fresh == nullptr) throw EVelmoraError("内存不足，无法分配结果字符串");
    BSTR previous = *FVariable;
    *FVariable = fresh;
    if (previous != nullptr) FFree(previous);
}

void TWin32OleString::Clear() noexcept
{
    if (FVariable == nullptr) return;
    BSTR previous = *FVariable;
    *FVariable = nullptr;
    if (previous != nullptr) FFree(previous);
}

}  // namespace Velmora
