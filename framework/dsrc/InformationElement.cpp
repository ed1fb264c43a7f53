#include "framework/dsrc/InformationElement.h"

namespace dsrc {
BSTR byteString(const std::string& bytes) {
    return SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
}
std::string byteStringBytes(BSTR value) {
    if (!value)
        return {};
    return std::string(reinterpret_cast<const char*>(value), SysStringByteLen(value));
}
}  // namespace dsrc

STDMETHODIMP EEInformationElement::SetInfo(LONG id, BSTR name, BSTR description) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_id = id;
    m_name = _bstr_t(static_cast<const OLECHAR*>(name));
    m_description = _bstr_t(static_cast<const OLECHAR*>(description));
    return S_OK;
}

STDMETHODIMP EEInformationElement::SetValue(BSTR value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_value = dsrc::byteStringBytes(value);
    return S_OK;
}

STDMETHODIMP EEInformationElement::GetId(LONG* id) {
    if (!id)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    *id = m_id;
    return S_OK;
}

STDMETHODIMP EEInformationElement::GetName(BSTR* name) {
    if (!name)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    *name = m_name.copy();
    return S_OK;
}

STDMETHODIMP EEInformationElement::GetDescription(BSTR* description) {
    if (!description)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    *description = m_description.copy();
    return S_OK;
}

STDMETHODIMP EEInformationElement::GetValue(BSTR* value) {
    if (!value)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    *value = dsrc::byteString(m_value);
    return S_OK;
}

std::string EEInformationElement::valueBytes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_value;
}

STDMETHODIMP EEInformationElements::Add(IEEInformationElement* element, VARIANT_BOOL* added) {
    if (added)
        *added = VARIANT_FALSE;
    if (!element)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_capacity && m_elements.size() >= m_capacity)
        return S_FALSE;
    m_elements.emplace_back(element);
    if (added)
        *added = VARIANT_TRUE;
    return S_OK;
}

STDMETHODIMP EEInformationElements::GetCount(LONG* count) {
    if (!count)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    *count = static_cast<LONG>(m_elements.size());
    return S_OK;
}

STDMETHODIMP EEInformationElements::GetItem(LONG index, IEEInformationElement** element) {
    if (!element)
        return E_POINTER;
    *element = nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index < 0 || static_cast<std::size_t>(index) >= m_elements.size())
        return E_INVALIDARG;
    *element = m_elements[static_cast<std::size_t>(index)];
    (*element)->AddRef();
    return S_OK;
}
