// Values: BSTR layout and round trips, VARIANT ownership and conversions, SAFEARRAY locking,
// and enumeration. Run under AddressSanitizer these also catch what a conversion fails to
// free.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "framework/core/Values.h"
#include "tests/platform/com/TestObjects.h"

namespace {

std::vector<std::uint8_t> rawBytes(const void* p, std::size_t n) {
    auto* b = static_cast<const std::uint8_t*>(p);
    return {b, b + n};
}

ULONG refCount(IUnknown* p) {
    p->AddRef();
    return p->Release();
}

class PlainObject : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>, public IPlain {
  public:
    BEGIN_COM_MAP(PlainObject)
    COM_INTERFACE_ENTRY(IPlain)
    END_COM_MAP()
    STDMETHOD(Nothing)() override { return S_OK; }
};

TEST(Bstr, LayoutHasLengthPrefixAndTerminator) {
    const OLECHAR text[] = {u'a', 0, u'\u00E9'};  // an embedded null
    BSTR s = SysAllocStringLen(text, 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 3u);
    EXPECT_EQ(SysStringByteLen(s), 6u);
    // 4-byte little-endian byte count, the UTF-16 code units, a null terminator.
    EXPECT_EQ(rawBytes(reinterpret_cast<const char*>(s) - 4, 4 + 6 + 2),
              (std::vector<std::uint8_t>{6, 0, 0, 0, 'a', 0, 0, 0, 0xE9, 0, 0, 0}));
    SysFreeString(s);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    BSTR zeros = SysAllocStringLen(nullptr, 2);
    EXPECT_EQ(rawBytes(zeros, 6), (std::vector<std::uint8_t>(6, 0)));
    EXPECT_EQ(SysReAllocString(&zeros, OLESTR("xyz")), TRUE);
    EXPECT_EQ(SysStringLen(zeros), 3u);
    SysFreeString(zeros);
    BSTR bytes = SysAllocStringByteLen("abc", 3);
    EXPECT_EQ(SysStringByteLen(bytes), 3u);
    EXPECT_EQ(SysStringLen(bytes), 1u);
    EXPECT_EQ(rawBytes(bytes, 5), (std::vector<std::uint8_t>{'a', 'b', 'c', 0, 0}));
    SysFreeString(bytes);
}

TEST(Bstr, NonAsciiRoundTrips) {
    const char* utf8 =
        "Gr\xC3\xBC\xC3\x9F"
        "e \xE6\x97\xA5 \xF0\x9F\x98\x80";  // Grüße 日 😀
    _bstr_t b(utf8);
    const platform::com::OleString expected = OLESTR("Gr\u00FC\u00DFe \u65E5 \U0001F600");
    ASSERT_EQ(b.length(), expected.size());  // the emoji is a surrogate pair
    EXPECT_EQ(platform::com::OleString(b.view()), expected);
    EXPECT_EQ(b.utf8(), utf8);
    EXPECT_EQ(core::EString(b), utf8);  // the framework's conversion from a COM string
    _bstr_t fromWide(expected.c_str());
    EXPECT_EQ(fromWide, b);

    // Malformed input (a cut sequence, an overlong form, a cut sequence at the end) becomes
    // one U+FFFD each and nothing after it is lost.
    EXPECT_EQ(platform::com::utf8ToUtf16("\xE2"
                                         "A\xC0\xAF"
                                         "B\xF0\x9F"),
              OLESTR("\uFFFDA\uFFFDB\uFFFD"));
    EXPECT_EQ(platform::com::utf16ToUtf8(OLESTR("x\xD800y")), "x\xEF\xBF\xBDy");
}

TEST(Bstr, CopiesShareAndOutParametersDoNotLeak) {
    _bstr_t a("one");
    _bstr_t b = a;
    EXPECT_EQ(static_cast<const OLECHAR*>(a), static_cast<const OLECHAR*>(b));
    b = "two";
    EXPECT_NE(a, b);
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(a == "one");
    EXPECT_EQ((a + _bstr_t(" more")).utf8(), "one more");

    _bstr_t out("old");
    BSTR* address = out.GetAddress();  // frees "old"
    *address = SysAllocString(OLESTR("given"));
    EXPECT_EQ(out.utf8(), "given");

    BSTR detached = a.Detach();
    EXPECT_FALSE(!_bstr_t(detached, true));
    EXPECT_TRUE(!a);
    a.Attach(detached);
    EXPECT_EQ(a.length(), 3u);
    _bstr_t shared = a;
    BSTR copy = shared.Detach();  // shared: a copy, the other holder keeps its string
    EXPECT_NE(copy, static_cast<const OLECHAR*>(a));
    SysFreeString(copy);
    EXPECT_EQ(a.utf8(), "one");
    EXPECT_EQ(_bstr_t(), _bstr_t(""));  // null equals empty
}

TEST(Variant, ClearAndCopyOwnWhatTheyHold) {
    ICounterPtr counter = makeCounter();
    ICounter* raw = counter;
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_DISPATCH;
    v.pdispVal = raw;
    raw->AddRef();
    VARIANT c;
    VariantInit(&c);
    EXPECT_EQ(VariantCopy(&c, &v), S_OK);
    EXPECT_EQ(refCount(raw), 3u);
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(refCount(raw), 2u);

    // Copying over a value frees it first.
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(OLESTR("text"));
    EXPECT_EQ(VariantCopy(&c, &text), S_OK);
    EXPECT_EQ(refCount(raw), 1u);
    EXPECT_NE(c.bstrVal, text.bstrVal);  // a deep copy
    EXPECT_EQ(platform::com::OleString(c.bstrVal), OLESTR("text"));
    VariantClear(&c);
    VariantClear(&text);

    VARIANT bad;
    VariantInit(&bad);
    bad.vt = 0x0FFF;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
}

TEST(Variant, ChangeTypeConvertsAndFreesWhatItReplaces) {
    _variant_t n(42);
    _variant_t s;
    ASSERT_EQ(VariantChangeType(&s, &n, 0, VT_BSTR), S_OK);
    EXPECT_EQ(_bstr_t(s.bstrVal).utf8(), "42");

    // In place: the old string is freed (AddressSanitizer reports the leak otherwise).
    _variant_t text(" -7 ");
    ASSERT_EQ(VariantChangeType(&text, &text, 0, VT_I2), S_OK);
    EXPECT_EQ(text.vt, VT_I2);
    EXPECT_EQ(text.iVal, -7);

    _variant_t word("abc");
    _variant_t dest(5);
    EXPECT_EQ(VariantChangeType(&dest, &word, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(dest.vt, VT_I4);  // unchanged on failure
    EXPECT_EQ(dest.lVal, 5);

    _variant_t big(300);
    EXPECT_EQ(VariantChangeType(&dest, &big, 0, VT_UI1), DISP_E_OVERFLOW);
    _variant_t negative(-1);
    // oleaut32 (Wine's at least) gives 0xFFFFFFFF here; the own layer refuses the sign change.
    if (kOwnComRuntime) {
        EXPECT_EQ(VariantChangeType(&dest, &negative, 0, VT_UI4), DISP_E_OVERFLOW);
    }
    _variant_t half(2.5), threeHalves(3.5);
    ASSERT_EQ(VariantChangeType(&dest, &half, 0, VT_I4), S_OK);
    EXPECT_EQ(dest.lVal, 2);  // rounded half to even
    ASSERT_EQ(VariantChangeType(&dest, &threeHalves, 0, VT_I4), S_OK);
    EXPECT_EQ(dest.lVal, 4);

    _variant_t yes(true);
    ASSERT_EQ(VariantChangeType(&dest, &yes, 0, VT_BSTR), S_OK);
    EXPECT_EQ(_bstr_t(dest.bstrVal).utf8(), "-1");
    ASSERT_EQ(VariantChangeType(&dest, &yes, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
    EXPECT_EQ(_bstr_t(dest.bstrVal).utf8(), "True");
    _variant_t trueText("TRUE");
    ASSERT_EQ(VariantChangeType(&dest, &trueText, 0, VT_BOOL), S_OK);
    EXPECT_EQ(dest.boolVal, VARIANT_TRUE);
    ASSERT_EQ(VariantChangeType(&dest, &yes, 0, VT_UI1), S_OK);
    EXPECT_EQ(dest.bVal, 0xFF);

    LONG stored = 77;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &stored;
    ASSERT_EQ(VariantChangeType(&dest, &ref, 0, VT_R8), S_OK);
    EXPECT_EQ(dest.dblVal, 77.0);

    _variant_t empty;
    ASSERT_EQ(VariantChangeType(&dest, &empty, 0, VT_I4), S_OK);
    EXPECT_EQ(dest.lVal, 0);
    EXPECT_EQ(VariantChangeType(&dest, &empty, 0, VT_DISPATCH), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&dest, &empty, 0, VT_I4 | VT_BYREF), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&dest, &empty, 0, 0x0FFF), DISP_E_BADVARTYPE);
}

TEST(Variant, ChangeTypeBetweenInterfacesAsksTheObject) {
    ICounterPtr counter = makeCounter();
    IPingerPtr pinger = counter;
    _variant_t unknown(static_cast<IUnknown*>(pinger.GetInterfacePtr()));
    _variant_t dispatch;
    ASSERT_EQ(VariantChangeType(&dispatch, &unknown, 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(dispatch.pdispVal, static_cast<IDispatch*>(counter.GetInterfacePtr()));
    ASSERT_EQ(VariantChangeType(&unknown, &dispatch, 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(unknown.punkVal, IUnknownPtr(counter).GetInterfacePtr());  // the identity

    // An object without IDispatch cannot become VT_DISPATCH.
    ATL::CComObject<PlainObject>* plain = nullptr;
    ATL::CComObject<PlainObject>::CreateInstance(&plain);
    _variant_t plainUnknown(static_cast<IUnknown*>(static_cast<IPlain*>(plain)));
    EXPECT_EQ(VariantChangeType(&dispatch, &plainUnknown, 0, VT_DISPATCH), E_NOINTERFACE);
    EXPECT_EQ(dispatch.vt, VT_DISPATCH);  // unchanged
}

TEST(SafeArray, VectorMadeHoldingACopy) {
    const std::uint8_t bytes[] = {0x10, 0x20, 0x30};
    SAFEARRAY* psa = platform::com::safeArrayCreateVectorCopy(VT_UI1, bytes, 3);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(SafeArrayGetDim(psa), 1u);
    LONG lb = -1, ub = -1;
    EXPECT_EQ(SafeArrayGetLBound(psa, 1, &lb), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(psa, 1, &ub), S_OK);
    EXPECT_EQ(lb, 0);
    EXPECT_EQ(ub, 2);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
    EXPECT_EQ(vt, VT_UI1);
    EXPECT_NE(psa->pvData, static_cast<const void*>(bytes));
    EXPECT_EQ(rawBytes(psa->pvData, 3), (std::vector<std::uint8_t>{0x10, 0x20, 0x30}));
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

    const std::uint16_t words[] = {0x0102, 0x0304};
    SAFEARRAY* wide = platform::com::safeArrayCreateVectorCopy(VT_UI2, words, 2);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(rawBytes(wide->pvData, 4), (std::vector<std::uint8_t>{0x02, 0x01, 0x04, 0x03}));
    EXPECT_EQ(SafeArrayDestroy(wide), S_OK);

    SAFEARRAY* empty = platform::com::safeArrayCreateVectorCopy(VT_UI1, nullptr, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_NE(empty->pvData, nullptr);  // never null, as for every array
    EXPECT_EQ(platform::com::safeArrayElementCount(empty), 0u);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
    EXPECT_EQ(platform::com::safeArrayCreateVectorCopy(VT_UI1, nullptr, 2), nullptr);
    EXPECT_EQ(platform::com::safeArrayCreateVectorCopy(VT_BSTR, bytes, 1), nullptr);
}

// An array laid over the caller's bytes reads and writes them in place; destroying it zeroes
// them but does not free them (ASan), and a copy of it owns its own bytes.
TEST(SafeArray, VectorLaidOverTheCallersBytes) {
    std::vector<std::uint8_t> bytes = {0x10, 0x20, 0x30, 0x40};
    SAFEARRAY* psa = platform::com::safeArrayCreateVectorOver(VT_UI1, bytes.data(), 4);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(psa->pvData, static_cast<void*>(bytes.data()));
    EXPECT_EQ(platform::com::safeArrayElementCount(psa), 4u);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
    EXPECT_EQ(vt, VT_UI1);
    LONG at = 2;
    std::uint8_t value = 0x77;
    EXPECT_EQ(SafeArrayPutElement(psa, &at, &value), S_OK);
    EXPECT_EQ(bytes[2], 0x77);
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
    EXPECT_NE(copy->pvData, static_cast<void*>(bytes.data()));
    EXPECT_EQ(rawBytes(copy->pvData, 4), (std::vector<std::uint8_t>{0x10, 0x20, 0x77, 0x40}));
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
    // The caller's bytes are not freed, but oleaut32 zeroes a static array's elements.
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0, 0, 0, 0}));

    SAFEARRAY* empty = platform::com::safeArrayCreateVectorOver(VT_UI1, nullptr, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_NE(empty->pvData, nullptr);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
    EXPECT_EQ(platform::com::safeArrayCreateVectorOver(VT_UI1, nullptr, 2), nullptr);
    EXPECT_EQ(platform::com::safeArrayCreateVectorOver(VT_BSTR, bytes.data(), 1), nullptr);
}

TEST(SafeArray, LockedArraysCannotBeDestroyed) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 5);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(SafeArrayGetDim(psa), 1u);
    EXPECT_EQ(SafeArrayGetElemsize(psa), 1u);
    LONG lb = -1, ub = -1;
    EXPECT_EQ(SafeArrayGetLBound(psa, 1, &lb), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(psa, 1, &ub), S_OK);
    EXPECT_EQ(lb, 0);
    EXPECT_EQ(ub, 4);
    EXPECT_EQ(SafeArrayGetLBound(psa, 2, &lb), DISP_E_BADINDEX);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
    EXPECT_EQ(vt, VT_UI1);

    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    std::memcpy(data, "\x01\x02\x03\x04\x05", 5);
    EXPECT_EQ(psa->cLocks, 1u);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);  // still there: read it
    EXPECT_EQ(rawBytes(psa->pvData, 5), (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));

    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
    EXPECT_EQ(copy->cLocks, 0u);
    EXPECT_NE(copy->pvData, psa->pvData);
    EXPECT_EQ(rawBytes(copy->pvData, 5), (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));

    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
    EXPECT_EQ(SafeArrayAccessData(nullptr, &data), E_INVALIDARG);
}

TEST(SafeArray, EmptyArraysHaveDataAndVariantsOwnArrays) {
    SAFEARRAYBOUND bound{0, 0};
    SAFEARRAY* empty = SafeArrayCreate(VT_UI1, 1, &bound);
    ASSERT_NE(empty, nullptr);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(empty, &data), S_OK);
    if (kOwnComRuntime) {  // oleaut32 gives null for no elements
        EXPECT_NE(data, nullptr);
        std::memcpy(data, "", 0);  // so that copying no bytes into it is well defined
    }
    SafeArrayUnaccessData(empty);

    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = empty;
    SafeArrayLock(empty);
    EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);  // nothing freed
    // The own layer also leaves the VARIANT holding the array; oleaut32 empties it (the array
    // is then no longer owned by anything), so it is put back for what follows.
    if (kOwnComRuntime) {
        EXPECT_EQ(v.vt, VT_ARRAY | VT_UI1);
    }
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = empty;
    SafeArrayUnlock(empty);
    _variant_t owner(v, false);  // takes the array over
    EXPECT_EQ(v.vt, VT_EMPTY);
    _variant_t copy(owner);
    EXPECT_NE(copy.parray, owner.parray);

    if (kOwnComRuntime) {
        EXPECT_EQ(SafeArrayCreateVector(VT_BSTR, 0, 1), nullptr);  // not offered
    }
    EXPECT_EQ(SafeArrayCreate(VT_UI1, 0, &bound), nullptr);
}

TEST(SafeArray, TwoDimensionalElementAddressing) {
    SAFEARRAYBOUND bounds[2] = {{2, 1}, {3, 10}};  // [1..2][10..12] of LONG
    SAFEARRAY* psa = SafeArrayCreate(VT_I4, 2, bounds);
    ASSERT_NE(psa, nullptr);
    LONG lb2 = 0, ub1 = 0;
    SafeArrayGetLBound(psa, 2, &lb2);
    SafeArrayGetUBound(psa, 1, &ub1);
    EXPECT_EQ(lb2, 10);
    EXPECT_EQ(ub1, 2);
    LONG value = 99;
    LONG idx[2] = {2, 11};  // leftmost dimension first
    EXPECT_EQ(SafeArrayPutElement(psa, idx, &value), S_OK);
    // The leftmost index varies fastest: (2, 11) is element 1 + 1 * 2 = 3.
    EXPECT_EQ(static_cast<LONG*>(psa->pvData)[3], 99);
    LONG reversed[2] = {11, 2};
    EXPECT_EQ(SafeArrayPutElement(psa, reversed, &value), DISP_E_BADINDEX);
    LONG outside[2] = {1, 13};
    EXPECT_EQ(SafeArrayGetElement(psa, outside, &value), DISP_E_BADINDEX);
    SafeArrayDestroy(psa);
}

TEST(EnumVariant, NextSkipResetAndClone) {
    std::vector<_variant_t> items{_variant_t(1), _variant_t("two"), _variant_t(3)};
    IEnumVARIANT* raw = nullptr;
    ASSERT_EQ(platform::com::VariantEnumerator::create(items, &raw), S_OK);
    IEnumVARIANTPtr e(raw, false);

    VARIANT v;
    ULONG fetched = 0;
    ASSERT_EQ(e->Next(1, &v, &fetched), S_OK);
    EXPECT_EQ(fetched, 1u);
    EXPECT_EQ(v.lVal, 1);
    VariantClear(&v);
    ASSERT_EQ(e->Next(1, &v, nullptr), S_OK);  // null count allowed for one item
    EXPECT_EQ(_bstr_t(v.bstrVal).utf8(), "two");
    VariantClear(&v);

    IEnumVARIANT* cloneRaw = nullptr;
    ASSERT_EQ(e->Clone(&cloneRaw), S_OK);
    IEnumVARIANTPtr clone(cloneRaw, false);

    VARIANT several[3];
    EXPECT_EQ(e->Next(3, several, nullptr), E_INVALIDARG);
    ASSERT_EQ(e->Next(3, several, &fetched), S_FALSE);  // only one was left
    EXPECT_EQ(fetched, 1u);
    EXPECT_EQ(several[0].lVal, 3);
    VariantClear(&several[0]);
    EXPECT_EQ(e->Next(1, &v, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);

    // The clone kept its own position.
    ASSERT_EQ(clone->Next(1, &v, nullptr), S_OK);
    EXPECT_EQ(v.lVal, 3);
    VariantClear(&v);

    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(2), S_OK);
    EXPECT_EQ(e->Skip(2), S_FALSE);
    e->Reset();
    ASSERT_EQ(e->Next(3, several, &fetched), S_OK);
    EXPECT_EQ(fetched, 3u);
    EXPECT_NE(several[1].bstrVal, items[1].bstrVal);  // a copy for the caller
    for (auto& item : several)
        VariantClear(&item);
}

}  // namespace
