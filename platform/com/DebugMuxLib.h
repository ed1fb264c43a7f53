// DebugMuxLib 1.0: the type library of the debug-multiplexer service, as importing it gives
// it: class and interface identities, the dual interfaces with their methods at their vtable
// slots (0-2 IUnknown, 3-6 IDispatch, the interface's own from 7; slots the clients do not
// use hold placeholder methods), the dispatch ids of the three event interfaces, smart
// pointers (ITargetPtr ...) and wrappers.
//
// Raw methods (get_X, put_X, raw_X) return the HRESULT and give their value through the last
// parameter. The wrappers (GetX, PutX, X) return the value and raise _com_error when the raw
// method fails: Targets, _NewEnum, Id, Name, DataProviders, PortName, Connect, Disconnect,
// Send, Size and Data. AddPort and HasPort do not raise: AddPort returns the HRESULT and
// HasPort answers VARIANT_FALSE when the call fails.
//
// Conventions of the service:
// - Targets and DataProviders hold a VT_DISPATCH VARIANT of a collection object (ITargets,
//   IDataProviders) whose _NewEnum gives an IEnumVARIANT of VT_DISPATCH items.
// - IDataBlock::get_Data gives a one-dimensional VT_UI1 array that belongs to the caller, who
//   destroys it (SafeArrayDestroy): COM's rule for an [out] array, which a service in its own
//   process cannot but follow (the caller gets the marshaller's copy), and which a service in
//   the caller's process follows too, so that one rule holds for both. put_Data copies the
//   given one-dimensional VT_UI1 array; the caller keeps its own.
//   Size is the number of bytes in Data.
// - DebugMuxLib.idl (beside this file) is the same library in IDL; compiled into
//   DebugMuxLib.tlb and registered, it lets COM marshal these interfaces across processes.
// - Connect, Disconnect and Send answer VARIANT_TRUE when done; Send, when the service has
//   taken the whole block.
#pragma once

#include "platform/com/ComBase.h"
#include "platform/com/ComError.h"
#include "platform/com/ComPtr.h"
#include "platform/com/SafeArray.h"
#include "platform/com/Variant.h"

inline constexpr GUID LIBID_DebugMuxLib = {
    0x431BDA71, 0xE3BF, 0x4DB2, {0xAD, 0x8A, 0x27, 0x1F, 0x4E, 0xF7, 0x96, 0x36}};
inline constexpr CLSID CLSID_DebugMuxServer = {
    0x735BC726, 0x75E4, 0x4C9B, {0x9A, 0x5B, 0x84, 0x37, 0x6F, 0xCB, 0xF2, 0x46}};
inline constexpr CLSID CLSID_DataBlock = {
    0x074167E9, 0xA89A, 0x4455, {0x8E, 0xC8, 0xA7, 0x80, 0xB1, 0xDF, 0x04, 0xB9}};
inline constexpr IID IID_IDebugMux = {
    0x12CC9DDD, 0x0192, 0x454D, {0xB3, 0x21, 0x35, 0x1D, 0x00, 0xEB, 0x87, 0x6B}};
inline constexpr IID IID_IDebugMuxPorts = {
    0x68FE7E97, 0xC785, 0x4FD0, {0xB3, 0xA7, 0xCD, 0xE0, 0xB2, 0xC6, 0x56, 0xB5}};
inline constexpr IID IID_ITargets = {
    0xD35C4EFA, 0xF1FD, 0x4D0D, {0xB5, 0x08, 0xCD, 0xAA, 0x92, 0xB6, 0x31, 0xEE}};
inline constexpr IID IID_ITarget = {
    0xFC155A1B, 0xCED0, 0x4134, {0xB3, 0x55, 0x56, 0x09, 0x74, 0x4C, 0x26, 0x39}};
inline constexpr IID IID_IDataProviders = {
    0xE0A2693F, 0x6504, 0x4BC0, {0xA7, 0x76, 0xD5, 0x6B, 0xE4, 0x23, 0x8B, 0x7C}};
inline constexpr IID IID_IDataProvider = {
    0x563606DB, 0xF767, 0x4D0D, {0xAA, 0xA7, 0xE9, 0x93, 0x9B, 0x29, 0x1D, 0xC4}};
inline constexpr IID IID_IDataProviderStream = {
    0xED865E2C, 0x353C, 0x42C5, {0xBA, 0xE7, 0x8B, 0xBD, 0x8F, 0x06, 0x72, 0x6A}};
inline constexpr IID IID_IDataBlock = {
    0xAEC956F8, 0x3924, 0x44DF, {0x90, 0x38, 0x8B, 0x34, 0xE7, 0x34, 0x19, 0x71}};
inline constexpr IID DIID__IDebugMuxEvents = {
    0xDE6EE633, 0x3CC3, 0x41DA, {0xA5, 0xF1, 0x21, 0x07, 0xBA, 0xEA, 0x11, 0x66}};
inline constexpr IID DIID__ITargetEvents = {
    0xEF38CCF6, 0x7970, 0x439F, {0x98, 0x38, 0x55, 0x82, 0x46, 0x6A, 0x50, 0xDD}};
inline constexpr IID DIID__IDataProviderEvents = {
    0x865D08B0, 0xC47F, 0x4219, {0xB1, 0xAE, 0x3C, 0xFD, 0xB3, 0x46, 0x8A, 0x4F}};

// Dispatch ids of the events. Each event has one argument, the IDispatch of the object it is
// about, except Disconnected, which has none.
namespace DebugMuxEvents {
inline constexpr DISPID TargetConnected = 1;     // (IDispatch* target)
inline constexpr DISPID TargetDisconnected = 2;  // (IDispatch* target)
}  // namespace DebugMuxEvents
namespace TargetEvents {
inline constexpr DISPID NewDataProvider = 1;          // (IDispatch* provider)
inline constexpr DISPID DataProviderRemoved = 2;      // (IDispatch* provider)
inline constexpr DISPID DataProviderUnavailable = 3;  // (IDispatch* provider)
}  // namespace TargetEvents
namespace DataProviderEvents {
inline constexpr DISPID DataAvailable = 1;  // (IDispatch* dataBlock)
inline constexpr DISPID Disconnected = 2;   // ()
}  // namespace DataProviderEvents

struct IDataBlock;

// On DebugMuxServer.
struct IDebugMux : IDispatch {
    STDMETHOD(get_Targets)(VARIANT* pVal) = 0;  // 7: the targets connected now

    _variant_t GetTargets();
};

// On DebugMuxServer: the COM ports the multiplexer serves.
struct IDebugMuxPorts : IDispatch {
    STDMETHOD(Reserved7)() = 0;
    STDMETHOD(Reserved8)() = 0;
    STDMETHOD(Reserved9)() = 0;
    STDMETHOD(Reserved10)() = 0;
    STDMETHOD(Reserved11)() = 0;
    STDMETHOD(raw_AddPort)(BYTE port) = 0;  // 12: serve COM port n
    STDMETHOD(Reserved13)() = 0;
    STDMETHOD(raw_HasPort)(BYTE port, VARIANT_BOOL* pVal) = 0;  // 14: is COM port n served

    HRESULT AddPort(BYTE port);
    VARIANT_BOOL HasPort(BYTE port);
};

struct ITargets : IDispatch {
    STDMETHOD(get__NewEnum)(IUnknown** ppEnum) = 0;  // 7: IEnumVARIANT over ITarget items

    IUnknownPtr Get_NewEnum();
};

// A phone. Two target objects with equal Id are the same phone.
struct ITarget : IDispatch {
    STDMETHOD(get_Id)(LONG* pVal) = 0;                // 7
    STDMETHOD(get_Name)(BSTR* pVal) = 0;              // 8
    STDMETHOD(get_DataProviders)(VARIANT* pVal) = 0;  // 9: VT_DISPATCH of IDataProviders

    LONG GetId();
    _bstr_t GetName();
    _variant_t GetDataProviders();
};

struct IDataProviders : IDispatch {
    STDMETHOD(get__NewEnum)(IUnknown** ppEnum) = 0;  // 7: IEnumVARIANT over IDataProvider items

    IUnknownPtr Get_NewEnum();
};

// One byte stream of a phone. Id identifies it within its target.
struct IDataProvider : IDispatch {
    STDMETHOD(get_Id)(SHORT* pVal) = 0;                              // 7
    STDMETHOD(get_Name)(BSTR* pVal) = 0;                             // 8
    STDMETHOD(Reserved9)() = 0;                                      // 9
    STDMETHOD(raw_Connect)(VARIANT_BOOL* pVal) = 0;                  // 10
    STDMETHOD(raw_Disconnect)(VARIANT_BOOL* pVal) = 0;               // 11
    STDMETHOD(raw_Send)(IDataBlock* block, VARIANT_BOOL* pVal) = 0;  // 12
    STDMETHOD(Reserved13)() = 0;                                     // 13
    STDMETHOD(get_PortName)(BSTR* pVal) = 0;                         // 14: "COMn"

    SHORT GetId();
    _bstr_t GetName();
    VARIANT_BOOL Connect();
    VARIANT_BOOL Disconnect();
    VARIANT_BOOL Send(IDataBlock* block);
    _bstr_t GetPortName();
};

// On the data-provider object: the stream operations, laid out as in IDataProvider.
struct IDataProviderStream : IDispatch {
    STDMETHOD(Reserved7)() = 0;                                      // 7
    STDMETHOD(Reserved8)() = 0;                                      // 8
    STDMETHOD(Reserved9)() = 0;                                      // 9
    STDMETHOD(raw_Connect)(VARIANT_BOOL* pVal) = 0;                  // 10
    STDMETHOD(raw_Disconnect)(VARIANT_BOOL* pVal) = 0;               // 11
    STDMETHOD(raw_Send)(IDataBlock* block, VARIANT_BOOL* pVal) = 0;  // 12

    VARIANT_BOOL Connect();
    VARIANT_BOOL Disconnect();
    VARIANT_BOOL Send(IDataBlock* block);
};

// On DataBlock and on the argument of DataAvailable.
struct IDataBlock : IDispatch {
    STDMETHOD(get_Size)(LONG* pVal) = 0;        // 7: bytes in Data
    STDMETHOD(get_Data)(SAFEARRAY** pVal) = 0;  // 8: a new array, the caller's to destroy
    STDMETHOD(put_Data)(SAFEARRAY** pVal) = 0;  // 9: copies a 1-dimensional VT_UI1 array

    LONG GetSize();
    SAFEARRAY* GetData();
    void PutData(SAFEARRAY** data);
};

// The event interfaces (dispinterfaces: events arrive through IDispatch::Invoke).
struct _IDebugMuxEvents : IDispatch {};
struct _ITargetEvents : IDispatch {};
struct _IDataProviderEvents : IDispatch {};

COM_DECLARE_UUID(IDebugMux, IID_IDebugMux)
COM_DECLARE_UUID(IDebugMuxPorts, IID_IDebugMuxPorts)
COM_DECLARE_UUID(ITargets, IID_ITargets)
COM_DECLARE_UUID(ITarget, IID_ITarget)
COM_DECLARE_UUID(IDataProviders, IID_IDataProviders)
COM_DECLARE_UUID(IDataProvider, IID_IDataProvider)
COM_DECLARE_UUID(IDataProviderStream, IID_IDataProviderStream)
COM_DECLARE_UUID(IDataBlock, IID_IDataBlock)
COM_DECLARE_UUID(_IDebugMuxEvents, DIID__IDebugMuxEvents)
COM_DECLARE_UUID(_ITargetEvents, DIID__ITargetEvents)
COM_DECLARE_UUID(_IDataProviderEvents, DIID__IDataProviderEvents)

_COM_SMARTPTR_TYPEDEF(IDebugMux, __uuidof(IDebugMux));
_COM_SMARTPTR_TYPEDEF(IDebugMuxPorts, __uuidof(IDebugMuxPorts));
_COM_SMARTPTR_TYPEDEF(ITargets, __uuidof(ITargets));
_COM_SMARTPTR_TYPEDEF(ITarget, __uuidof(ITarget));
_COM_SMARTPTR_TYPEDEF(IDataProviders, __uuidof(IDataProviders));
_COM_SMARTPTR_TYPEDEF(IDataProvider, __uuidof(IDataProvider));
_COM_SMARTPTR_TYPEDEF(IDataProviderStream, __uuidof(IDataProviderStream));
_COM_SMARTPTR_TYPEDEF(IDataBlock, __uuidof(IDataBlock));
_COM_SMARTPTR_TYPEDEF(_IDebugMuxEvents, __uuidof(_IDebugMuxEvents));
_COM_SMARTPTR_TYPEDEF(_ITargetEvents, __uuidof(_ITargetEvents));
_COM_SMARTPTR_TYPEDEF(_IDataProviderEvents, __uuidof(_IDataProviderEvents));

// ---- Wrappers -------------------------------------------------------------------------

inline _variant_t IDebugMux::GetTargets() {
    _variant_t result;
    HRESULT hr = get_Targets(&result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(IDebugMux));
    return result;
}

inline HRESULT IDebugMuxPorts::AddPort(BYTE port) {
    return raw_AddPort(port);
}

inline VARIANT_BOOL IDebugMuxPorts::HasPort(BYTE port) {
    VARIANT_BOOL result = VARIANT_FALSE;
    if (FAILED(raw_HasPort(port, &result)))
        return VARIANT_FALSE;
    return result;
}

inline IUnknownPtr ITargets::Get_NewEnum() {
    IUnknown* result = nullptr;
    HRESULT hr = get__NewEnum(&result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(ITargets));
    return IUnknownPtr(result, false);
}

inline LONG ITarget::GetId() {
    LONG result = 0;
    HRESULT hr = get_Id(&result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(ITarget));
    return result;
}

inline _bstr_t ITarget::GetName() {
    BSTR result = nullptr;
    HRESULT hr = get_Name(&result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(ITarget));
    return _bstr_t(result, false);
}

inline _variant_t ITarget::GetDataProviders() {
    _variant_t result;
    HRESULT hr = get_DataProviders(&result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(ITarget));
    return result;
}

inline IUnknownPtr IDataProviders::Get_NewEnum() {
    IUnknown* result = nullptr;
    HRESULT hr = get__NewEnum(&result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(IDataProviders));
    return IUnknownPtr(result, false);
}

inline SHORT IDataProvider::GetId() {
    SHORT result = 0;
    HRESULT hr = get_Id(&result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(IDataProvider));
    return result;
}

inline _bstr_t IDataProvider::GetName() {
    BSTR result = nullptr;
    HRESULT hr = get_Name(&result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(IDataProvider));
    return _bstr_t(result, false);
}

inline VARIANT_BOOL IDataProvider::Connect() {
    VARIANT_BOOL result = VARIANT_FALSE;
    HRESULT hr = raw_Connect(&result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(IDataProvider));
    return result;
}

inline VARIANT_BOOL IDataProvider::Disconnect() {
    VARIANT_BOOL result = VARIANT_FALSE;
    HRESULT hr = raw_Disconnect(&result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(IDataProvider));
    return result;
}

inline VARIANT_BOOL IDataProvider::Send(IDataBlock* block) {
    VARIANT_BOOL result = VARIANT_FALSE;
    HRESULT hr = raw_Send(block, &result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(IDataProvider));
    return result;
}

inline _bstr_t IDataProvider::GetPortName() {
    BSTR result = nullptr;
    HRESULT hr = get_PortName(&result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(IDataProvider));
    return _bstr_t(result, false);
}

inline VARIANT_BOOL IDataProviderStream::Connect() {
    VARIANT_BOOL result = VARIANT_FALSE;
    HRESULT hr = raw_Connect(&result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(IDataProviderStream));
    return result;
}

inline VARIANT_BOOL IDataProviderStream::Disconnect() {
    VARIANT_BOOL result = VARIANT_FALSE;
    HRESULT hr = raw_Disconnect(&result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(IDataProviderStream));
    return result;
}

inline VARIANT_BOOL IDataProviderStream::Send(IDataBlock* block) {
    VARIANT_BOOL result = VARIANT_FALSE;
    HRESULT hr = raw_Send(block, &result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(IDataProviderStream));
    return result;
}

inline LONG IDataBlock::GetSize() {
    LONG result = 0;
    HRESULT hr = get_Size(&result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(IDataBlock));
    return result;
}

inline SAFEARRAY* IDataBlock::GetData() {
    SAFEARRAY* result = nullptr;
    HRESULT hr = get_Data(&result);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(IDataBlock));
    return result;
}

inline void IDataBlock::PutData(SAFEARRAY** data) {
    HRESULT hr = put_Data(data);
    if (FAILED(hr))
        _com_issue_errorex(hr, this, __uuidof(IDataBlock));
}
