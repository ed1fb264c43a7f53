#include "platform/win32/win32.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/win32/Handles.h"

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<platform::HandleObject>> objects;
    // Handles are never reused, so a stale handle cannot reach a newer object.
    std::uintptr_t next = 0x1000;
};

HandleTable& table() {
    static HandleTable* t = new HandleTable;  // outlives every static destructor
    return *t;
}

class EventObject : public platform::HandleObject {
  public:
    EventObject(bool manual, bool initial) : manual_(manual), signalled_(initial) {}

    void set() {
        platform::EventNotify notify;
        void* context;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
            notify = notify_;
            context = context_;
        }
        cv_.notify_all();
        if (notify)
            notify(context);
    }
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = false;
    }
    DWORD wait(DWORD ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto ready = [this] { return signalled_; };
        if (ms == INFINITE) {
            cv_.wait(lock, ready);
        } else if (!cv_.wait_for(lock, std::chrono::milliseconds(ms), ready)) {
            return WAIT_TIMEOUT;
        }
        if (!manual_)
            signalled_ = false;
        return WAIT_OBJECT_0;
    }
    void setNotify(platform::EventNotify notify, void* context) {
        std::lock_guard<std::mutex> lock(mutex_);
        notify_ = notify;
        context_ = context;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    const bool manual_;
    bool signalled_;
    platform::EventNotify notify_ = nullptr;
    void* context_ = nullptr;
};

}  // namespace

namespace platform {

HANDLE registerHandle(std::shared_ptr<HandleObject> object) {
    auto& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    std::uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> lookupHandle(HANDLE handle) {
    auto& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == t.objects.end()) {
        t_lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return it->second;
}

bool setEventNotify(HANDLE event, EventNotify notify, void* context, bool) {
    // Called from SetEvent itself, so every signal is seen without a wait of its own.
    auto object = lookupHandleAs<EventObject>(event);
    if (!object)
        return false;
    object->setNotify(notify, context);
    return true;
}

DWORD waitEvent(HANDLE event, DWORD milliseconds) {
    return WaitForSingleObject(event, milliseconds);
}

const char* errorText(DWORD code) {
    switch (code) {
        case ERROR_SUCCESS:
            return "The operation completed successfully.";
        case ERROR_FILE_NOT_FOUND:
            return "The system cannot find the file specified.";
        case ERROR_ACCESS_DENIED:
            return "Access is denied.";
        case ERROR_INVALID_HANDLE:
            return "The handle is invalid.";
        case ERROR_NOT_ENOUGH_MEMORY:
            return "Not enough memory resources are available.";
        case ERROR_GEN_FAILURE:
            return "A device attached to the system is not functioning.";
        case ERROR_SHARING_VIOLATION:
            return "The process cannot access the file because it is being used by another "
                   "process.";
        case ERROR_NOT_SUPPORTED:
            return "The request is not supported.";
        case ERROR_INVALID_PARAMETER:
            return "The parameter is incorrect.";
        case ERROR_BUSY:
            return "The requested resource is in use.";
        case ERROR_OPERATION_ABORTED:
            return "The I/O operation has been aborted.";
        case ERROR_IO_INCOMPLETE:
            return "Overlapped I/O event is not in a signaled state.";
        case ERROR_IO_PENDING:
            return "Overlapped I/O operation is in progress.";
        case ERROR_DEVICE_NOT_CONNECTED:
            return "The device is not connected.";
        default:
            return "Unknown error.";
    }
}

DWORD win32ErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EBUSY:
            return ERROR_SHARING_VIOLATION;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOTTY:
        case EOPNOTSUPP:
            return ERROR_NOT_SUPPORTED;
        case EIO:
        case EPIPE:
            return ERROR_GEN_FAILURE;
        default:
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace platform

DWORD GetLastError() {
    return t_lastError;
}
void SetLastError(DWORD code) {
    t_lastError = code;
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

DWORD GetTickCount() {
    using namespace std::chrono;
    return static_cast<DWORD>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    return platform::registerHandle(
        std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE event) {
    auto object = platform::lookupHandleAs<EventObject>(event);
    if (!object)
        return FALSE;
    object->set();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    auto object = platform::lookupHandleAs<EventObject>(event);
    if (!object)
        return FALSE;
    object->reset();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    auto object = platform::lookupHandleAs<EventObject>(handle);
    if (!object)
        return WAIT_FAILED;
    return object->wait(milliseconds);
}

BOOL CloseHandle(HANDLE handle) {
    std::shared_ptr<platform::HandleObject> object;
    {
        auto& t = table();
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == t.objects.end()) {
            t_lastError = ERROR_INVALID_HANDLE;
            return FALSE;
        }
        object = std::move(it->second);
        t.objects.erase(it);
    }
    return object->close();
}
