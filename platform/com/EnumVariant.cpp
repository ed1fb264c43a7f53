#include "platform/com/EnumVariant.h"

namespace platform::com {

HRESULT VariantEnumerator::create(std::vector<_variant_t> items, IEnumVARIANT** out,
                                  bool lockModule) {
    return make(std::make_shared<const std::vector<_variant_t>>(std::move(items)), 0, lockModule,
                out);
}

HRESULT VariantEnumerator::make(std::shared_ptr<const std::vector<_variant_t>> items,
                                ULONG position, bool lockModule, IEnumVARIANT** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    VariantEnumerator* object = nullptr;
    HRESULT hr;
    if (lockModule) {
        ATL::CComObject<VariantEnumerator>* p = nullptr;
        hr = ATL::CComObject<VariantEnumerator>::CreateInstance(&p);
        object = p;
    } else {
        ATL::CComObjectNoLock<VariantEnumerator>* p = nullptr;
        hr = ATL::CComObjectNoLock<VariantEnumerator>::CreateInstance(&p);
        object = p;
    }
    if (FAILED(hr))
        return hr;
    object->m_items = std::move(items);
    object->m_position = position;
    object->m_lockModule = lockModule;
    object->AddRef();
    *out = object;
    return S_OK;
}

STDMETHODIMP VariantEnumerator::Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) {
    if (pCeltFetched)
        *pCeltFetched = 0;
    if (!rgVar)
        return E_POINTER;
    if (celt > 1 && !pCeltFetched)
        return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(m_mutex);
    ULONG fetched = 0;
    while (fetched < celt && m_position < m_items->size()) {
        VariantInit(&rgVar[fetched]);
        HRESULT hr = VariantCopy(&rgVar[fetched], &(*m_items)[m_position]);
        if (FAILED(hr)) {
            for (ULONG k = 0; k < fetched; ++k)
                VariantClear(&rgVar[k]);
            m_position -= fetched;
            return hr;
        }
        ++fetched;
        ++m_position;
    }
    if (pCeltFetched)
        *pCeltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}

STDMETHODIMP VariantEnumerator::Skip(ULONG celt) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::size_t left = m_items->size() - m_position;
    if (celt > left) {
        m_position = static_cast<ULONG>(m_items->size());
        return S_FALSE;
    }
    m_position += celt;
    return S_OK;
}

STDMETHODIMP VariantEnumerator::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_position = 0;
    return S_OK;
}

STDMETHODIMP VariantEnumerator::Clone(IEnumVARIANT** ppEnum) {
    ULONG position;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        position = m_position;
    }
    return make(m_items, position, m_lockModule, ppEnum);
}

}  // namespace platform::com
