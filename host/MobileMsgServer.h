// The host's mobile message server: the host component that the data source selects for a
// phone's model family. This host keeps what the data source tells it (the phone's AT port
// name among others) in the order it was told, for the summary and for checks.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "framework/combase/EEInterfaces.h"
#include "platform/com/Com.h"

namespace host {

class MobileMsgServer : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
                        public IEEProperties {
  public:
    BEGIN_COM_MAP(MobileMsgServer)
    COM_INTERFACE_ENTRY(IEEProperties)
    END_COM_MAP()

    STDMETHOD(SetProperty)(VARIANT key, VARIANT value) override;
    STDMETHOD(GetProperty)(VARIANT key, VARIANT* value) override;

    // Every SetProperty so far: the key as text (a number in decimal) and the value as text.
    std::vector<std::pair<std::string, std::string>> properties() const;

    // Registers the class under each CLSID; every creation gives the same object of that
    // CLSID, so that the host can read what the data source set. Unregistered by unregister.
    static bool registerFor(const std::vector<CLSID>& clsids);
    // registerFor the mobile message servers of every phone family the component knows.
    static bool registerForComponent();
    static void unregister();
    // The object made for a CLSID, with a reference, or null when none was made.
    static CComPtr<IEEProperties> instanceFor(const CLSID& clsid);

  private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<std::string, std::string>> m_properties;
};

}  // namespace host
