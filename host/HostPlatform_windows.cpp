#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>

#include "host/HostPlatform.h"
#include "host/Session.h"

namespace host {

namespace {

HANDLE handleOf(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// Set once the session has ended; the handler of a closing console waits for it.
std::atomic<HANDLE> g_ended{nullptr};

BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            requestStop();
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // The system ends the process when this handler returns (or after about five
            // seconds): give the session the time to close its recording.
            requestStop();
            if (HANDLE ended = g_ended.load())
                WaitForSingleObject(ended, 4500);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

WakeFlag::WakeFlag() {
    // Manual reset: raised, it stays so until cleared.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event)
        m_handles[0] = reinterpret_cast<std::intptr_t>(event);
}

WakeFlag::~WakeFlag() {
    if (m_handles[0] != -1)
        CloseHandle(handleOf(m_handles[0]));
}

void WakeFlag::raise() {
    if (m_handles[0] != -1)
        SetEvent(handleOf(m_handles[0]));
}

bool WakeFlag::isRaised() const {
    return m_handles[0] != -1 && WaitForSingleObject(handleOf(m_handles[0]), 0) == WAIT_OBJECT_0;
}

void WakeFlag::clear() {
    if (m_handles[0] != -1)
        ResetEvent(handleOf(m_handles[0]));
}

void waitForFlags(const WakeFlag& first, const WakeFlag& second, long long milliseconds) {
    HANDLE events[2];
    DWORD count = 0;
    for (const WakeFlag* flag : {&first, &second})
        if (flag->m_handles[0] != -1)
            events[count++] = handleOf(flag->m_handles[0]);
    const DWORD ms = static_cast<DWORD>(
        std::min<long long>(std::max(milliseconds, 0LL), static_cast<long long>(INFINITE - 1)));
    if (count == 0)
        Sleep(ms);
    else
        WaitForMultipleObjects(count, events, FALSE, ms);
}

void installStopHandlers() {
    if (!g_ended.load())
        g_ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void sessionEnded() {
    if (HANDLE ended = g_ended.load())
        SetEvent(ended);
}

bool statusIsTerminal() {
    // A console takes the carriage return and the erase sequence of the redrawn status line
    // (Windows 10 terminals do); a pipe or a file gets whole lines.
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (err == INVALID_HANDLE_VALUE || !GetConsoleMode(err, &mode))
        return false;
    return SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::string systemDescription() {
    // The version the system reports of itself, not the one it shows a program without a
    // manifest.
    using RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto get = ntdll ? reinterpret_cast<RtlGetVersion>(
                           reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
                     : nullptr;
    std::string text = "Windows";
    if (get && get(&version) == 0)
        text += ' ' + std::to_string(version.dwMajorVersion) + '.' +
                std::to_string(version.dwMinorVersion) + '.' +
                std::to_string(version.dwBuildNumber);
    SYSTEM_INFO system{};
    GetNativeSystemInfo(&system);
    if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64)
        text += " x64";
    else if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64)
        text += " ARM64";
    return text;
}

bool standardOutputIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool simulatedServiceProcessSupported() {
    return true;
}

std::FILE* standardInput() {
    _setmode(_fileno(stdin), _O_BINARY);
    return stdin;
}

std::filesystem::path buildTreePluginFolder(const std::filesystem::path& programFolder) {
    return programFolder;
}

SimAtPort::~SimAtPort() = default;

bool SimAtPort::open(int, std::string& reason) {
    reason = "Windows has no pseudo-terminal to give it";
    return false;
}

std::uint64_t privateMemoryBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters))
        return 0;
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

int killProcesses(const std::string& programName) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    int ended = 0;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        if (_stricmp(entry.szExeFile, programName.c_str()) != 0)
            continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        // Gone when the wait returns: the next request for the service starts a new process.
        if (TerminateProcess(process, 1) && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0)
            ++ended;
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return ended;
}

}  // namespace host
