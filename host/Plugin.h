// The plug-in library as the host loads it (platform::loadLibrary: dlopen, LoadLibrary), the two
// entry points with the host's ATL module, dlclose at the end. Loading runs the library's
// registrations and unloading undoes them.
#pragma once

#include <string>

#include "platform/com/AtlBase.h"

namespace host {

class Plugin {
  public:
    Plugin() = default;
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;
    ~Plugin();

    // The plug-in of this program: in the installed plug-in folder relative to the program's
    // folder when it is there, else ../lib/libvela.so (the build tree's layout).
    static std::string defaultPath();

    // Loads the library and calls Norda_Equipment and Norda_DataSource with the module.
    // False with a message when the library cannot be loaded or an entry point is missing or
    // answers false.
    bool load(const std::string& path, ATL::CAtlModule& module, std::string& error);
    // Unloads the library (its registrations are undone). Nothing made by it may be alive.
    void unload();
    bool isLoaded() const { return m_handle != nullptr; }

  private:
    void* m_handle = nullptr;
};

}  // namespace host
