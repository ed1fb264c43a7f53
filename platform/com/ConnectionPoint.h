// Connection points: the way a COM object fires events to sinks. A source object offers
// IConnectionPointContainer; FindConnectionPoint gives the IConnectionPoint of an event
// interface, on which a sink is advised (a cookie comes back) and later unadvised.
// AtlAdvise/AtlUnadvise do the three steps in one call.
//
// ATL::CComConnectionPoint is a ready connection point for a server object, and
// ATL::CComConnectionPointContainer the matching IConnectionPointContainer part:
//
//     class Source : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
//                    public ATL::CComConnectionPointContainer, ... {
//     public:
//         Source() { addConnectionPoint(&m_events); }
//         BEGIN_COM_MAP(Source) ... COM_INTERFACE_ENTRY(IConnectionPointContainer) END_COM_MAP()
//         void changed() { m_events.fire(1, _variant_t(...)); }
//     private:
//         ATL::CComConnectionPoint m_events{this, DIID__ISourceEvents};
//     };
//
// Firing is safe while other threads advise and unadvise: the sinks are called without any
// lock held, and once Unadvise has returned the sink is not called again (Unadvise waits for
// a call to that sink that is under way on another thread; a sink may unadvise itself from
// within its own event).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/com/ComBase.h"
#include "platform/com/ComPtr.h"
#include "platform/com/Variant.h"

#if !defined(_WIN32)
struct IConnectionPoint;
struct IConnectionPointContainer;

struct CONNECTDATA {
    IUnknown* pUnk;
    DWORD dwCookie;
};

inline constexpr IID IID_IEnumConnections = {
    0xB196B287, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IConnectionPoint = {
    0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IEnumConnectionPoints = {
    0xB196B285, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IConnectionPointContainer = {
    0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

struct IEnumConnections : IUnknown {
    STDMETHOD(Next)(ULONG cConnections, CONNECTDATA* rgcd, ULONG* pcFetched) = 0;
    STDMETHOD(Skip)(ULONG cConnections) = 0;
    STDMETHOD(Reset)() = 0;
    STDMETHOD(Clone)(IEnumConnections** ppEnum) = 0;
};
COM_DECLARE_UUID(IEnumConnections, IID_IEnumConnections)

struct IConnectionPoint : IUnknown {
    STDMETHOD(GetConnectionInterface)(IID* pIID) = 0;
    STDMETHOD(GetConnectionPointContainer)(IConnectionPointContainer** ppCPC) = 0;
    STDMETHOD(Advise)(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
    STDMETHOD(Unadvise)(DWORD dwCookie) = 0;
    STDMETHOD(EnumConnections)(IEnumConnections** ppEnum) = 0;
};
COM_DECLARE_UUID(IConnectionPoint, IID_IConnectionPoint)

struct IEnumConnectionPoints : IUnknown {
    STDMETHOD(Next)(ULONG cConnections, IConnectionPoint** ppCP, ULONG* pcFetched) = 0;
    STDMETHOD(Skip)(ULONG cConnections) = 0;
    STDMETHOD(Reset)() = 0;
    STDMETHOD(Clone)(IEnumConnectionPoints** ppEnum) = 0;
};
COM_DECLARE_UUID(IEnumConnectionPoints, IID_IEnumConnectionPoints)

struct IConnectionPointContainer : IUnknown {
    STDMETHOD(EnumConnectionPoints)(IEnumConnectionPoints** ppEnum) = 0;
    STDMETHOD(FindConnectionPoint)(REFIID riid, IConnectionPoint** ppCP) = 0;
};
COM_DECLARE_UUID(IConnectionPointContainer, IID_IConnectionPointContainer)
#endif  // !_WIN32

_COM_SMARTPTR_TYPEDEF(IConnectionPoint, __uuidof(IConnectionPoint));
_COM_SMARTPTR_TYPEDEF(IConnectionPointContainer, __uuidof(IConnectionPointContainer));

// Advises pUnk on the connection point for iid of the object pUnkCP; the cookie goes to *pdw.
// E_INVALIDARG for a null source, E_POINTER for a null sink or cookie pointer, otherwise the
// failure of the first step that fails (E_NOINTERFACE, CONNECT_E_NOCONNECTION for an event
// interface the source does not fire, CONNECT_E_CANNOTCONNECT for a sink that lacks it).
HRESULT AtlAdvise(IUnknown* pUnkCP, IUnknown* pUnk, const IID& iid, LPDWORD pdw);
// Unadvises the connection dw; CONNECT_E_NOCONNECTION for an unknown cookie.
HRESULT AtlUnadvise(IUnknown* pUnkCP, const IID& iid, DWORD dw);

namespace ATL {

// A connection point of a container object. Its reference count is the container's: it is
// normally a member of the object that offers it (it may also be held by a shared_ptr so that
// a thread firing events keeps it while the object goes).
class CComConnectionPoint : public IConnectionPoint {
  public:
    // maxConnections 0: any number of sinks; otherwise Advise beyond the limit fails with
    // CONNECT_E_ADVISELIMIT.
    CComConnectionPoint(IConnectionPointContainer* container, const IID& iid,
                        std::size_t maxConnections = 0);
    CComConnectionPoint(const CComConnectionPoint&) = delete;
    CComConnectionPoint& operator=(const CComConnectionPoint&) = delete;
    virtual ~CComConnectionPoint();

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;
    STDMETHOD(GetConnectionInterface)(IID* pIID) override;
    STDMETHOD(GetConnectionPointContainer)(IConnectionPointContainer** ppCPC) override;
    // The sink is asked for the event interface (CONNECT_E_CANNOTCONNECT if it lacks it) and
    // that interface is kept with one reference until Unadvise.
    STDMETHOD(Advise)(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    STDMETHOD(Unadvise)(DWORD dwCookie) override;
    // Not offered: E_NOTIMPL.
    STDMETHOD(EnumConnections)(IEnumConnections** ppEnum) override;

    const IID& iid() const noexcept { return m_iid; }
    std::size_t connectionCount() const;

    // Calls f with the event interface of every advised sink (as the pointer its
    // QueryInterface gave), in the order of advising, without holding a lock. An exception
    // from f is contained. Returns the number of sinks called.
    std::size_t forEachSink(const std::function<void(void* sink)>& f);
    // Fires a dispinterface event to every sink through IDispatch::Invoke. params may be null
    // for an event without arguments. Returns the number of sinks called.
    std::size_t fireInvoke(DISPID dispid, DISPPARAMS* params);
    // Fires a dispinterface event with the arguments in their natural order.
    template <class... Args>
    std::size_t fire(DISPID dispid, const Args&... args) {
        std::vector<_variant_t> values{_variant_t(args)...};
        std::vector<VARIANTARG> reversed(values.rbegin(), values.rend());
        DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                          static_cast<UINT>(reversed.size()), 0};
        return fireInvoke(dispid, &params);
    }

    // Unadvises every sink (waiting for calls under way on other threads).
    void disconnectAll();

    // Called, outside any lock, with the number of connections after each Advise and
    // Unadvise. Set it before the object is published.
    void setObserver(std::function<void(std::size_t connections)> observer);

  private:
    struct Connection {
        DWORD cookie = 0;
        void* sink = nullptr;  // the event interface, one reference
        bool removed = false;
        bool releaseWhenIdle = false;  // unadvised from within its own call
        int inFlight = 0;
        std::vector<std::thread::id> callers;
    };
    static void releaseSink(void* sink);
    void notify(std::size_t count);

    IConnectionPointContainer* m_container;
    const IID m_iid;
    const std::size_t m_maxConnections;
    mutable std::mutex m_mutex;
    std::condition_variable m_idle;
    std::vector<std::shared_ptr<Connection>> m_connections;
    DWORD m_nextCookie = 0;
    std::function<void(std::size_t)> m_observer;
};

// The IConnectionPointContainer part of a source object; its IUnknown is the object's. The
// connection points are added once (in the constructor) and must live as long as the object.
class CComConnectionPointContainer : public IConnectionPointContainer {
  public:
    // Not offered: E_NOTIMPL.
    STDMETHOD(EnumConnectionPoints)(IEnumConnectionPoints** ppEnum) override;
    // CONNECT_E_NOCONNECTION for an interface the object does not fire.
    STDMETHOD(FindConnectionPoint)(REFIID riid, IConnectionPoint** ppCP) override;

  protected:
    void addConnectionPoint(CComConnectionPoint* point) { m_points.push_back(point); }

  private:
    std::vector<CComConnectionPoint*> m_points;
};

}  // namespace ATL
