#include "sim/server/Registration.h"

#include <windows.h>

#include <oleauto.h>

#include "platform/com/DebugMuxLib.h"
#include "sim/server/ServerOptions.h"

namespace muxsim {

namespace {

struct ClassEntry {
    const CLSID* clsid;
    const wchar_t* name;
    // The program serves the class (LocalServer32), or the library does in its client's process
    // (InprocServer32).
    bool localServer;
};
const ClassEntry kClasses[] = {{&CLSID_DebugMuxServer, L"DebugMuxServer", true},
                               {&CLSID_DataBlock, L"DataBlock", false}};

std::wstring guidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring wide(const std::string& text) {
    if (text.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string narrow(const std::wstring& text) {
    if (text.empty())
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::string errorText(const char* what, LONG code) {
    char buffer[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr);
    std::string text = buffer;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    char number[16];
    snprintf(number, sizeof number, "0x%08lX", static_cast<unsigned long>(code));
    return std::string(what) + " failed (" + number + (text.empty() ? "" : " " + text) + ")";
}

// Writes the default value of HKEY_CLASSES_ROOT\<path> (made if missing), and a named value.
LONG setValue(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
    HKEY key = nullptr;
    LONG result = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    result = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return result;
}

}  // namespace

bool registerServer(const std::wstring& program, const std::wstring& library,
                    const std::vector<std::string>& phoneArguments, std::string& error) {
    if (library.empty()) {
        error = "the simulated service's library is not known";
        return false;
    }
    // What an earlier registration wrote goes first, so that nothing of it stays.
    std::string ignored;
    unregisterServer(ignored);
    const std::wstring command = wide(commandLine(narrow(program), phoneArguments));
    const std::wstring libid = guidText(LIBID_DebugMuxLib);
    for (const ClassEntry& entry : kClasses) {
        const std::wstring key = L"CLSID\\" + guidText(*entry.clsid);
        LONG result = setValue(key, nullptr, entry.name);
        if (result == ERROR_SUCCESS && entry.localServer)
            result = setValue(key + L"\\LocalServer32", nullptr, command);
        if (result == ERROR_SUCCESS && !entry.localServer)
            result = setValue(key + L"\\InprocServer32", nullptr, library);
        if (result == ERROR_SUCCESS && !entry.localServer)
            result = setValue(key + L"\\InprocServer32", L"ThreadingModel", L"Both");
        if (result == ERROR_SUCCESS)
            result = setValue(key + L"\\TypeLib", nullptr, libid);
        if (result == ERROR_SUCCESS)
            result = setValue(key + L"\\Version", nullptr, L"1.0");
        if (result != ERROR_SUCCESS) {
            error = errorText("writing HKEY_CLASSES_ROOT\\CLSID", result);
            unregisterServer(ignored);
            return false;
        }
    }
    // The type library is the program's own resource.
    ITypeLib* typeLibrary = nullptr;
    std::wstring path = program;  // RegisterTypeLib takes a non-const string
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &typeLibrary);
    if (SUCCEEDED(hr)) {
        hr = RegisterTypeLib(typeLibrary, path.data(), nullptr);
        typeLibrary->Release();
    }
    if (FAILED(hr)) {
        error = errorText("registering the type library", hr);
        unregisterServer(ignored);
        return false;
    }
    return true;
}

bool unregisterServer(std::string& error) {
    bool ok = true;
    for (const ClassEntry& entry : kClasses) {
        const std::wstring key = L"CLSID\\" + guidText(*entry.clsid);
        LONG result = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
            error = errorText("removing HKEY_CLASSES_ROOT\\CLSID", result);
            ok = false;
        }
    }
    HRESULT hr = UnRegisterTypeLib(LIBID_DebugMuxLib, 1, 0, LANG_NEUTRAL, SYS_WIN64);
    if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_LIBNOTREGISTERED) {
        error = errorText("removing the type library", hr);
        ok = false;
    }
    return ok;
}

}  // namespace muxsim
