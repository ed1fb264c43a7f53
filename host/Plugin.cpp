#include "host/Plugin.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

namespace host {

namespace {
using EntryPoint = bool (*)(ATL::CAtlModule*);
}

Plugin::~Plugin() {
    unload();
}

std::string Plugin::defaultPath() {
    char self[PATH_MAX] = {};
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::filesystem::path program =
        n > 0 ? std::filesystem::path(std::string(self, n)) : std::filesystem::path("vela-host");
    const auto folder = program.parent_path();
#ifdef VELA_INSTALLED_PLUGIN
    // An installed program: the plug-in folder relative to the program's folder, so that an
    // installed tree works wherever it was unpacked.
    const auto installed = (folder / VELA_INSTALLED_PLUGIN).lexically_normal();
    std::error_code error;
    if (std::filesystem::exists(installed, error))
        return installed.string();
#endif
    return (folder.parent_path() / "lib" / "libvela.so").string();
}

bool Plugin::load(const std::string& path, ATL::CAtlModule& module, std::string& error) {
    if (m_handle) {
        error = "a plug-in is loaded already";
        return false;
    }
    m_handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) {
        const char* why = ::dlerror();
        error = "cannot load the plug-in " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    for (const char* name : {"Norda_Equipment", "Norda_DataSource"}) {
        auto entry = reinterpret_cast<EntryPoint>(::dlsym(m_handle, name));
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
    ::dlclose(m_handle);
    m_handle = nullptr;
}

}  // namespace host
