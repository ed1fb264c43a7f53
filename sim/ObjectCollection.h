// The collections the service hands out (ITargets from Targets, IDataProviders from
// DataProviders): a snapshot of the objects at the time of the call, enumerated by _NewEnum
// as VT_DISPATCH items.
#pragma once

#include <memory>
#include <vector>

#include "sim/ServiceCore.h"

namespace sim {

template <class Interface>
class ObjectCollection : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
                         public ATL::IDispatchImpl<Interface>,
                         private CountedObject {
  public:
    BEGIN_COM_MAP(ObjectCollection)
    COM_INTERFACE_ENTRY(Interface)
    COM_INTERFACE_ENTRY(IDispatch)
    END_COM_MAP()

    // A new collection of the items as a VT_DISPATCH VARIANT in *out. interfaceName and
    // scope select the faults that apply to its _NewEnum.
    template <class Item>
    static HRESULT create(std::weak_ptr<ServiceCore> core, const char* interfaceName,
                          const void* scope, const std::vector<Item>& items, VARIANT* out) {
        if (!out)
            return E_POINTER;
        VariantInit(out);
        ATL::CComObjectNoLock<ObjectCollection>* collection = nullptr;
        HRESULT hr = ATL::CComObjectNoLock<ObjectCollection>::CreateInstance(&collection);
        if (FAILED(hr))
            return hr;
        if (auto c = core.lock())
            collection->m_epoch = c->epoch();
        collection->m_core = std::move(core);
        collection->m_interfaceName = interfaceName;
        collection->m_scope = scope;
        for (const Item& item : items)
            collection->m_items.emplace_back(static_cast<IDispatch*>(item.GetInterfacePtr()));
        collection->AddRef();
        out->vt = VT_DISPATCH;
        out->pdispVal = static_cast<Interface*>(collection);
        return S_OK;
    }

    STDMETHOD(get__NewEnum)(IUnknown** ppEnum) override {
        if (!ppEnum)
            return E_POINTER;
        *ppEnum = nullptr;
        if (auto core = m_core.lock()) {
            if (auto gone = core->goneFault(m_epoch))
                return gone->hr;
            if (auto f = core->fault({m_interfaceName}, "_NewEnum", {m_scope}))
                return f->hr;
        }
        IEnumVARIANT* e = nullptr;
        HRESULT hr = platform::com::VariantEnumerator::create(m_items, &e, false);
        if (FAILED(hr))
            return hr;
        *ppEnum = e;
        return S_OK;
    }

  private:
    std::weak_ptr<ServiceCore> m_core;
    std::uint64_t m_epoch = 0;
    const char* m_interfaceName = "";
    const void* m_scope = nullptr;
    std::vector<_variant_t> m_items;
};

}  // namespace sim
