// Object creation: CoCreateInstance over a process-wide, in-process class registry in which a
// server registers its classes by CLSID with a factory function and the class contexts it
// serves. CoInitializeEx and CoUninitialize exist for code written against COM; every thread
// is free-threaded here and they do nothing.
//
// On Windows these are ole32's, and registerClass registers the class with the COM runtime
// (CoRegisterClassObject, from a thread in an apartment), so that the system's CoCreateInstance
// finds it.
#pragma once

#include <functional>

#include "platform/com/ComBase.h"

#if !defined(_WIN32)
enum CLSCTX {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_INPROC_SERVER16 = 0x8,
    CLSCTX_REMOTE_SERVER = 0x10,
};
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
// 0x17: every context a class can be created in.
#define CLSCTX_ALL \
    (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

enum COINIT {
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8,
};

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
HRESULT CoInitialize(LPVOID pvReserved);
void CoUninitialize();

// Creates an object of a registered class and asks it for riid. E_POINTER for a null ppv,
// E_INVALIDARG when dwClsContext names none of the four contexts of CLSCTX_ALL,
// REGDB_E_CLASSNOTREG when the class is not registered in any of the contexts asked for,
// otherwise what the class's factory answers (CLASS_E_NOAGGREGATION for an outer object the
// class does not support, E_NOINTERFACE for an interface it lacks). *ppv is null on failure.
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv);

// Puts an object into its running state. Objects here run from their creation: S_OK for any
// object, E_INVALIDARG for null.
HRESULT OleRun(IUnknown* pUnknown);
#endif  // !_WIN32

namespace platform::com {

// Makes one object and answers QueryInterface(iid) of it into *ppv (null on failure).
using ClassFactory = std::function<HRESULT(IUnknown* outer, REFIID iid, void** ppv)>;

// How many clients a class registered by a server process serves: every one that asks
// (Multiple), or only the first, after which the system starts a new server process for the
// next (Single: REGCLS_SINGLEUSE on Windows). Within one process every request is served.
enum class ClassUse { Multiple, Single };

// Registers a class for the given contexts (CLSCTX bits). False when the CLSID is registered
// already (the first registration stays) or the factory is empty.
bool registerClass(REFCLSID clsid, DWORD contexts, ClassFactory factory,
                   ClassUse use = ClassUse::Multiple);
// False when the CLSID is not registered. Creations already under way finish.
bool unregisterClass(REFCLSID clsid);
bool isClassRegistered(REFCLSID clsid);

// Takes back the references that other processes hold on an object of this process (on
// Windows CoDisconnectObject): a sink handed to a service in another process is released by
// that process only while it runs, and a service that went away never releases it. Within
// one process there are none, and nothing is done.
void disconnectObject(IUnknown* object);

}  // namespace platform::com
