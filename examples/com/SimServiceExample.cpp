// The simulated debug-multiplexer service driven from its control API and used through the
// service's COM interfaces, as the component uses the real one: a phone on COM5, its targets
// and data providers listed, the "Tvp" stream connected, a block sent (the simulated phone
// answers it) and the answer received as a DataAvailable event.
#include <cstdio>

#include "platform/com/Com.h"
#include "platform/com/DebugMuxLib.h"
#include "sim/SimService.h"

class DataSink
    : public ATL::IDispEventImpl<2, DataSink, &DIID__IDataProviderEvents, &LIBID_DebugMuxLib, 1, 0>,
      public ATL::CComObjectRootEx<ATL::CComMultiThreadModel> {
  public:
    BEGIN_SINK_MAP(DataSink)
    SINK_ENTRY_EX(2, DIID__IDataProviderEvents, DataProviderEvents::DataAvailable, OnData)
    SINK_ENTRY_EX(2, DIID__IDataProviderEvents, DataProviderEvents::Disconnected, OnDisconnected)
    END_SINK_MAP()

    // Runs on the provider's delivery thread.
    void __stdcall OnData(IDispatch* argument) {
        IDataBlockPtr block(argument);
        if (!block)
            return;
        // The caller owns what an out parameter gives: a copy of the block's bytes, destroyed
        // here (across processes it is the marshalled copy).
        SAFEARRAY* data = block->GetData();
        LONG size = block->GetSize();
        void* bytes = nullptr;
        if (FAILED(SafeArrayAccessData(data, &bytes))) {
            SafeArrayDestroy(data);
            return;
        }
        std::printf("received %d bytes:", static_cast<int>(size));
        for (LONG i = 0; i < size; ++i)
            std::printf(" %02X", static_cast<BYTE*>(bytes)[i]);
        std::printf("\n");
        SafeArrayUnaccessData(data);
        SafeArrayDestroy(data);
    }
    void __stdcall OnDisconnected() { std::printf("stream closed\n"); }
};

int main() {
    auto& service = sim::SimService::instance();
    service.reset({{5}});  // the service serves COM5 from the start
    sim::TargetHandle phone = service.addPhone(5, 4711, "Vela test phone");
    sim::ProviderHandle tvp = phone.provider("Tvp");
    // The simulated phone's side: answer every block with its bytes reversed.
    tvp.setSendHandler([tvp](const sim::Bytes& block) mutable {
        tvp.inject(sim::Bytes(block.rbegin(), block.rend()));
    });

    {
        IDebugMuxPtr mux;
        HRESULT hr = mux.CreateInstance(CLSID_DebugMuxServer, nullptr, 0x17);
        if (FAILED(hr)) {
            std::printf("the service could not be created: %s\n", _com_error(hr).ErrorMessage());
            return 1;
        }
        ITargetsPtr targets(mux->GetTargets());
        IEnumVARIANTPtr items = targets->Get_NewEnum();
        VARIANT item;
        IDataProviderPtr stream;
        while (items->Next(1, &item, nullptr) == S_OK) {
            ITargetPtr target(_variant_t(item, false));
            std::printf("target %d \"%s\"\n", static_cast<int>(target->GetId()),
                        target->GetName().utf8().c_str());
            IDataProvidersPtr providers(target->GetDataProviders());
            IEnumVARIANTPtr each = providers->Get_NewEnum();
            while (each->Next(1, &item, nullptr) == S_OK) {
                IDataProviderPtr provider(_variant_t(item, false));
                std::printf("  provider %d \"%s\" on %s\n", provider->GetId(),
                            provider->GetName().utf8().c_str(),
                            provider->GetPortName().utf8().c_str());
                if (provider->GetName() == "Tvp")
                    stream = provider;
            }
        }

        ATL::CComObject<DataSink>* sink = nullptr;
        ATL::CComObject<DataSink>::CreateInstance(&sink);
        sink->AddRef();
        sink->DispEventAdvise(stream);

        IDataProviderStreamPtr tvpStream(stream);
        std::printf("connect: %s\n", tvpStream->Connect() == VARIANT_TRUE ? "yes" : "no");
        IDataBlockPtr block(CLSID_DataBlock);
        SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, 3);
        BYTE* p = nullptr;
        SafeArrayAccessData(bytes, reinterpret_cast<void**>(&p));
        p[0] = 0x01, p[1] = 0x02, p[2] = 0x03;
        SafeArrayUnaccessData(bytes);
        block->PutData(&bytes);  // the block copies it
        SafeArrayDestroy(bytes);
        std::printf("send: %s\n", tvpStream->Send(block) == VARIANT_TRUE ? "taken" : "refused");
        tvp.waitForDelivered(1);  // the answer's event has been handled
        tvpStream->Disconnect();
        service.waitIdle();

        sink->DispEventUnadvise(stream);
        sink->Release();
    }
    service.reset();
    std::printf("objects of the service alive: %ld\n", sim::SimService::liveObjects());
    return 0;
}
