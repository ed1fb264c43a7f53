// VariantInit, VariantClear, VariantCopy and VariantChangeType of this platform (on Windows,
// oleaut32 provides them).
#include "platform/com/Variant.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "platform/com/ComError.h"

namespace {

bool isValidBaseType(VARTYPE t) {
    switch (t) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_ERROR:
        case VT_BOOL:
        case VT_VARIANT:
        case VT_UNKNOWN:
        case VT_DECIMAL:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

bool isValidType(VARTYPE vt) {
    VARTYPE base = vt & VT_TYPEMASK;
    if (vt & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF))
        return false;
    if (!isValidBaseType(base))
        return false;
    if (!(vt & (VT_ARRAY | VT_BYREF)) && base == VT_VARIANT)
        return false;
    return true;
}

// A number read from a VARIANT.
struct Number {
    enum Kind { Signed, Unsigned, Real } kind = Signed;
    long long i = 0;
    unsigned long long u = 0;
    double d = 0;
    bool fromBool = false;
};

// A shallow view of a VT_BYREF value as a plain VARIANT (nothing is owned or copied).
bool dereference(const VARIANT& src, VARIANT& view) {
    view.vt = VT_EMPTY;
    if (!(src.vt & VT_BYREF)) {
        view = src;
        return true;
    }
    if (!src.byref)
        return false;
    VARTYPE base = src.vt & ~VT_BYREF;
    if (base == VT_VARIANT) {
        const VARIANT& inner = *src.pvarVal;
        if (inner.vt == (VT_BYREF | VT_VARIANT))
            return false;  // no double indirection
        return dereference(inner, view);
    }
    view.vt = base;
    if (base & VT_ARRAY) {
        view.parray = *src.pparray;
        return true;
    }
    switch (base) {
        case VT_I1:
            view.cVal = *src.pcVal;
            break;
        case VT_UI1:
            view.bVal = *src.pbVal;
            break;
        case VT_I2:
            view.iVal = *src.piVal;
            break;
        case VT_UI2:
            view.uiVal = *src.puiVal;
            break;
        case VT_I4:
            view.lVal = *src.plVal;
            break;
        case VT_UI4:
            view.ulVal = *src.pulVal;
            break;
        case VT_INT:
            view.intVal = *src.pintVal;
            break;
        case VT_UINT:
            view.uintVal = *src.puintVal;
            break;
        case VT_I8:
            view.llVal = *src.pllVal;
            break;
        case VT_UI8:
            view.ullVal = *src.pullVal;
            break;
        case VT_R4:
            view.fltVal = *src.pfltVal;
            break;
        case VT_R8:
        case VT_DATE:
            view.dblVal = *src.pdblVal;
            break;
        case VT_BOOL:
            view.boolVal = *src.pboolVal;
            break;
        case VT_ERROR:
            view.scode = *src.pscode;
            break;
        case VT_BSTR:
            view.bstrVal = *src.pbstrVal;
            break;
        case VT_UNKNOWN:
            view.punkVal = *src.ppunkVal;
            break;
        case VT_DISPATCH:
            view.pdispVal = *src.ppdispVal;
            break;
        default:
            return false;
    }
    return true;
}

std::string trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    std::size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

bool equalsNoCase(const std::string& a, const char* b) {
    std::size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (std::size_t k = 0; k < n; ++k) {
        char c = a[k];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != b[k])
            return false;
    }
    return true;
}

// "&H..." (hexadecimal) or "&O..." (octal) text, as Automation writes such numbers: up to 64
// bits, read as the signed value of the smallest of 16, 32 and 64 bits that holds the digits
// ("&HFFFF" is -1). False when it is not written so.
bool parseRadixNumber(const std::string& s, Number& n, HRESULT& hr) {
    if (s.size() < 2 || s[0] != '&')
        return false;
    const char mark = s[1];
    const int radix = (mark == 'h' || mark == 'H') ? 16 : (mark == 'o' || mark == 'O') ? 8 : 0;
    if (radix == 0)
        return false;
    const std::string digits = s.substr(2);
    hr = DISP_E_TYPEMISMATCH;
    if (digits.empty() || digits[0] == '-' || digits[0] == '+' || digits[0] == ' ')
        return true;
    char* end = nullptr;
    errno = 0;
    unsigned long long u = std::strtoull(digits.c_str(), &end, radix);
    if (*end)
        return true;
    if (errno == ERANGE) {
        hr = DISP_E_OVERFLOW;
        return true;
    }
    n.kind = Number::Signed;
    if (u <= 0xFFFFu)
        n.i = static_cast<std::int16_t>(u);
    else if (u <= 0xFFFFFFFFu)
        n.i = static_cast<std::int32_t>(u);
    else
        n.i = static_cast<long long>(u);
    hr = S_OK;
    return true;
}

// Text to a number: decimal, or hexadecimal and octal written as Automation writes them.
// DISP_E_TYPEMISMATCH when it is not one, DISP_E_OVERFLOW when it does not fit any integer or
// double. The words True and False (any case) are read only where a boolean is asked for.
HRESULT parseNumber(BSTR text, Number& n, bool allowBoolWords) {
    std::string s =
        trim(platform::com::utf16ToUtf8({text ? text : OLESTR(""), SysStringLen(text)}));
    if (s.empty())
        return DISP_E_TYPEMISMATCH;
    if (allowBoolWords && (equalsNoCase(s, "true") || equalsNoCase(s, "false"))) {
        n.kind = Number::Signed;
        n.i = equalsNoCase(s, "true") ? -1 : 0;
        n.fromBool = true;
        return S_OK;
    }
    HRESULT radixResult = S_OK;
    if (parseRadixNumber(s, n, radixResult))
        return radixResult;
    const char* begin = s.c_str();
    char* end = nullptr;
    bool integer = s.find_first_of(".eE") == std::string::npos;
    errno = 0;
    if (integer && s[0] != '-') {
        unsigned long long u = std::strtoull(begin, &end, 10);
        if (end == begin || *end)
            return DISP_E_TYPEMISMATCH;
        if (errno == ERANGE)
            return DISP_E_OVERFLOW;
        n.kind = Number::Unsigned;
        n.u = u;
        return S_OK;
    }
    if (integer) {
        long long i = std::strtoll(begin, &end, 10);
        if (end == begin || *end)
            return DISP_E_TYPEMISMATCH;
        if (errno == ERANGE)
            return DISP_E_OVERFLOW;
        n.kind = Number::Signed;
        n.i = i;
        return S_OK;
    }
    double d = std::strtod(begin, &end);
    if (end == begin || *end)
        return DISP_E_TYPEMISMATCH;
    if (errno == ERANGE && std::isinf(d))
        return DISP_E_OVERFLOW;
    n.kind = Number::Real;
    n.d = d;
    return S_OK;
}

// The number a VARIANT holds. DISP_E_TYPEMISMATCH for values that are not numbers; text reads
// as a boolean word only when toBool.
HRESULT readNumber(const VARIANT& v, Number& n, bool toBool = false) {
    n = Number();
    switch (v.vt) {
        case VT_EMPTY:
            return S_OK;
        case VT_I1:
            n.i = v.cVal;
            return S_OK;
        case VT_I2:
            n.i = v.iVal;
            return S_OK;
        case VT_I4:
            n.i = v.lVal;
            return S_OK;
        case VT_INT:
            n.i = v.intVal;
            return S_OK;
        case VT_I8:
            n.i = v.llVal;
            return S_OK;
        case VT_BOOL:
            n.i = v.boolVal ? -1 : 0;
            n.fromBool = true;
            return S_OK;
        case VT_UI1:
            n.kind = Number::Unsigned;
            n.u = v.bVal;
            return S_OK;
        case VT_UI2:
            n.kind = Number::Unsigned;
            n.u = v.uiVal;
            return S_OK;
        case VT_UI4:
            n.kind = Number::Unsigned;
            n.u = v.ulVal;
            return S_OK;
        case VT_UINT:
            n.kind = Number::Unsigned;
            n.u = v.uintVal;
            return S_OK;
        case VT_UI8:
            n.kind = Number::Unsigned;
            n.u = v.ullVal;
            return S_OK;
        case VT_R4:
            n.kind = Number::Real;
            n.d = v.fltVal;
            return S_OK;
        case VT_R8:
        case VT_DATE:
            n.kind = Number::Real;
            n.d = v.dblVal;
            return S_OK;
        case VT_BSTR:
            return parseNumber(v.bstrVal, n, toBool);
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

// A number as an integer of [lo, hi]; reals are rounded half to even as Automation does.
// A true boolean becomes all bits set in an unsigned target.
template <class T>
HRESULT toInteger(const Number& n, T& out) {
    using L = std::numeric_limits<T>;
    if (n.fromBool && n.i != 0) {
        out = static_cast<T>(-1);
        return S_OK;
    }
    switch (n.kind) {
        case Number::Signed:
            if constexpr (L::is_signed) {
                if (n.i < static_cast<long long>(L::min()) ||
                    n.i > static_cast<long long>(L::max()))
                    return DISP_E_OVERFLOW;
            } else {
                if (n.i < 0 || static_cast<unsigned long long>(n.i) > L::max())
                    return DISP_E_OVERFLOW;
            }
            out = static_cast<T>(n.i);
            return S_OK;
        case Number::Unsigned:
            if (n.u > static_cast<unsigned long long>(L::max()))
                return DISP_E_OVERFLOW;
            out = static_cast<T>(n.u);
            return S_OK;
        case Number::Real: {
            if (std::isnan(n.d))
                return DISP_E_OVERFLOW;
            long double r = std::nearbyintl(static_cast<long double>(n.d));
            if (r < static_cast<long double>(L::min()) || r > static_cast<long double>(L::max()))
                return DISP_E_OVERFLOW;
            out = static_cast<T>(r);
            return S_OK;
        }
    }
    return DISP_E_TYPEMISMATCH;
}

double toReal(const Number& n) {
    switch (n.kind) {
        case Number::Signed:
            return static_cast<double>(n.i);
        case Number::Unsigned:
            return static_cast<double>(n.u);
        case Number::Real:
            return n.d;
    }
    return 0;
}

// A real with the given significant digits, as Automation writes it: "0.5", "1E+20",
// "-1.25E-07" (printf's %g with a capital E).
void formatReal(char (&buf)[64], double d, int digits) {
    std::snprintf(buf, sizeof buf, "%.*G", digits, d);
}

HRESULT toBstr(const VARIANT& v, USHORT flags, BSTR& out) {
    char buf[64];
    switch (v.vt) {
        case VT_EMPTY:
            buf[0] = 0;
            break;
        case VT_BOOL:
            std::snprintf(buf, sizeof buf, "%s",
                          (flags & VARIANT_ALPHABOOL) ? (v.boolVal ? "True" : "False")
                                                      : (v.boolVal ? "-1" : "0"));
            break;
        case VT_R4:
            formatReal(buf, static_cast<double>(v.fltVal), 7);
            break;
        case VT_R8:
        case VT_DATE:
            formatReal(buf, v.dblVal, 15);
            break;
        default: {
            Number n;
            if (FAILED(readNumber(v, n)))
                return DISP_E_TYPEMISMATCH;
            if (n.kind == Number::Signed)
                std::snprintf(buf, sizeof buf, "%lld", n.i);
            else
                std::snprintf(buf, sizeof buf, "%llu", n.u);
        }
    }
    out = platform::com::allocBstr(buf);
    return S_OK;
}

// Converts a plain (not by-reference) value to vt into out, which receives a new owned value.
HRESULT convert(VARIANT& out, const VARIANT& src, USHORT flags, VARTYPE vt) {
    if (vt == src.vt)
        return VariantCopy(&out, &src);
    if (vt & (VT_ARRAY | VT_BYREF))
        return DISP_E_TYPEMISMATCH;  // arrays only to themselves
    if (src.vt & VT_ARRAY)
        return DISP_E_TYPEMISMATCH;
    if (src.vt == VT_NULL && vt != VT_EMPTY)
        return DISP_E_TYPEMISMATCH;

    Number n;
    HRESULT hr = S_OK;
    switch (vt) {
        case VT_EMPTY:
            out.vt = VT_EMPTY;
            return S_OK;
        case VT_NULL:
            out.vt = VT_NULL;
            return S_OK;
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            if (src.vt != VT_UNKNOWN && src.vt != VT_DISPATCH)
                return DISP_E_TYPEMISMATCH;
            IUnknown* from = src.vt == VT_UNKNOWN ? src.punkVal : src.pdispVal;
            void* p = nullptr;
            if (from) {
                hr = from->QueryInterface(vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch, &p);
                if (FAILED(hr))
                    return hr;
                if (!p)
                    return E_NOINTERFACE;
            }
            out.vt = vt;
            if (vt == VT_UNKNOWN)
                out.punkVal = static_cast<IUnknown*>(p);
            else
                out.pdispVal = static_cast<IDispatch*>(p);
            return S_OK;
        }
        case VT_BSTR: {
            BSTR s = nullptr;
            hr = toBstr(src, flags, s);
            if (FAILED(hr))
                return hr;
            out.vt = VT_BSTR;
            out.bstrVal = s;
            return S_OK;
        }
        case VT_ERROR:
            return DISP_E_TYPEMISMATCH;
        default:
            break;
    }
    if (src.vt == VT_ERROR)
        return DISP_E_TYPEMISMATCH;
    hr = readNumber(src, n, vt == VT_BOOL);
    if (FAILED(hr))
        return hr;
    switch (vt) {
        case VT_BOOL:
            out.boolVal = (n.kind == Number::Real       ? n.d != 0
                           : n.kind == Number::Unsigned ? n.u != 0
                                                        : n.i != 0)
                              ? VARIANT_TRUE
                              : VARIANT_FALSE;
            break;
        case VT_I1:
            hr = toInteger(n, out.cVal);
            break;
        case VT_UI1:
            hr = toInteger(n, out.bVal);
            break;
        case VT_I2:
            hr = toInteger(n, out.iVal);
            break;
        case VT_UI2:
            hr = toInteger(n, out.uiVal);
            break;
        case VT_I4:
            hr = toInteger(n, out.lVal);
            break;
        case VT_UI4:
            hr = toInteger(n, out.ulVal);
            break;
        case VT_INT:
            hr = toInteger(n, out.intVal);
            break;
        case VT_UINT:
            hr = toInteger(n, out.uintVal);
            break;
        case VT_I8:
            hr = toInteger(n, out.llVal);
            break;
        case VT_UI8:
            hr = toInteger(n, out.ullVal);
            break;
        case VT_R4: {
            double d = toReal(n);
            if (std::isfinite(d) && std::fabs(d) > FLT_MAX)
                return DISP_E_OVERFLOW;
            out.fltVal = static_cast<float>(d);
            break;
        }
        case VT_R8:
        case VT_DATE:
            out.dblVal = toReal(n);
            break;
        default:
            return DISP_E_TYPEMISMATCH;
    }
    if (FAILED(hr))
        return hr;
    out.vt = vt;
    return S_OK;
}

}  // namespace

void VariantInit(VARIANTARG* pvarg) {
    if (!pvarg)
        return;
    std::memset(static_cast<void*>(pvarg), 0, sizeof(VARIANT));
    pvarg->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
    if (!pvarg)
        return E_INVALIDARG;
    VARTYPE vt = pvarg->vt;
    if (!isValidType(vt))
        return DISP_E_BADVARTYPE;
    if (!(vt & VT_BYREF)) {
        if (vt & VT_ARRAY) {
            HRESULT hr = SafeArrayDestroy(pvarg->parray);
            if (FAILED(hr))
                return hr;
        } else if (vt == VT_BSTR) {
            SysFreeString(pvarg->bstrVal);
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            if (pvarg->punkVal) {
                IUnknown* p = vt == VT_UNKNOWN ? pvarg->punkVal : pvarg->pdispVal;
                pvarg->punkVal = nullptr;
                p->Release();
            }
        }
    }
    VariantInit(pvarg);
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (!pvargDest || !pvargSrc)
        return E_INVALIDARG;
    if (pvargDest == pvargSrc)
        return S_OK;
    if (!isValidType(pvargSrc->vt))
        return DISP_E_BADVARTYPE;
    VARIANT copy = *pvargSrc;
    VARTYPE vt = pvargSrc->vt;
    if (!(vt & VT_BYREF)) {
        if (vt & VT_ARRAY) {
            HRESULT hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
            if (FAILED(hr))
                return hr;
        } else if (vt == VT_BSTR) {
            // Byte for byte (a BSTR may hold an odd number of bytes); a null BSTR is copied as
            // an empty one, as oleaut32 copies it.
            copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(pvargSrc->bstrVal),
                                                 SysStringByteLen(pvargSrc->bstrVal));
            if (!copy.bstrVal)
                return E_OUTOFMEMORY;
        }
    }
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    if (!(vt & VT_BYREF) && (vt == VT_UNKNOWN || vt == VT_DISPATCH) && copy.punkVal)
        (vt == VT_UNKNOWN ? copy.punkVal : copy.pdispVal)->AddRef();
    *pvargDest = copy;
    return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt) {
    if (!pvargDest || !pvarSrc)
        return E_INVALIDARG;
    if (!isValidType(pvarSrc->vt) || !isValidType(vt))
        return DISP_E_BADVARTYPE;
    if (vt & VT_BYREF)  // a valid type, but no value can be converted into a reference
        return DISP_E_TYPEMISMATCH;
    VARIANT view;
    if (!dereference(*pvarSrc, view))
        return DISP_E_TYPEMISMATCH;
    VARIANT result;
    VariantInit(&result);
    HRESULT hr;
    try {
        hr = convert(result, view, wFlags, vt);
    } catch (const _com_error& e) {
        hr = e.Error();
    }
    if (FAILED(hr))
        return hr;
    hr = VariantClear(pvargDest);  // also when it is the source: the result is a copy
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *pvargDest = result;
    return S_OK;
}

HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID, USHORT wFlags,
                            VARTYPE vt) {
    return VariantChangeType(pvargDest, pvarSrc, wFlags, vt);
}
