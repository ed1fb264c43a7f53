// A COM server object with a dual interface and an event, registered in the class registry,
// and a client that creates it with CoCreateInstance, listens to its event through a sink
// map and passes strings and byte arrays.
#include <cstdio>
#include <cstring>

#include "platform/com/Com.h"

// ---- The contract, as a type library would give it --------------------------------------

inline constexpr CLSID CLSID_Thermometer = {
    0x5A1E0001, 0x0001, 0x4E00, {0x90, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
inline constexpr IID IID_IThermometer = {
    0x5A1E0001, 0x0002, 0x4E00, {0x90, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02}};
inline constexpr IID DIID__IThermometerEvents = {
    0x5A1E0001, 0x0003, 0x4E00, {0x90, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03}};
constexpr DISPID DISPID_Reading = 1;  // (LONG celsius, BSTR place)

struct IThermometer : IDispatch {
    STDMETHOD(get_Place)(BSTR* place) = 0;             // slot 7
    STDMETHOD(Measure)(LONG celsius) = 0;              // slot 8: fires Reading
    STDMETHOD(get_History)(SAFEARRAY** readings) = 0;  // slot 9: a new VT_UI1 array
};
COM_DECLARE_UUID(IThermometer, IID_IThermometer)
_COM_SMARTPTR_TYPEDEF(IThermometer, __uuidof(IThermometer));

// ---- The server ---------------------------------------------------------------------------

class Thermometer : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
                    public ATL::IDispatchImpl<IThermometer>,
                    public ATL::CComConnectionPointContainer {
  public:
    Thermometer() { addConnectionPoint(&m_events); }

    BEGIN_COM_MAP(Thermometer)
    COM_INTERFACE_ENTRY(IThermometer)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(IConnectionPointContainer)
    END_COM_MAP()

    STDMETHOD(get_Place)(BSTR* place) override {
        if (!place)
            return E_POINTER;
        *place = _bstr_t(
                     "K\xC3\xBC"
                     "che")
                     .copy();  // UTF-8 in, UTF-16 BSTR out
        return S_OK;
    }
    STDMETHOD(Measure)(LONG celsius) override {
        {
            ObjectLock lock(this);
            m_history.push_back(static_cast<BYTE>(celsius));
        }
        // Fired without any lock held: a sink may call back into the object.
        m_events.fire(DISPID_Reading, celsius,
                      _bstr_t("K\xC3\xBC"
                              "che"));
        return S_OK;
    }
    STDMETHOD(get_History)(SAFEARRAY** readings) override {
        if (!readings)
            return E_POINTER;
        ObjectLock lock(this);
        *readings = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(m_history.size()));
        if (!*readings)
            return E_OUTOFMEMORY;
        std::memcpy((*readings)->pvData, m_history.data(), m_history.size());
        return S_OK;
    }

  private:
    std::vector<BYTE> m_history;
    ATL::CComConnectionPoint m_events{this, DIID__IThermometerEvents};
};

// ---- The client's sink --------------------------------------------------------------------

class ReadingSink : public ATL::IDispEventImpl<0, ReadingSink, &DIID__IThermometerEvents>,
                    public ATL::CComObjectRootEx<ATL::CComMultiThreadModel> {
  public:
    BEGIN_SINK_MAP(ReadingSink)
    SINK_ENTRY_EX(0, DIID__IThermometerEvents, DISPID_Reading, OnReading)
    END_SINK_MAP()

    void __stdcall OnReading(LONG celsius, BSTR place) {
        std::printf("event: %d degrees in %s\n", static_cast<int>(celsius),
                    _bstr_t(place).utf8().c_str());
    }
};

int main() {
    ATL::CAtlModule module;  // counts the objects alive in the process
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    platform::com::registerClass(CLSID_Thermometer, CLSCTX_INPROC_SERVER,
                                 ATL::CComCreator<ATL::CComObject<Thermometer>>::CreateInstance);
    {
        IThermometerPtr thermometer;
        HRESULT hr = thermometer.CreateInstance(CLSID_Thermometer);
        if (FAILED(hr)) {
            std::printf("creation failed: %s\n", _com_error(hr).ErrorMessage());
            return 1;
        }
        _bstr_t place;
        thermometer->get_Place(place.GetAddress());
        std::printf("place: %s (%u UTF-16 units)\n", place.utf8().c_str(), place.length());

        ATL::CComObject<ReadingSink>* sink = nullptr;
        ATL::CComObject<ReadingSink>::CreateInstance(&sink);
        sink->AddRef();
        sink->DispEventAdvise(thermometer);
        thermometer->Measure(21);
        thermometer->Measure(23);
        sink->DispEventUnadvise(thermometer);
        thermometer->Measure(19);  // nobody listens any more
        sink->Release();

        SAFEARRAY* history = nullptr;
        thermometer->get_History(&history);
        void* data = nullptr;
        SafeArrayAccessData(history, &data);
        LONG upper = 0;
        SafeArrayGetUBound(history, 1, &upper);
        std::printf("history:");
        for (LONG i = 0; i <= upper; ++i)
            std::printf(" %u", static_cast<BYTE*>(data)[i]);
        std::printf("\n");
        SafeArrayUnaccessData(history);
        SafeArrayDestroy(history);  // the caller owns what an out parameter gives

        std::printf("objects alive: %d\n", static_cast<int>(module.GetLockCount()));
    }
    std::printf("objects alive: %d\n", static_cast<int>(module.GetLockCount()));

    void* none = nullptr;
    HRESULT hr =
        CoCreateInstance(CLSID_Thermometer, nullptr, CLSCTX_LOCAL_SERVER, IID_IThermometer, &none);
    std::printf("as a local server: %s\n", _com_error(hr).ErrorMessage());
    platform::com::unregisterClass(CLSID_Thermometer);
    CoUninitialize();
    return 0;
}
