#pragma once
// Owners of what the system hands out: COM references, BSTRs, VARIANTs, handles,
// device contexts and GDI objects, each given back when its owner goes, so that
// an exception leaves nothing behind. None of them can be copied.

#include <string>

#include "platform/Errors.h"
#include "platform/win32/Win32Api.h"

namespace Velmora {

// Holds one reference to a COM interface.
template <class T>
class TComPtr {
public:
    TComPtr() = default;
    // Takes over a reference the caller holds.
    explicit TComPtr(T* pointer) : FPointer(pointer) {}
    ~TComPtr() { Reset(); }
    TComPtr(const TComPtr&) = delete;
    TComPtr& operator=(const TComPtr&) = delete;

    T* operator->() const { return FPointer; }
    T* Get() const { return FPointer; }
    explicit operator bool() const { return FPointer != nullptr; }
    // For out-parameters: releases what is held first.
    T** Receive()
    {
        Reset();
        return &FPointer;
    }
    void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }
    void Swap(TComPtr& other) noexcept
    {
        T* mine = FPointer;
        FPointer = other.FPointer;
        other.FPointer = mine;
    }
    void Reset()
    {
        if (FPointer != nullptr) FPointer->Release();
        FPointer = nullptr;
    }

private:
    T* FPointer = nullptr;
};

// An owned BSTR: made from UTF-8 text, or received from a COM call.
class TBstr {
public:
    TBstr() = default;
    explicit TBstr(const std::string& utf8)
    {
        const std::wstring wide = ToWide(utf8);
        FText = SysAllocStringLen(wide.c_str(), static_cast<UINT>(wide.size()));
        if (FText == nullptr) throw EVelmoraError("内存不足，无法传递文本给数据库");
    }
    ~TBstr() { SysFreeString(FText); }
    TBstr(const TBstr&) = delete;
    TBstr& operator=(const TBstr&) = delete;
    BSTR Get() const { return FText; }
    // For out-parameters: frees what is held first.
    BSTR* Receive()
    {
        SysFreeString(FText);
        FText = nullptr;
        return &FText;
    }
    // Gives the string away (into a VARIANT that frees it).
    BSTR Detach()
    {
        BSTR text = FText;
        FText = nullptr;
        return text;
    }

private:
    BSTR FText = nullptr;
};

// A VARIANT that is cleared when it goes.
class TVariant {
public:
    TVariant() { VariantInit(&FValue); }
    // Owns the text as a VT_BSTR.
    explicit TVariant(const std::string& utf8) : TVariant()
    {
        FValue.bstrVal = TBstr(utf8).Detach();
        FValue.vt = VT_BSTR;
    }
    ~TVariant() { VariantClear(&FValue); }
    TVariant(const TVariant&) = delete;
    TVariant& operator=(const TVariant&) = delete;
    VARIANT& Get() { return FValue; }
    // For out-parameters: clears what is held first.
    VARIANT* Receive()
    {
        VariantClear(&FValue);
        return &FValue;
    }

private:
    VARIANT FValue;
};

// A handle of the kind TKind describes: its type, the value that means "none", and
// how it is given back.
template <class TKind>
class TScopedHandle {
public:
    using THandleType = typename TKind::THandleType;

    TScopedHandle() = default;
    explicit TScopedHandle(THandleType handle) : FHandle(handle) {}
    ~TScopedHandle() { Reset(); }
    TScopedHandle(const TScopedHandle&) = delete;
    TScopedHandle& operator=(const TScopedHandle&) = delete;

    THandleType Get() const { return FHandle; }
    explicit operator bool() const { return FHandle != TKind::None(); }
    // Gives back what is held and keeps the new handle.
    void Reset(THandleType handle = TKind::None())
    {
        if (FHandle != TKind::None()) TKind::Close(FHandle);
        FHandle = handle;
    }
    // Hands the handle on to the caller.
    THandleType Detach()
    {
        THandleType handle = FHandle;
        FHandle = TKind::None();
        return handle;
    }

private:
    THandleType FHandle = TKind::None();
};

namespace ScopedKinds {

// Threads, processes, mutexes, events: "none" is NULL.
struct TKernelObject {
    using THandleType = HANDLE;
    static HANDLE None() { return nullptr; }
    static void Close(HANDLE handle) { CloseHandle(handle); }
};

// What CreateFile answers: "none" is INVALID_HANDLE_VALUE.
struct TFile {
    using THandleType = HANDLE;
    static HANDLE None() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { CloseHandle(handle); }
};

struct TService {
    using THandleType = SC_HANDLE;
    static SC_HANDLE None() { return nullptr; }
    static void Close(SC_HANDLE handle) { CloseServiceHandle(handle); }
};

struct TFind {
    using THandleType = HANDLE;
    static HANDLE None() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { FindClose(handle); }
};

struct TMemoryDC {
    using THandleType = HDC;
    static HDC None() { return nullptr; }
    static void Close(HDC dc) { DeleteDC(dc); }
};

template <class T>
struct TGdiObject {
    using THandleType = T;
    static T None() { return nullptr; }
    static void Close(T object) { DeleteObject(object); }
};

// Memory the system allocated for the caller (FormatMessage's buffer).
template <class T>
struct TLocalMemory {
    using THandleType = T;
    static T None() { return nullptr; }
    static void Close(T memory) { LocalFree(memory); }
};

struct TGlobalMemory {
    using THandleType = HGLOBAL;
    static HGLOBAL None() { return nullptr; }
    static void Close(HGLOBAL memory) { GlobalFree(memory); }
};

}  // namespace ScopedKinds

using TKernelHandle = TScopedHandle<ScopedKinds::TKernelObject>;
using TFileHandle = TScopedHandle<ScopedKinds::TFile>;
using TServiceManagerHandle = TScopedHandle<ScopedKinds::TService>;
using TFindHandle = TScopedHandle<ScopedKinds::TFind>;
// From CreateCompatibleDC.
using TMemoryDC = TScopedHandle<ScopedKinds::TMemoryDC>;
template <class T>
using TGdiObject = TScopedHandle<ScopedKinds::TGdiObject<T>>;
template <class T>
using TLocalMemory = TScopedHandle<ScopedKinds::TLocalMemory<T>>;
using TGlobalMemory = TScopedHandle<ScopedKinds::TGlobalMemory>;

// A window's device context (the screen's for no window), given back to the window.
class TWindowDC {
public:
    explicit TWindowDC(HWND window) : FWindow(window), FDC(GetDC(window)) {}
    ~TWindowDC()
    {
        if (FDC != nullptr) ReleaseDC(FWindow, FDC);
    }
    TWindowDC(const TWindowDC&) = delete;
    TWindowDC& operator=(const TWindowDC&) = delete;
    HDC Get() const { return FDC; }

private:
    HWND FWindow;
    HDC FDC;
};

// A GDI object selected into a device context until the selection goes, when the
// one it replaced is put back. Selecting nothing changes nothing.
class TSelection {
public:
    TSelection(HDC dc, HGDIOBJ object) : FDC(dc), FPrevious(object != nullptr ? SelectObject(dc, object) : nullptr) {}
    ~TSelection()
    {
        if (FPrevious != nullptr) SelectObject(FDC, FPrevious);
    }
    TSelection(const TSelection&) = delete;
    TSelection& operator=(const TSelection&) = delete;

private:
    HDC FDC;
    HGDIOBJ FPrevious;
};

}  // namespace Velmora
