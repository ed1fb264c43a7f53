#include "platform/com/ConnectionPoint.h"

#include <algorithm>
#include <utility>

HRESULT AtlAdvise(IUnknown* pUnkCP, IUnknown* pUnk, const IID& iid, LPDWORD pdw) {
    if (!pUnkCP)
        return E_INVALIDARG;
    if (!pUnk || !pdw)
        return E_POINTER;
    IConnectionPointContainer* container = nullptr;
    HRESULT hr = platform::com::queryInterface(pUnkCP, IID_IConnectionPointContainer, &container);
    if (FAILED(hr))
        return hr;
    IConnectionPoint* point = nullptr;
    hr = container->FindConnectionPoint(iid, &point);
    container->Release();
    if (FAILED(hr))
        return hr;
    hr = point->Advise(pUnk, pdw);
    point->Release();
    return hr;
}

HRESULT AtlUnadvise(IUnknown* pUnkCP, const IID& iid, DWORD dw) {
    if (!pUnkCP)
        return E_INVALIDARG;
    IConnectionPointContainer* container = nullptr;
    HRESULT hr = platform::com::queryInterface(pUnkCP, IID_IConnectionPointContainer, &container);
    if (FAILED(hr))
        return hr;
    IConnectionPoint* point = nullptr;
    hr = container->FindConnectionPoint(iid, &point);
    container->Release();
    if (FAILED(hr))
        return hr;
    hr = point->Unadvise(dw);
    point->Release();
    return hr;
}

namespace ATL {

CComConnectionPoint::CComConnectionPoint(IConnectionPointContainer* container, const IID& iid,
                                         std::size_t maxConnections)
    : m_container(container), m_iid(iid), m_maxConnections(maxConnections) {}

CComConnectionPoint::~CComConnectionPoint() {
    // Nobody fires through a connection point that is being destroyed; release what is left.
    for (auto& c : m_connections)
        if (c->sink)
            releaseSink(std::exchange(c->sink, nullptr));
}

void CComConnectionPoint::releaseSink(void* sink) {
    static_cast<IUnknown*>(sink)->Release();
}

STDMETHODIMP CComConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
        AddRef();
        *ppv = static_cast<IConnectionPoint*>(this);
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CComConnectionPoint::AddRef() {
    return m_container->AddRef();
}

STDMETHODIMP_(ULONG) CComConnectionPoint::Release() {
    return m_container->Release();
}

STDMETHODIMP CComConnectionPoint::GetConnectionInterface(IID* pIID) {
    if (!pIID)
        return E_POINTER;
    *pIID = m_iid;
    return S_OK;
}

STDMETHODIMP CComConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
    if (!ppCPC)
        return E_POINTER;
    m_container->AddRef();
    *ppCPC = m_container;
    return S_OK;
}

STDMETHODIMP CComConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    if (!pdwCookie)
        return E_POINTER;
    *pdwCookie = 0;
    if (!pUnkSink)
        return E_POINTER;
    void* sink = nullptr;
    if (FAILED(pUnkSink->QueryInterface(m_iid, &sink)) || !sink)
        return CONNECT_E_CANNOTCONNECT;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_maxConnections != 0 && m_connections.size() >= m_maxConnections) {
        lock.unlock();
        releaseSink(sink);
        return CONNECT_E_ADVISELIMIT;
    }
    auto c = std::make_shared<Connection>();
    do {
        c->cookie = ++m_nextCookie;
    } while (c->cookie == 0);
    c->sink = sink;
    m_connections.push_back(c);
    std::size_t count = m_connections.size();
    *pdwCookie = c->cookie;
    lock.unlock();
    notify(count);
    return S_OK;
}

STDMETHODIMP CComConnectionPoint::Unadvise(DWORD dwCookie) {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(m_mutex);
    auto it = std::find_if(m_connections.begin(), m_connections.end(),
                           [&](const auto& c) { return c->cookie == dwCookie; });
    if (it == m_connections.end())
        return CONNECT_E_NOCONNECTION;
    std::shared_ptr<Connection> c = *it;
    m_connections.erase(it);
    c->removed = true;
    // Calls to this sink on other threads finish first; a call on this thread (the sink
    // unadvising itself) releases the sink when it returns.
    m_idle.wait(lock, [&] {
        return c->inFlight == std::count(c->callers.begin(), c->callers.end(), self);
    });
    void* sink = nullptr;
    if (c->inFlight == 0)
        sink = std::exchange(c->sink, nullptr);
    else
        c->releaseWhenIdle = true;  // the sink's own call, under way on this thread
    std::size_t count = m_connections.size();
    lock.unlock();
    if (sink)
        releaseSink(sink);
    notify(count);
    return S_OK;
}

STDMETHODIMP CComConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
    if (ppEnum)
        *ppEnum = nullptr;
    return E_NOTIMPL;
}

std::size_t CComConnectionPoint::connectionCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections.size();
}

std::size_t CComConnectionPoint::forEachSink(const std::function<void(void* sink)>& f) {
    const std::thread::id self = std::this_thread::get_id();
    std::vector<std::shared_ptr<Connection>> snapshot;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        snapshot = m_connections;
    }
    std::size_t called = 0;
    for (auto& c : snapshot) {
        void* sink;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (c->removed)
                continue;  // unadvised since the snapshot
            ++c->inFlight;
            c->callers.push_back(self);
            sink = c->sink;
        }
        try {
            f(sink);
        } catch (...) {
            // A sink's failure must not end the thread that fires.
        }
        ++called;
        void* release = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            --c->inFlight;
            c->callers.erase(std::find(c->callers.begin(), c->callers.end(), self));
            if (c->releaseWhenIdle && c->inFlight == 0)
                release = std::exchange(c->sink, nullptr);
        }
        m_idle.notify_all();
        if (release)
            releaseSink(release);
    }
    return called;
}

std::size_t CComConnectionPoint::fireInvoke(DISPID dispid, DISPPARAMS* params) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    DISPPARAMS* p = params ? params : &none;
    return forEachSink([&](void* sink) {
        static_cast<IDispatch*>(sink)->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT,
                                              DISPATCH_METHOD, p, nullptr, nullptr, nullptr);
    });
}

void CComConnectionPoint::disconnectAll() {
    for (;;) {
        DWORD cookie;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_connections.empty())
                return;
            cookie = m_connections.front()->cookie;
        }
        Unadvise(cookie);
    }
}

void CComConnectionPoint::setObserver(std::function<void(std::size_t)> observer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_observer = std::move(observer);
}

void CComConnectionPoint::notify(std::size_t count) {
    std::function<void(std::size_t)> observer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        observer = m_observer;
    }
    if (observer)
        observer(count);
}

STDMETHODIMP CComConnectionPointContainer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (ppEnum)
        *ppEnum = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CComConnectionPointContainer::FindConnectionPoint(REFIID riid,
                                                               IConnectionPoint** ppCP) {
    if (!ppCP)
        return E_POINTER;
    *ppCP = nullptr;
    for (CComConnectionPoint* point : m_points) {
        if (point->iid() == riid) {
            point->AddRef();
            *ppCP = point;
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

}  // namespace ATL
