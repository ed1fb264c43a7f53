#include "host/Plugin.h"

#include <filesystem>

#include "host/HostPlatform.h"
#include "platform/win32/Library.h"

namespace host {

namespace {
using EntryPoint = bool (*)(ATL::CAtlModule*);
}

Plugin::~Plugin() {
    unload();
}

std::string Plugin::defaultPath() {
    const std::string self = platform::executablePath();
    std::filesystem::path program =
        self.empty() ? std::filesystem::path("vela-host") : std::filesystem::path(self);
    const auto folder = program.parent_path();
#if defined(VELA_INSTALLED_PLUGIN) && defined(VELA_EXTCAP_INSTALLED_PLUGIN)
    // An installed program (in bin/, or the capture program in Wireshark's extcap folder): the
    // plug-in folder relative to the program's folder, so that an installed tree works wherever
    // it was unpacked.
    for (const char* relative : {VELA_INSTALLED_PLUGIN, VELA_EXTCAP_INSTALLED_PLUGIN}) {
        const auto installed = (folder / relative).lexically_normal();
        std::error_code error;
        if (std::filesystem::exists(installed, error))
            return installed.string();
    }
#endif
    // The build tree's layout.
    return (buildTreePluginFolder(folder) / platform::libraryFileName("vela")).string();
}

bool Plugin::load(const std::string& path, ATL::CAtlModule& module, std::string& error) {
    if (m_handle) {
        error = "a plug-in is loaded already";
        return false;
    }
    std::string why;
    m_handle = platform::loadLibrary(path, why);
    if (!m_handle) {
        error = "cannot load the plug-in " + path + ": " + why;
        return false;
    }
    for (const char* name : {"Norda_Equipment", "Norda_DataSource"}) {
        auto entry = reinterpret_cast<EntryPoint>(platform::librarySymbol(m_handle, name));
        if (!entry) {
            error = std::string("the plug-in ") + path + " has no entry point " + name;
            unload();
            return false;
        }
        if (!entry(&module)) {
            error = std::string("the plug-in's ") + name + " failed";
            unload();
            return false;
        }
    }
    return true;
}

void Plugin::unload() {
    if (!m_handle)
        return;
    platform::freeLibrary(m_handle);
    m_handle = nullptr;
}

}  // namespace host
