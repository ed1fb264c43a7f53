// IEnumVARIANT, the Automation enumerator (what a collection's _NewEnum gives), and
// VariantEnumerator, a ready implementation over a fixed list of values.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/com/AtlBase.h"
#include "platform/com/ComPtr.h"
#include "platform/com/Variant.h"

#if !defined(_WIN32)
inline constexpr IID IID_IEnumVARIANT = {
    0x00020404, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IEnumVARIANT : IUnknown {
    // Copies up to celt items into rgVar (which the caller clears later); S_OK when celt
    // items were given, S_FALSE when fewer were left. pCeltFetched may be null only when celt
    // is 1.
    STDMETHOD(Next)(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) = 0;
    // S_FALSE when fewer than celt items were left to skip.
    STDMETHOD(Skip)(ULONG celt) = 0;
    STDMETHOD(Reset)() = 0;
    // A new enumerator over the same items at the same position.
    STDMETHOD(Clone)(IEnumVARIANT** ppEnum) = 0;
};
COM_DECLARE_UUID(IEnumVARIANT, IID_IEnumVARIANT)
#endif  // !_WIN32
_COM_SMARTPTR_TYPEDEF(IEnumVARIANT, __uuidof(IEnumVARIANT));

namespace platform::com {

// An enumerator over a list of values taken at creation. Free-threaded; clones share the
// list.
class VariantEnumerator : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
                          public IEnumVARIANT {
  public:
    BEGIN_COM_MAP(VariantEnumerator)
    COM_INTERFACE_ENTRY(IEnumVARIANT)
    END_COM_MAP()

    // A new enumerator (one reference in *out). lockModule false makes an object that does
    // not count in the module's lock (for enumerators a simulated service hands out).
    static HRESULT create(std::vector<_variant_t> items, IEnumVARIANT** out,
                          bool lockModule = true);

    STDMETHOD(Next)(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override;
    STDMETHOD(Skip)(ULONG celt) override;
    STDMETHOD(Reset)() override;
    STDMETHOD(Clone)(IEnumVARIANT** ppEnum) override;

  private:
    static HRESULT make(std::shared_ptr<const std::vector<_variant_t>> items, ULONG position,
                        bool lockModule, IEnumVARIANT** out);

    std::shared_ptr<const std::vector<_variant_t>> m_items;
    std::mutex m_mutex;
    ULONG m_position = 0;
    bool m_lockModule = true;
};

}  // namespace platform::com
