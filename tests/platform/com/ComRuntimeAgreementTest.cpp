// What the COM runtime does with values, checked the same way where the runtime is this
// project's own layer (Linux) and where it is the system's oleaut32 (Windows): conversions of
// VariantChangeType to and from text, BSTR lengths and nulls, SAFEARRAY lock counts and bounds.
// The expectations are the documented Windows behaviour; the own layer follows it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/com/Com.h"

namespace {

// Converts src to vt; the HRESULT, and the result in out.
HRESULT change(const VARIANT& src, VARTYPE vt, _variant_t& out, USHORT flags = 0) {
    out.Clear();
    return VariantChangeType(&out, &src, flags, vt);
}

_variant_t text(const char* s) {
    return _variant_t(s);
}

_variant_t real4(float f) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R4;
    v.fltVal = f;
    return _variant_t(v, false);
}

_variant_t int8(LONGLONG n) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I8;
    v.llVal = n;
    return _variant_t(v, false);
}

std::string asText(const _variant_t& v) {
    EXPECT_EQ(v.vt, VT_BSTR);
    return v.vt == VT_BSTR ? _bstr_t(v.bstrVal).utf8() : std::string("<not text>");
}

TEST(RuntimeAgreement, TextToNumbersAndBooleans) {
    _variant_t out;
    ASSERT_EQ(change(text(" 12 "), VT_I4, out), S_OK);  // blanks around the number are allowed
    EXPECT_EQ(out.lVal, 12);
    ASSERT_EQ(change(text("-7"), VT_I2, out), S_OK);
    EXPECT_EQ(out.iVal, -7);
    ASSERT_EQ(change(text("1e3"), VT_I4, out), S_OK);
    EXPECT_EQ(out.lVal, 1000);
    ASSERT_EQ(change(text("2.5"), VT_I4, out), S_OK);  // half to even
    EXPECT_EQ(out.lVal, 2);
    ASSERT_EQ(change(text("&H1F"), VT_I4, out), S_OK);  // hexadecimal in Automation's notation
    EXPECT_EQ(out.lVal, 31);
    ASSERT_EQ(change(text("&hff"), VT_UI1, out), S_OK);
    EXPECT_EQ(out.bVal, 0xFF);

    EXPECT_EQ(change(text(""), VT_I4, out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(change(text("  "), VT_I4, out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(change(text("12abc"), VT_I4, out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(change(text("0x10"), VT_I4, out), DISP_E_TYPEMISMATCH);  // not Automation's hex
    EXPECT_EQ(change(text("99999999999"), VT_I4, out), DISP_E_OVERFLOW);
    EXPECT_EQ(change(text("-1"), VT_UI1, out), DISP_E_OVERFLOW);
    EXPECT_EQ(change(text("300"), VT_UI1, out), DISP_E_OVERFLOW);

    // The words True and False are booleans only: a number is not read from them.
    ASSERT_EQ(change(text("TRUE"), VT_BOOL, out), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_TRUE);
    ASSERT_EQ(change(text("false"), VT_BOOL, out), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_FALSE);
    ASSERT_EQ(change(text("-1"), VT_BOOL, out), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_TRUE);
    EXPECT_EQ(change(text("True"), VT_I4, out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(change(text("false"), VT_UI1, out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(change(text("yes"), VT_BOOL, out), DISP_E_TYPEMISMATCH);

    // A null BSTR is the empty text.
    VARIANT nullText;
    VariantInit(&nullText);
    nullText.vt = VT_BSTR;
    nullText.bstrVal = nullptr;
    EXPECT_EQ(change(nullText, VT_I4, out), DISP_E_TYPEMISMATCH);
}

TEST(RuntimeAgreement, NumbersToText) {
    _variant_t out;
    ASSERT_EQ(change(_variant_t(0.5), VT_BSTR, out), S_OK);
    EXPECT_EQ(asText(out), "0.5");
    ASSERT_EQ(change(_variant_t(1.0 / 3.0), VT_BSTR, out), S_OK);
    EXPECT_EQ(asText(out), "0.333333333333333");  // 15 significant digits
    ASSERT_EQ(change(_variant_t(1e20), VT_BSTR, out), S_OK);
    EXPECT_EQ(asText(out), "1E+20");  // capital E, at least two exponent digits
    ASSERT_EQ(change(_variant_t(-1.25e-7), VT_BSTR, out), S_OK);
    EXPECT_EQ(asText(out), "-1.25E-07");
    ASSERT_EQ(change(real4(0.1f), VT_BSTR, out), S_OK);
    EXPECT_EQ(asText(out), "0.1");  // 7 significant digits for a float
    ASSERT_EQ(change(int8(-5), VT_BSTR, out), S_OK);
    EXPECT_EQ(asText(out), "-5");
    ASSERT_EQ(change(_variant_t(static_cast<ULONG>(4294967295u)), VT_BSTR, out), S_OK);
    EXPECT_EQ(asText(out), "4294967295");
    ASSERT_EQ(change(_variant_t(false), VT_BSTR, out), S_OK);
    EXPECT_EQ(asText(out), "0");

    // Empty is the empty text: a real BSTR of no characters, not a null one.
    ASSERT_EQ(change(_variant_t(), VT_BSTR, out), S_OK);
    ASSERT_EQ(out.vt, VT_BSTR);
    EXPECT_NE(out.bstrVal, nullptr);
    EXPECT_EQ(SysStringLen(out.bstrVal), 0u);
    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    EXPECT_EQ(change(null, VT_BSTR, out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(change(null, VT_I4, out), DISP_E_TYPEMISMATCH);
}

TEST(RuntimeAgreement, BstrLengthsAndNulls) {
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);

    // Embedded nulls are characters: the length is the prefix's, and a terminator follows.
    const OLECHAR withNull[] = {'a', 0, 'b'};
    BSTR s = SysAllocStringLen(withNull, 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 3u);
    EXPECT_EQ(s[1], 0);
    EXPECT_EQ(s[2], 'b');
    EXPECT_EQ(s[3], 0);
    _bstr_t wrapped(s, true);  // a copy keeps every character
    EXPECT_EQ(wrapped.length(), 3u);
    SysFreeString(s);

    // An odd byte length: the character length rounds down, two zero bytes follow the bytes.
    BSTR bytes = SysAllocStringByteLen("abcde", 5);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(SysStringByteLen(bytes), 5u);
    EXPECT_EQ(SysStringLen(bytes), 2u);
    const auto* raw = reinterpret_cast<const unsigned char*>(bytes);
    EXPECT_EQ(std::memcmp(raw, "abcde", 5), 0);
    EXPECT_EQ(raw[5], 0);
    EXPECT_EQ(raw[6], 0);

    // VariantCopy copies a BSTR byte for byte: an odd byte keeps its place.
    VARIANT byteText;
    VariantInit(&byteText);
    byteText.vt = VT_BSTR;
    byteText.bstrVal = bytes;  // owned by byteText from here
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &byteText), S_OK);
    ASSERT_EQ(copy.vt, VT_BSTR);
    EXPECT_EQ(SysStringByteLen(copy.bstrVal), 5u);
    EXPECT_EQ(std::memcmp(copy.bstrVal, "abcde", 5), 0);
    EXPECT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(VariantClear(&byteText), S_OK);

    // A copy of a null BSTR is an empty one, not null.
    VARIANT nullText;
    VariantInit(&nullText);
    nullText.vt = VT_BSTR;
    nullText.bstrVal = nullptr;
    ASSERT_EQ(VariantCopy(&copy, &nullText), S_OK);
    EXPECT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, nullptr);
    EXPECT_EQ(SysStringLen(copy.bstrVal), 0u);
    EXPECT_EQ(VariantClear(&copy), S_OK);
    _variant_t same;
    ASSERT_EQ(VariantChangeType(&same, &nullText, 0, VT_BSTR), S_OK);  // a copy too
    EXPECT_NE(same.bstrVal, nullptr);
}

TEST(RuntimeAgreement, SafeArrayLockCountsAndBounds) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 4);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(psa->cLocks, 0u);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    EXPECT_EQ(psa->cLocks, 1u);  // access is a lock
    EXPECT_EQ(data, psa->pvData);
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
    EXPECT_EQ(copy->cLocks, 0u);  // a copy is not locked
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(psa->cLocks, 0u);

    // At most 65535 locks at once.
    ULONG taken = 0;
    while (taken < 70000 && SafeArrayLock(psa) == S_OK)
        ++taken;
    EXPECT_EQ(taken, 65535u);
    EXPECT_EQ(SafeArrayLock(psa), E_UNEXPECTED);
    EXPECT_EQ(psa->cLocks, taken);  // a refused lock leaves the count
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    for (ULONG k = 0; k < taken; ++k)
        ASSERT_EQ(SafeArrayUnlock(psa), S_OK);
    EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

    // Bounds: the upper bound is lower + count - 1, below the lower bound when empty.
    LONG lb = 0, ub = 0;
    SAFEARRAY* shifted = SafeArrayCreateVector(VT_I4, -2, 3);
    ASSERT_NE(shifted, nullptr);
    EXPECT_EQ(SafeArrayGetLBound(shifted, 1, &lb), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(shifted, 1, &ub), S_OK);
    EXPECT_EQ(lb, -2);
    EXPECT_EQ(ub, 0);
    LONG value = 0;
    LONG index = -3;
    EXPECT_EQ(SafeArrayGetElement(shifted, &index, &value), DISP_E_BADINDEX);
    index = 1;
    EXPECT_EQ(SafeArrayGetElement(shifted, &index, &value), DISP_E_BADINDEX);
    index = -2;
    value = 9;
    EXPECT_EQ(SafeArrayPutElement(shifted, &index, &value), S_OK);
    EXPECT_EQ(static_cast<LONG*>(shifted->pvData)[0], 9);
    EXPECT_EQ(shifted->cLocks, 0u);  // element access locks only while it copies
    EXPECT_EQ(SafeArrayGetLBound(shifted, 0, &lb), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(shifted, 2, &ub), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayDestroy(shifted), S_OK);

    SAFEARRAY* empty = SafeArrayCreateVector(VT_UI1, 5, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SafeArrayGetUBound(empty, 1, &ub), S_OK);
    EXPECT_EQ(ub, 4);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
}

}  // namespace
