// The simulated service's library as an in-process server of CLSID_DataBlock (Windows): a
// client of the service in its own process (vela-mux-sim) makes the blocks it sends in its own
// process, from this library (registered as the class's InprocServer32), and the service
// reads them through their proxies. A block made so belongs to no service: no fault applies
// to it.
#include <atomic>

#include "sim/DataBlock.h"

namespace {

class DataBlockFactory final : public IClassFactory {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG n = --m_refs;
        if (n == 0)
            delete this;
        return n;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        return sim::DataBlock::createForClient({}, outer, riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

  private:
    std::atomic<ULONG> m_refs{1};
};

}  // namespace

// The entry points COM looks for in an in-process server (exported with the library's other
// symbols).
extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_DataBlock)
        return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new DataBlockFactory();
    HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

// The library is one that its programs link: it stays.
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return S_FALSE;
}
