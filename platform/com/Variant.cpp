#include "platform/com/Variant.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "platform/com/ComError.h"

// ---- _variant_t -------------------------------------------------------------------------

_variant_t::_variant_t(const VARIANT& var) {
    VariantInit(this);
    HRESULT hr = VariantCopy(this, &var);
    if (FAILED(hr))
        _com_issue_error(hr);
}

_variant_t::_variant_t(const _variant_t& var) : _variant_t(static_cast<const VARIANT&>(var)) {}

_variant_t::_variant_t(_variant_t&& var) noexcept : VARIANT(static_cast<VARIANT&>(var)) {
    VariantInit(&var);
}

_variant_t::_variant_t(VARIANT& var, bool fCopy) {
    VariantInit(this);
    if (fCopy) {
        HRESULT hr = VariantCopy(this, &var);
        if (FAILED(hr))
            _com_issue_error(hr);
    } else {
        static_cast<VARIANT&>(*this) = var;
        VariantInit(&var);
    }
}

_variant_t::_variant_t(short value, VARTYPE vt) {
    VariantInit(this);
    if (vt == VT_BOOL) {
        this->vt = VT_BOOL;
        boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    } else if (vt == VT_I2) {
        this->vt = VT_I2;
        iVal = value;
    } else {
        _com_issue_error(E_INVALIDARG);
    }
}

_variant_t::_variant_t(LONG value, VARTYPE vt) {
    VariantInit(this);
    if (vt == VT_I4 || vt == VT_ERROR) {
        this->vt = vt;
        lVal = value;
    } else if (vt == VT_BOOL) {
        this->vt = VT_BOOL;
        boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    } else {
        _com_issue_error(E_INVALIDARG);
    }
}

_variant_t::_variant_t(ULONG value) noexcept {
    VariantInit(this);
    vt = VT_UI4;
    ulVal = value;
}

_variant_t::_variant_t(unsigned short value) noexcept {
    VariantInit(this);
    vt = VT_UI2;
    uiVal = value;
}

_variant_t::_variant_t(unsigned char value) noexcept {
    VariantInit(this);
    vt = VT_UI1;
    bVal = value;
}

_variant_t::_variant_t(bool value) noexcept {
    VariantInit(this);
    vt = VT_BOOL;
    boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

_variant_t::_variant_t(double value) noexcept {
    VariantInit(this);
    vt = VT_R8;
    dblVal = value;
}

_variant_t::_variant_t(const char* utf8) {
    VariantInit(this);
    bstrVal = platform::com::allocBstr(utf8 ? utf8 : "");
    vt = VT_BSTR;
}

_variant_t::_variant_t(const OLECHAR* text) {
    VariantInit(this);
    bstrVal = SysAllocString(text ? text : OLESTR(""));
    if (!bstrVal)
        _com_issue_error(E_OUTOFMEMORY);
    vt = VT_BSTR;
}

_variant_t::_variant_t(const _bstr_t& text) {
    VariantInit(this);
    bstrVal = SysAllocStringLen(text, text.length());
    if (!bstrVal)
        _com_issue_error(E_OUTOFMEMORY);
    vt = VT_BSTR;
}

_variant_t::_variant_t(IDispatch* p, bool fAddRef) noexcept {
    VariantInit(this);
    vt = VT_DISPATCH;
    pdispVal = p;
    if (p && fAddRef)
        p->AddRef();
}

_variant_t::_variant_t(IUnknown* p, bool fAddRef) noexcept {
    VariantInit(this);
    vt = VT_UNKNOWN;
    punkVal = p;
    if (p && fAddRef)
        p->AddRef();
}

_variant_t::_variant_t(SAFEARRAY* bytes) {
    VariantInit(this);
    VARTYPE t = VT_EMPTY;
    if (!bytes || FAILED(SafeArrayGetVartype(bytes, &t)) || t != VT_UI1)
        _com_issue_error(E_INVALIDARG);
    HRESULT hr = SafeArrayCopy(bytes, &parray);
    if (FAILED(hr))
        _com_issue_error(hr);
    vt = VT_ARRAY | VT_UI1;
}

_variant_t& _variant_t::operator=(const VARIANT& var) {
    HRESULT hr = VariantCopy(this, &var);
    if (FAILED(hr))
        _com_issue_error(hr);
    return *this;
}

_variant_t& _variant_t::operator=(const _variant_t& var) {
    return *this = static_cast<const VARIANT&>(var);
}

_variant_t& _variant_t::operator=(_variant_t&& var) noexcept {
    if (this != &var) {
        VariantClear(this);
        static_cast<VARIANT&>(*this) = static_cast<VARIANT&>(var);
        VariantInit(&var);
    }
    return *this;
}

void _variant_t::Clear() {
    HRESULT hr = VariantClear(this);
    if (FAILED(hr))
        _com_issue_error(hr);
}

void _variant_t::Attach(VARIANT& var) {
    Clear();
    static_cast<VARIANT&>(*this) = var;
    VariantInit(&var);
}

VARIANT _variant_t::Detach() noexcept {
    VARIANT v = *this;
    VariantInit(this);
    return v;
}

VARIANT* _variant_t::GetAddress() {
    Clear();
    return this;
}

void _variant_t::ChangeType(VARTYPE vt, const _variant_t* src) {
    HRESULT hr = VariantChangeType(this, src ? src : this, 0, vt);
    if (FAILED(hr))
        _com_issue_error(hr);
}

template <class T>
T _variant_t::extract(VARTYPE t) const {
    _variant_t converted;
    HRESULT hr = VariantChangeType(&converted, this, 0, t);
    if (FAILED(hr))
        _com_issue_error(hr);
    switch (t) {
        case VT_I2:
            return static_cast<T>(converted.iVal);
        case VT_I4:
            return static_cast<T>(converted.lVal);
        case VT_UI1:
            return static_cast<T>(converted.bVal);
        case VT_BOOL:
            return static_cast<T>(converted.boolVal != 0);
        default:
            return static_cast<T>(converted.dblVal);
    }
}

_variant_t::operator short() const {
    return extract<short>(VT_I2);
}
_variant_t::operator LONG() const {
    return extract<LONG>(VT_I4);
}
_variant_t::operator unsigned char() const {
    return extract<unsigned char>(VT_UI1);
}
_variant_t::operator bool() const {
    return extract<bool>(VT_BOOL);
}
_variant_t::operator double() const {
    return extract<double>(VT_R8);
}
_variant_t::operator _bstr_t() const {
    return _bstr_t(static_cast<const VARIANT&>(*this));
}
