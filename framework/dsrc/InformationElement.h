// Information elements: decoded items for the host's display, and the collection a decoder
// frame adds them to.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "framework/combase/EEInterfaces.h"
#include "platform/com/Com.h"

class EEInformationElement : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
                             public IEEInformationElement {
  public:
    BEGIN_COM_MAP(EEInformationElement)
    COM_INTERFACE_ENTRY(IEEInformationElement)
    END_COM_MAP()

    STDMETHOD(SetInfo)(LONG id, BSTR name, BSTR description) override;
    STDMETHOD(SetValue)(BSTR value) override;
    STDMETHOD(GetId)(LONG* id) override;
    STDMETHOD(GetName)(BSTR* name) override;
    STDMETHOD(GetDescription)(BSTR* description) override;
    STDMETHOD(GetValue)(BSTR* value) override;

    // The value's bytes as set (a byte string).
    std::string valueBytes();

  private:
    std::mutex m_mutex;
    LONG m_id = 0;
    _bstr_t m_name, m_description;
    std::string m_value;
};

class EEInformationElements : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
                              public IEEInformationElements {
  public:
    BEGIN_COM_MAP(EEInformationElements)
    COM_INTERFACE_ENTRY(IEEInformationElements)
    END_COM_MAP()

    STDMETHOD(Add)(IEEInformationElement* element, VARIANT_BOOL* added) override;
    STDMETHOD(GetCount)(LONG* count) override;
    STDMETHOD(GetItem)(LONG index, IEEInformationElement** element) override;

    // Refuses further elements once it holds this many (0: no limit).
    void setCapacity(std::size_t capacity) { m_capacity = capacity; }

  private:
    std::mutex m_mutex;
    std::vector<CComPtr<IEEInformationElement>> m_elements;
    std::size_t m_capacity = 0;
};

namespace dsrc {
// A byte string as a BSTR (its bytes kept exactly), and back.
BSTR byteString(const std::string& bytes);
std::string byteStringBytes(BSTR value);
}  // namespace dsrc
