#include "platform/com/ClassRegistry.h"

#include <map>
#include <memory>
#include <mutex>

namespace {

struct Entry {
    DWORD contexts;
    std::shared_ptr<const platform::com::ClassFactory> factory;
};

struct Registry {
    std::mutex mutex;
    std::map<CLSID, Entry> classes;
};

// Never destroyed: servers may unregister their classes while the process exits.
Registry& registry() {
    static auto* r = new Registry;
    return *r;
}

}  // namespace

HRESULT CoInitializeEx(LPVOID, DWORD) {
    return S_OK;
}

HRESULT CoInitialize(LPVOID) {
    return S_OK;
}

void CoUninitialize() {}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if ((dwClsContext & CLSCTX_ALL) == 0)
        return E_INVALIDARG;
    std::shared_ptr<const platform::com::ClassFactory> factory;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.classes.find(rclsid);
        if (it == r.classes.end() || (it->second.contexts & dwClsContext & CLSCTX_ALL) == 0)
            return REGDB_E_CLASSNOTREG;
        factory = it->second.factory;
    }
    // The factory runs without the registry lock: it may create or register other classes.
    void* object = nullptr;
    HRESULT hr = (*factory)(pUnkOuter, riid, &object);
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

HRESULT OleRun(IUnknown* pUnknown) {
    return pUnknown ? S_OK : E_INVALIDARG;
}

namespace platform::com {

bool registerClass(REFCLSID clsid, DWORD contexts, ClassFactory factory, ClassUse) {
    if (!factory)
        return false;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.classes
        .emplace(clsid, Entry{contexts, std::make_shared<const ClassFactory>(std::move(factory))})
        .second;
}

bool unregisterClass(REFCLSID clsid) {
    std::shared_ptr<const ClassFactory> factory;  // released after the lock
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.classes.find(clsid);
    if (it == r.classes.end())
        return false;
    factory = std::move(it->second.factory);
    r.classes.erase(it);
    return true;
}

bool isClassRegistered(REFCLSID clsid) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.classes.count(clsid) != 0;
}

void disconnectObject(IUnknown*) {}

}  // namespace platform::com
