// DebugMuxLib.h, the component's view of the debug-multiplexer service, against the type
// library that widl builds from DebugMuxLib.idl and that COM marshals the calls by between
// processes: every identity, every method at the vtable slot the header calls it at with the
// parameter types the header gives it, the IDispatch base of every dual interface, the
// dispatch ids of the events and the classes with their interfaces. A method the marshaller
// placed at another slot, or with a parameter of another size, would corrupt the calls that
// cross a process.
#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/com/DebugMuxLib.h"

namespace {

// The vtable slot of a virtual member function: with the Itanium C++ ABI (GCC, and mingw-w64)
// a pointer to a virtual member holds 1 + its byte offset in the vtable.
template <class F>
int slotOf(F member) {
    struct Representation {
        std::uintptr_t pointer;
        std::ptrdiff_t adjustment;
    } r;
    static_assert(sizeof(F) == sizeof(Representation));
    std::memcpy(&r, &member, sizeof r);
    return (r.pointer & 1) ? static_cast<int>((r.pointer - 1) / sizeof(void*)) : -1;
}

// The parameter types of the header in the notation typeText gives the type library's: a
// 16-bit value may be a VARIANT_BOOL or a SHORT (the same C++ type), a SAFEARRAY is one of
// bytes, an interface of the library goes by its name.
template <class T>
struct TypeName;
template <>
struct TypeName<LONG> {
    static std::string get() { return "i4"; }
};
template <>
struct TypeName<SHORT> {
    static std::string get() { return "i2|bool"; }
};
template <>
struct TypeName<BYTE> {
    static std::string get() { return "ui1"; }
};
template <>
struct TypeName<BSTR> {
    static std::string get() { return "bstr"; }
};
template <>
struct TypeName<VARIANT> {
    static std::string get() { return "variant"; }
};
template <>
struct TypeName<IUnknown*> {
    static std::string get() { return "unknown"; }
};
template <>
struct TypeName<IDispatch*> {
    static std::string get() { return "dispatch"; }
};
template <>
struct TypeName<IDataBlock*> {
    static std::string get() { return "ptr(IDataBlock)"; }
};
template <>
struct TypeName<SAFEARRAY*> {
    static std::string get() { return "safearray(ui1)"; }
};
template <class T>
struct TypeName<T*> {
    static std::string get() { return "ptr(" + TypeName<T>::get() + ")"; }
};

template <class C, class... A>
std::vector<std::string> parametersOf(HRESULT (C::*)(A...)) {
    return {TypeName<A>::get()...};
}

struct Method {
    std::string name;
    INVOKEKIND kind;
    int slot;
    std::vector<std::string> parameters;
};

template <class F>
Method method(const char* name, INVOKEKIND kind, F member) {
    return {name, kind, slotOf(member), parametersOf(member)};
}

std::string typeText(ITypeInfo* info, const TYPEDESC& type) {
    switch (type.vt) {
        case VT_PTR:
            return "ptr(" + typeText(info, *type.lptdesc) + ")";
        case VT_SAFEARRAY:
            return "safearray(" + typeText(info, *type.lptdesc) + ")";
        case VT_I4:
            return "i4";
        case VT_I2:
        case VT_BOOL:
            return "i2|bool";
        case VT_UI1:
            return "ui1";
        case VT_BSTR:
            return "bstr";
        case VT_VARIANT:
            return "variant";
        case VT_UNKNOWN:
            return "unknown";
        case VT_DISPATCH:
            return "dispatch";
        case VT_USERDEFINED: {
            ITypeInfo* referenced = nullptr;
            if (FAILED(info->GetRefTypeInfo(type.hreftype, &referenced)))
                return "userdefined(?)";
            BSTR name = nullptr;
            referenced->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
            std::string text = _bstr_t(name, false).utf8();
            referenced->Release();
            return text;
        }
        default:
            return "vt" + std::to_string(type.vt);
    }
}

std::string nameOf(ITypeInfo* info, MEMBERID id) {
    BSTR name = nullptr;
    UINT count = 0;
    if (FAILED(info->GetNames(id, &name, 1, &count)) || count == 0)
        return {};
    return _bstr_t(name, false).utf8();
}

GUID guidOf(ITypeInfo* info) {
    TYPEATTR* attr = nullptr;
    info->GetTypeAttr(&attr);
    GUID guid = attr->guid;
    info->ReleaseTypeAttr(attr);
    return guid;
}

class DebugMuxLibTypeLib : public ::testing::Test {
  protected:
    void SetUp() override {
        // bin/DebugMuxLib.tlb, beside this program.
        std::wstring path(MAX_PATH, L'\0');
        path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
        path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"DebugMuxLib.tlb";
        ASSERT_EQ(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library), S_OK)
            << "no DebugMuxLib.tlb beside the test program";
    }
    void TearDown() override {
        if (library)
            library->Release();
    }
    ITypeInfo* typeInfo(const GUID& guid) {
        ITypeInfo* info = nullptr;
        EXPECT_EQ(library->GetTypeInfoOfGuid(guid, &info), S_OK);
        return info;
    }

    // The vtable part of the dual interface iid holds exactly these methods, at their slots,
    // and derives from IDispatch.
    void checkDual(const char* interfaceName, const IID& iid, const std::vector<Method>& methods) {
        SCOPED_TRACE(interfaceName);
        ITypeInfo* dispatchPart = typeInfo(iid);
        ASSERT_TRUE(dispatchPart);
        TYPEATTR* attr = nullptr;
        dispatchPart->GetTypeAttr(&attr);
        EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
        dispatchPart->ReleaseTypeAttr(attr);
        BSTR name = nullptr;
        dispatchPart->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
        EXPECT_EQ(_bstr_t(name, false).utf8(), interfaceName);

        HREFTYPE vtableRef = 0;
        ASSERT_EQ(dispatchPart->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtableRef), S_OK);
        ITypeInfo* vtable = nullptr;
        ASSERT_EQ(dispatchPart->GetRefTypeInfo(vtableRef, &vtable), S_OK);
        dispatchPart->Release();

        vtable->GetTypeAttr(&attr);
        EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
        EXPECT_EQ(attr->guid, iid);
        // Marshalled by the type-library marshaller.
        EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
        EXPECT_EQ(attr->cFuncs, methods.size());
        EXPECT_EQ(attr->cbSizeVft, (7 + methods.size()) * sizeof(void*));
        const UINT count = attr->cFuncs;
        vtable->ReleaseTypeAttr(attr);

        HREFTYPE baseRef = 0;
        ASSERT_EQ(vtable->GetRefTypeOfImplType(0, &baseRef), S_OK);
        ITypeInfo* base = nullptr;
        ASSERT_EQ(vtable->GetRefTypeInfo(baseRef, &base), S_OK);
        EXPECT_EQ(guidOf(base), IID_IDispatch) << "the base of the vtable part";
        base->Release();

        for (UINT i = 0; i < count && i < methods.size(); ++i) {
            FUNCDESC* function = nullptr;
            ASSERT_EQ(vtable->GetFuncDesc(i, &function), S_OK);
            const Method& expected = methods[i];
            SCOPED_TRACE(expected.name);
            EXPECT_EQ(nameOf(vtable, function->memid), expected.name);
            EXPECT_EQ(function->invkind, expected.kind);
            EXPECT_EQ(function->oVft / static_cast<int>(sizeof(void*)), expected.slot);
            EXPECT_EQ(function->elemdescFunc.tdesc.vt, VT_HRESULT);
            std::vector<std::string> parameters;
            for (SHORT p = 0; p < function->cParams; ++p)
                parameters.push_back(typeText(vtable, function->lprgelemdescParam[p].tdesc));
            EXPECT_EQ(parameters, expected.parameters);
            vtable->ReleaseFuncDesc(function);
        }
        vtable->Release();
    }

    // The dispinterface iid fires exactly these events with these dispatch ids, each with an
    // IDispatch argument (Disconnected with none).
    void checkEvents(const char* interfaceName, const IID& iid,
                     const std::vector<std::pair<std::string, DISPID>>& events) {
        SCOPED_TRACE(interfaceName);
        ITypeInfo* info = typeInfo(iid);
        ASSERT_TRUE(info);
        TYPEATTR* attr = nullptr;
        info->GetTypeAttr(&attr);
        EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
        EXPECT_FALSE(attr->wTypeFlags & TYPEFLAG_FDUAL);
        EXPECT_EQ(attr->cFuncs, events.size());
        const UINT count = attr->cFuncs;
        info->ReleaseTypeAttr(attr);
        for (UINT i = 0; i < count && i < events.size(); ++i) {
            FUNCDESC* function = nullptr;
            ASSERT_EQ(info->GetFuncDesc(i, &function), S_OK);
            EXPECT_EQ(nameOf(info, function->memid), events[i].first);
            EXPECT_EQ(function->memid, events[i].second) << events[i].first;
            const SHORT arguments = events[i].first == "Disconnected" ? 0 : 1;
            EXPECT_EQ(function->cParams, arguments) << events[i].first;
            if (function->cParams == 1) {
                EXPECT_EQ(typeText(info, function->lprgelemdescParam[0].tdesc), "dispatch");
            }
            info->ReleaseFuncDesc(function);
        }
        info->Release();
    }

    // The class implements these interfaces, in this order, with these flags.
    void checkClass(const char* className, const CLSID& clsid,
                    const std::vector<std::pair<GUID, int>>& interfaces) {
        SCOPED_TRACE(className);
        ITypeInfo* info = typeInfo(clsid);
        ASSERT_TRUE(info);
        TYPEATTR* attr = nullptr;
        info->GetTypeAttr(&attr);
        EXPECT_EQ(attr->typekind, TKIND_COCLASS);
        EXPECT_EQ(attr->cImplTypes, interfaces.size());
        const UINT count = attr->cImplTypes;
        info->ReleaseTypeAttr(attr);
        for (UINT i = 0; i < count && i < interfaces.size(); ++i) {
            HREFTYPE ref = 0;
            ASSERT_EQ(info->GetRefTypeOfImplType(i, &ref), S_OK);
            ITypeInfo* implemented = nullptr;
            ASSERT_EQ(info->GetRefTypeInfo(ref, &implemented), S_OK);
            EXPECT_EQ(guidOf(implemented), interfaces[i].first) << i;
            implemented->Release();
            INT flags = 0;
            info->GetImplTypeFlags(i, &flags);
            EXPECT_EQ(flags, interfaces[i].second) << i;
        }
        info->Release();
    }

    ITypeLib* library = nullptr;
};

TEST_F(DebugMuxLibTypeLib, LibraryIdentityAndVersion) {
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, LIBID_DebugMuxLib);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    EXPECT_EQ(attr->syskind, SYS_WIN64);
    library->ReleaseTLibAttr(attr);
    BSTR name = nullptr;
    library->GetDocumentation(-1, &name, nullptr, nullptr, nullptr);
    EXPECT_EQ(_bstr_t(name, false).utf8(), "DebugMuxLib");
}

TEST_F(DebugMuxLibTypeLib, DualInterfacesHaveTheHeadersSlotsAndParameters) {
    const auto get = INVOKE_PROPERTYGET;
    const auto put = INVOKE_PROPERTYPUT;
    const auto call = INVOKE_FUNC;
    checkDual("IDebugMux", IID_IDebugMux, {method("Targets", get, &IDebugMux::get_Targets)});
    checkDual("IDebugMuxPorts", IID_IDebugMuxPorts,
              {method("Reserved7", call, &IDebugMuxPorts::Reserved7),
               method("Reserved8", call, &IDebugMuxPorts::Reserved8),
               method("Reserved9", call, &IDebugMuxPorts::Reserved9),
               method("Reserved10", call, &IDebugMuxPorts::Reserved10),
               method("Reserved11", call, &IDebugMuxPorts::Reserved11),
               method("AddPort", call, &IDebugMuxPorts::raw_AddPort),
               method("Reserved13", call, &IDebugMuxPorts::Reserved13),
               method("HasPort", call, &IDebugMuxPorts::raw_HasPort)});
    checkDual("ITargets", IID_ITargets, {method("_NewEnum", get, &ITargets::get__NewEnum)});
    checkDual("ITarget", IID_ITarget,
              {method("Id", get, &ITarget::get_Id), method("Name", get, &ITarget::get_Name),
               method("DataProviders", get, &ITarget::get_DataProviders)});
    checkDual("IDataProviders", IID_IDataProviders,
              {method("_NewEnum", get, &IDataProviders::get__NewEnum)});
    checkDual(
        "IDataProvider", IID_IDataProvider,
        {method("Id", get, &IDataProvider::get_Id), method("Name", get, &IDataProvider::get_Name),
         method("Reserved9", call, &IDataProvider::Reserved9),
         method("Connect", call, &IDataProvider::raw_Connect),
         method("Disconnect", call, &IDataProvider::raw_Disconnect),
         method("Send", call, &IDataProvider::raw_Send),
         method("Reserved13", call, &IDataProvider::Reserved13),
         method("PortName", get, &IDataProvider::get_PortName)});
    checkDual("IDataProviderStream", IID_IDataProviderStream,
              {method("Reserved7", call, &IDataProviderStream::Reserved7),
               method("Reserved8", call, &IDataProviderStream::Reserved8),
               method("Reserved9", call, &IDataProviderStream::Reserved9),
               method("Connect", call, &IDataProviderStream::raw_Connect),
               method("Disconnect", call, &IDataProviderStream::raw_Disconnect),
               method("Send", call, &IDataProviderStream::raw_Send)});
    checkDual(
        "IDataBlock", IID_IDataBlock,
        {method("Size", get, &IDataBlock::get_Size), method("Data", get, &IDataBlock::get_Data),
         method("Data", put, &IDataBlock::put_Data)});
}

TEST_F(DebugMuxLibTypeLib, EventsHaveTheHeadersDispatchIds) {
    checkEvents("_IDebugMuxEvents", DIID__IDebugMuxEvents,
                {{"TargetConnected", DebugMuxEvents::TargetConnected},
                 {"TargetDisconnected", DebugMuxEvents::TargetDisconnected}});
    checkEvents("_ITargetEvents", DIID__ITargetEvents,
                {{"NewDataProvider", TargetEvents::NewDataProvider},
                 {"DataProviderRemoved", TargetEvents::DataProviderRemoved},
                 {"DataProviderUnavailable", TargetEvents::DataProviderUnavailable}});
    checkEvents("_IDataProviderEvents", DIID__IDataProviderEvents,
                {{"DataAvailable", DataProviderEvents::DataAvailable},
                 {"Disconnected", DataProviderEvents::Disconnected}});
}

TEST_F(DebugMuxLibTypeLib, ClassesAndTheirInterfaces) {
    checkClass("DebugMuxServer", CLSID_DebugMuxServer,
               {{IID_IDebugMux, IMPLTYPEFLAG_FDEFAULT},
                {IID_IDebugMuxPorts, 0},
                {DIID__IDebugMuxEvents, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}});
    checkClass("DataBlock", CLSID_DataBlock, {{IID_IDataBlock, IMPLTYPEFLAG_FDEFAULT}});
}

}  // namespace
