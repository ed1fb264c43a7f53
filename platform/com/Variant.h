// VARIANT, the Automation value, its functions (VariantInit, VariantClear, VariantCopy,
// VariantChangeType) and _variant_t, its owning wrapper.
//
// A VARIANT owns what it holds: a BSTR (VT_BSTR), one reference on an interface (VT_UNKNOWN,
// VT_DISPATCH) or a SAFEARRAY (VT_ARRAY | type). VariantClear frees it; VariantCopy and
// VariantChangeType make new owned values and free what they replace in the destination.
// VT_BYREF values point at storage the VARIANT does not own.
#pragma once

#include "platform/com/Bstr.h"
#include "platform/com/ComBase.h"
#include "platform/com/SafeArray.h"

#if !defined(_WIN32)
enum VARENUM {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0FFF,
};

struct tagVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        double date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        LONGLONG* pllVal;
        float* pfltVal;
        double* pdblVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        PVOID byref;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        CHAR* pcVal;
        USHORT* puiVal;
        ULONG* pulVal;
        ULONGLONG* pullVal;
        INT* pintVal;
        UINT* puintVal;
    };
};

#define V_VT(v) ((v)->vt)
#define V_I2(v) ((v)->iVal)
#define V_I4(v) ((v)->lVal)
#define V_UI1(v) ((v)->bVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_BSTR(v) ((v)->bstrVal)
#define V_UNKNOWN(v) ((v)->punkVal)
#define V_DISPATCH(v) ((v)->pdispVal)
#define V_ARRAY(v) ((v)->parray)

// VariantChangeType flags.
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02  // VT_BOOL to VT_BSTR gives "True"/"False" instead of "-1"/"0"

void VariantInit(VARIANTARG* pvarg);
// Frees what the VARIANT holds and leaves it VT_EMPTY. DISP_E_ARRAYISLOCKED (and the VARIANT
// unchanged) for a locked array, DISP_E_BADVARTYPE for a type that is not valid.
HRESULT VariantClear(VARIANTARG* pvarg);
// Clears the destination, then makes it an owned copy of the source.
HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
// Converts the source to vt into the destination (which may be the source itself). On
// success the destination's old value is freed; on failure the destination is unchanged.
// Supported: VT_EMPTY, VT_NULL, the integer and real types, VT_BOOL, VT_BSTR (decimal text),
// VT_ERROR (from itself), VT_UNKNOWN and VT_DISPATCH (by QueryInterface from an interface),
// and VT_ARRAY | type from the same type. Sources may be VT_BYREF; a VT_BYREF target is a
// DISP_E_TYPEMISMATCH, as in oleaut32. Failures:
// DISP_E_TYPEMISMATCH (no such conversion, or text that is not a number), DISP_E_OVERFLOW
// (value out of the target's range), E_NOINTERFACE (the object lacks the interface),
// DISP_E_BADVARTYPE.
HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid,
                            USHORT wFlags, VARTYPE vt);
#else
// The system's functions take the source as const (as the Windows SDK declares them); the
// mingw-w64 headers leave out the const, so these forms take a const source.
inline HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    return VariantCopy(pvargDest, const_cast<VARIANTARG*>(pvargSrc));
}
inline HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                                 VARTYPE vt) {
    return VariantChangeType(pvargDest, const_cast<VARIANTARG*>(pvarSrc), wFlags, vt);
}
#endif  // !_WIN32

// An owning VARIANT. Construction, assignment and the extractors raise _com_error when a
// value cannot be copied or converted.
class _variant_t : public VARIANT {
  public:
    _variant_t() noexcept { VariantInit(this); }
    _variant_t(const VARIANT& var);
    _variant_t(const _variant_t& var);
    _variant_t(_variant_t&& var) noexcept;
    // fCopy false takes over var (which is left VT_EMPTY).
    _variant_t(VARIANT& var, bool fCopy);
    // vt: VT_I2 or VT_BOOL.
    _variant_t(short value, VARTYPE vt = VT_I2);
    // vt: VT_I4, VT_ERROR or VT_BOOL.
    _variant_t(LONG value, VARTYPE vt = VT_I4);
    _variant_t(ULONG value) noexcept;
#if defined(_WIN32)
    // LONG and ULONG are long there: an int is a VT_I4 and an unsigned int a VT_UI4, as here.
    _variant_t(int value) : _variant_t(static_cast<LONG>(value)) {}
    _variant_t(unsigned int value) noexcept : _variant_t(static_cast<ULONG>(value)) {}
#endif
    _variant_t(unsigned short value) noexcept;
    _variant_t(unsigned char value) noexcept;
    _variant_t(bool value) noexcept;
    _variant_t(double value) noexcept;
    _variant_t(const char* utf8);
    _variant_t(const OLECHAR* text);
    _variant_t(const _bstr_t& text);
    _variant_t(IDispatch* p, bool fAddRef = true) noexcept;
    _variant_t(IUnknown* p, bool fAddRef = true) noexcept;
    // A VT_ARRAY | VT_UI1 copy of a byte array.
    explicit _variant_t(SAFEARRAY* bytes);
    ~_variant_t() {
        VariantClear(this);
    }

    _variant_t& operator=(const VARIANT& var);
    _variant_t& operator=(const _variant_t& var);
    _variant_t& operator=(_variant_t&& var) noexcept;

    void Clear();
    // Takes over var (left VT_EMPTY); the old value is freed.
    void Attach(VARIANT& var);
    // Gives up the value: the caller owns the VARIANT returned.
    VARIANT Detach() noexcept;
    VARIANT& GetVARIANT() noexcept {
        return *this;
    }
    // Clears the value and gives its address, for out parameters.
    VARIANT* GetAddress();
    // Converts in place (or converts src into this when given).
    void ChangeType(VARTYPE vt, const _variant_t* src = nullptr);

    operator short() const;
    operator LONG() const;
    operator unsigned char() const;
    operator bool() const;
    operator double() const;
    operator _bstr_t() const;

  private:
    template <class T>
    T extract(VARTYPE vt) const;
};
