// The Windows side of the platform's additions to kernel32: event notifies on the system's
// thread pool, and error texts from the system's message table. Events, handles and error
// codes are the system's own.
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/win32/win32.h"

namespace {

// One event's notify: a thread-pool wait on the event, armed for one signal at a time. The
// pool's wait takes an auto-reset event's signal, so the callback gives it back before it
// notifies, and the wait is armed again only once the loop has waited on the event itself
// (waitEvent): armed at once it would take the given-back signal again and again.
struct Watch {
    HANDLE event = nullptr;
    platform::EventNotify notify = nullptr;
    void* context = nullptr;
    bool manual = false;
    PTP_WAIT wait = nullptr;
    std::atomic<bool> armed{false};
};

struct Watches {
    std::mutex mutex;  // guards the map and arming, so that no wait is armed once removed
    std::unordered_map<HANDLE, std::unique_ptr<Watch>> byEvent;
};

Watches& watches() {
    static auto* w = new Watches;  // outlives every static destructor
    return *w;
}

void CALLBACK onSignalled(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WAIT, TP_WAIT_RESULT result) {
    auto* watch = static_cast<Watch*>(context);
    // Unarmed before the notify: a waitEvent after the notify arms the wait again.
    watch->armed.store(false);
    if (result != WAIT_OBJECT_0)
        return;
    if (!watch->manual)
        SetEvent(watch->event);
    watch->notify(watch->context);
}

void arm(Watch& watch) {  // caller holds the watches' lock
    if (!watch.armed.exchange(true))
        SetThreadpoolWait(watch.wait, watch.event, nullptr);
}

void remove(HANDLE event) {
    std::unique_ptr<Watch> watch;
    {
        auto& w = watches();
        std::lock_guard<std::mutex> lock(w.mutex);
        auto it = w.byEvent.find(event);
        if (it == w.byEvent.end())
            return;
        watch = std::move(it->second);
        w.byEvent.erase(it);
        SetThreadpoolWait(watch->wait, nullptr, nullptr);
    }
    // A callback under way finishes before the watch goes.
    WaitForThreadpoolWaitCallbacks(watch->wait, TRUE);
    CloseThreadpoolWait(watch->wait);
}

}  // namespace

namespace platform {

bool setEventNotify(HANDLE event, EventNotify notify, void* context, bool manualReset) {
    if (event == nullptr || event == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    remove(event);
    if (!notify)
        return true;
    auto watch = std::make_unique<Watch>();
    watch->event = event;
    watch->notify = notify;
    watch->context = context;
    watch->manual = manualReset;
    watch->wait = CreateThreadpoolWait(&onSignalled, watch.get(), nullptr);
    if (!watch->wait)
        return false;
    auto& w = watches();
    std::lock_guard<std::mutex> lock(w.mutex);
    arm(*watch);
    w.byEvent[event] = std::move(watch);
    return true;
}

DWORD waitEvent(HANDLE event, DWORD milliseconds) {
    DWORD result = WaitForSingleObject(event, milliseconds);
    auto& w = watches();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto it = w.byEvent.find(event);
    if (it != w.byEvent.end())
        arm(*it->second);
    return result;
}

const char* errorText(DWORD code) {
    // One buffer per thread, like the errno texts; the text stays until the next call.
    thread_local char text[256];
    DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text, nullptr);
    if (n == 0)
        return "Unknown error.";
    // The system's texts end in a line break, which a trace line adds itself.
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
        text[--n] = '\0';
    return text;
}

}  // namespace platform
