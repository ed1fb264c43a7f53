// The Windows side of the class registry: a class is registered with the system's COM runtime
// (CoRegisterClassObject, for the contexts asked for, many uses), so that CoCreateInstance of
// ole32 finds it exactly as it finds an installed server. The registering thread must be in an
// apartment (CoInitializeEx); objects are created on the creating thread.
#include <atomic>
#include <map>
#include <mutex>

#include "platform/com/ClassRegistry.h"

namespace {

// The IClassFactory that the runtime holds for a registered class.
class Factory final : public IClassFactory {
  public:
    explicit Factory(platform::com::ClassFactory make) : m_make(std::move(make)) {}

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
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        void* object = nullptr;
        HRESULT hr = m_make(outer, riid, &object);
        if (FAILED(hr)) {
            if (object)
                static_cast<IUnknown*>(object)->Release();
            return hr;
        }
        if (!object)
            return E_UNEXPECTED;
        *ppv = object;
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

  private:
    ~Factory() = default;
    std::atomic<ULONG> m_refs{1};
    const platform::com::ClassFactory m_make;
};

struct Registry {
    std::mutex mutex;
    std::map<CLSID, DWORD> cookies;
};

// Never destroyed: servers may unregister their classes while the process exits.
Registry& registry() {
    static auto* r = new Registry;
    return *r;
}

}  // namespace

namespace platform::com {

bool registerClass(REFCLSID clsid, DWORD contexts, ClassFactory factory, ClassUse use) {
    if (!factory)
        return false;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.cookies.count(clsid))
        return false;
    auto* object = new Factory(std::move(factory));
    DWORD cookie = 0;
    HRESULT hr = CoRegisterClassObject(
        clsid, object, contexts, use == ClassUse::Single ? REGCLS_SINGLEUSE : REGCLS_MULTIPLEUSE,
        &cookie);
    object->Release();  // the runtime keeps its own reference while registered
    if (FAILED(hr))
        return false;
    r.cookies.emplace(clsid, cookie);
    return true;
}

bool unregisterClass(REFCLSID clsid) {
    DWORD cookie = 0;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.cookies.find(clsid);
        if (it == r.cookies.end())
            return false;
        cookie = it->second;
        r.cookies.erase(it);
    }
    CoRevokeClassObject(cookie);
    return true;
}

bool isClassRegistered(REFCLSID clsid) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.cookies.count(clsid) != 0;
}

void disconnectObject(IUnknown* object) {
    if (object)
        CoDisconnectObject(object, 0);
}

}  // namespace platform::com
