// The ATL base objects of framework components, each implementing one framework interface and
// chaining to the next: EEBackplaneComponentATL -> EEPersistStreamInitATL -> EEPropertiesATL
// -> combase::EEBaseComponentATL. Also EEPipeByteATL, a byte pipe.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "framework/combase/EEInterfaces.h"
#include "platform/com/Com.h"

namespace combase {

class EEBaseComponentATL : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
                           public IEEBaseComponent,
                           public IEESetup {
  public:
    BEGIN_COM_MAP(EEBaseComponentATL)
    COM_INTERFACE_ENTRY(IEEBaseComponent)
    COM_INTERFACE_ENTRY(IEESetup)
    END_COM_MAP()

    STDMETHOD(GetProgID)(BSTR* progId) override;
    STDMETHOD(GetCLSID)(CLSID* clsid) override;
    STDMETHOD(SetTraceState)(VARIANT_BOOL active, VARIANT_BOOL cipher, LONG reserved) override;
    STDMETHOD(IsTraceStateSet)(VARIANT_BOOL* active) override;
    STDMETHOD(Setup)() override { return S_OK; }

  protected:
    virtual ~EEBaseComponentATL() = default;
    virtual std::string getProgID() const = 0;
    virtual CLSID getCLSID() const = 0;
    virtual void setTraceState(bool active, bool cipher, long reserved);
    virtual bool isTraceStateSet() const;
};

}  // namespace combase

class EEPropertiesATL : public combase::EEBaseComponentATL, public IEEProperties {
  public:
    BEGIN_COM_MAP(EEPropertiesATL)
    COM_INTERFACE_ENTRY(IEEProperties)
    COM_INTERFACE_ENTRY_CHAIN(combase::EEBaseComponentATL)
    END_COM_MAP()

    STDMETHOD(SetProperty)(VARIANT key, VARIANT value) override;
    STDMETHOD(GetProperty)(VARIANT key, VARIANT* value) override;

    // The text by which a key is stored: a number's decimal digits, or the string.
    static std::string keyText(const VARIANT& key);

  private:
    std::mutex m_mutex;
    std::map<std::string, _variant_t> m_properties;
};

class EEPersistStreamInitATL : public EEPropertiesATL, public IPersistStreamInit {
  public:
    BEGIN_COM_MAP(EEPersistStreamInitATL)
    COM_INTERFACE_ENTRY(IPersistStreamInit)
    COM_INTERFACE_ENTRY2(IPersist, IPersistStreamInit)
    COM_INTERFACE_ENTRY_CHAIN(EEPropertiesATL)
    END_COM_MAP()

    STDMETHOD(GetClassID)(CLSID* clsid) override;
    STDMETHOD(IsDirty)() override { return S_FALSE; }
    // Settings persist as XML through the framework, not in streams.
    STDMETHOD(Load)(IStream*) override { return E_NOTIMPL; }
    STDMETHOD(Save)(IStream*, BOOL) override { return E_NOTIMPL; }
    STDMETHOD(GetSizeMax)(ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHOD(InitNew)() override { return S_OK; }
};

class EEBackplaneComponentATL : public EEPersistStreamInitATL, public IEEBackplaneComponent {
  public:
    BEGIN_COM_MAP(EEBackplaneComponentATL)
    COM_INTERFACE_ENTRY(IEEBackplaneComponent)
    COM_INTERFACE_ENTRY_CHAIN(EEPersistStreamInitATL)
    END_COM_MAP()

    STDMETHOD(GetName)(BSTR* name) override;
};

class EEPipeByteATL : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>, public IPipeByte {
  public:
    BEGIN_COM_MAP(EEPipeByteATL)
    COM_INTERFACE_ENTRY(IPipeByte)
    END_COM_MAP()

    STDMETHOD(Push)(BYTE* bytes, ULONG count) override;
    STDMETHOD(Pull)(BYTE* bytes, ULONG capacity, ULONG* count) override;

  private:
    std::mutex m_mutex;
    std::deque<BYTE> m_bytes;
};

namespace combase {

// What a CreatorClass of a COM class does: makes a new object of T and gives it, with one
// reference, as the interface I (which T implements). False, with *out null, on failure.
template <class T, class I>
bool createComObject(IUnknown** out) {
    if (!out)
        return false;
    *out = nullptr;
    ATL::CComObject<T>* object = nullptr;
    if (FAILED(ATL::CComObject<T>::CreateInstance(&object)) || !object)
        return false;
    object->AddRef();
    *out = static_cast<I*>(object);
    return true;
}

}  // namespace combase
