// System interfaces of the object model that the framework's ATL bases implement: IPersist,
// IPersistStreamInit and IPipeByte, with the system's IIDs and slot order. On Windows they are
// the system's own (<objidl.h>, <ocidl.h>).
#pragma once

#include "platform/com/ComBase.h"

#if !defined(_WIN32)
struct IStream;  // streams are not offered by this layer; IPersistStreamInit takes them
struct ULARGE_INTEGER {
    ULONGLONG QuadPart;
};

inline constexpr IID IID_IPersist = {
    0x0000010C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IPersistStreamInit = {
    0x7FD52380, 0x4E07, 0x101B, {0xAE, 0x2D, 0x08, 0x00, 0x2B, 0x2E, 0xC7, 0x13}};
inline constexpr IID IID_IPipeByte = {
    0xDB2F3ACA, 0x2F86, 0x11D1, {0x8E, 0x04, 0x00, 0xC0, 0x4F, 0xB9, 0x98, 0x9A}};

struct IPersist : IUnknown {
    STDMETHOD(GetClassID)(CLSID* clsid) = 0;
};
struct IPersistStreamInit : IPersist {
    STDMETHOD(IsDirty)() = 0;
    STDMETHOD(Load)(IStream* stream) = 0;
    STDMETHOD(Save)(IStream* stream, BOOL clearDirty) = 0;
    STDMETHOD(GetSizeMax)(ULARGE_INTEGER* size) = 0;
    STDMETHOD(InitNew)() = 0;
};
// A byte pipe between components: Pull takes up to cRequest bytes, Push gives cSent bytes.
struct IPipeByte : IUnknown {
    STDMETHOD(Pull)(BYTE* buf, ULONG cRequest, ULONG* pcReturned) = 0;
    STDMETHOD(Push)(BYTE* buf, ULONG cSent) = 0;
};

COM_DECLARE_UUID(IPersist, IID_IPersist)
COM_DECLARE_UUID(IPersistStreamInit, IID_IPersistStreamInit)
COM_DECLARE_UUID(IPipeByte, IID_IPipeByte)
#endif  // !_WIN32
