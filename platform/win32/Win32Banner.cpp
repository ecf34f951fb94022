#include "platform/win32/Win32Banner.h"

#include <cstring>

#include "platform/win32/Win32Scoped.h"

namespace Velmora {

namespace {

IStream* StreamOfResource(HMODULE module)
{
    HRSRC info = FindResourceW(module, BannerResourceName, MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (info == nullptr) return nullptr;
    const DWORD size = SizeofResource(module, info);
    HGLOBAL resource = LoadResource(module, info);
    const void* bytes = resource != nullptr ? LockResource(resource) : nullptr;
    if (bytes == nullptr || size == 0) return nullptr;

    // The picture loader reads from a stream over movable global memory.
    TGlobalMemory copy(GlobalAlloc(GMEM_MOVEABLE, size));
    if (!copy) return nullptr;
    void* target = GlobalLock(copy.Get());
    if (target == nullptr) return nullptr;
    std::memcpy(target, bytes, size);
    GlobalUnlock(copy.Get());
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(copy.Get(), TRUE, &stream))) return nullptr;
    // The stream frees the memory now.
    copy.Detach();
    return stream;
}

}  // namespace

HBITMAP LoadBannerBitmap(HMODULE module)
{
    TComPtr<IStream> stream(StreamOfResource(module));
    if (!stream) return nullptr;
    STATSTG stat{};
    LONG size = 0;
    if (SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME))) size = static_cast<LONG>(stat.cbSize.QuadPart);

    TComPtr<IPicture> picture;
    const HRESULT result = OleLoadPicture(stream.Get(), size, FALSE, IID_IPicture, picture.ReceiveVoid());
    stream.Reset();
    if (FAILED(result) || !picture) return nullptr;

    HBITMAP bitmap = nullptr;
    SHORT type = PICTYPE_UNINITIALIZED;
    OLE_HANDLE handle = 0;
    if (SUCCEEDED(picture->get_Type(&type)) && type == PICTYPE_BITMAP && SUCCEEDED(picture->get_Handle(&handle))) {
        // The picture owns its bitmap; keep a copy that outlives it.
        bitmap = static_cast<HBITMAP>(CopyImage(reinterpret_cast<HBITMAP>(static_cast<UINT_PTR>(handle)),
                                                IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    }
    return bitmap;
}

}  // namespace Velmora
