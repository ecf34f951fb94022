#include "platform/win32/Win32Banner.h"

#include <cstring>

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
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, size);
    if (copy == nullptr) return nullptr;
    void* target = GlobalLock(copy);
    if (target == nullptr) {
        GlobalFree(copy);
        return nullptr;
    }
    std::memcpy(target, bytes, size);
    GlobalUnlock(copy);
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(copy, TRUE, &stream))) {
        GlobalFree(copy);
        return nullptr;
    }
    return stream;
}

}  // namespace

HBITMAP LoadBannerBitmap(HMODULE module)
{
    IStream* stream = StreamOfResource(module);
    if (stream == nullptr) return nullptr;
    STATSTG stat{};
    LONG size = 0;
    if (SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME))) size = static_cast<LONG>(stat.cbSize.QuadPart);

    IPicture* picture = nullptr;
    HRESULT result = OleLoadPicture(stream, size, FALSE, IID_IPicture, reinterpret_cast<void**>(&picture));
    stream->Release();
    if (FAILED(result) || picture == nullptr) return nullptr;

    HBITMAP bitmap = nullptr;
    SHORT type = PICTYPE_UNINITIALIZED;
    OLE_HANDLE handle = 0;
    if (SUCCEEDED(picture->get_Type(&type)) && type == PICTYPE_BITMAP && SUCCEEDED(picture->get_Handle(&handle))) {
        // The picture owns its bitmap; keep a copy that outlives it.
        bitmap = static_cast<HBITMAP>(CopyImage(reinterpret_cast<HBITMAP>(static_cast<UINT_PTR>(handle)),
                                                IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    }
    picture->Release();
    return bitmap;
}

}  // namespace Velmora
