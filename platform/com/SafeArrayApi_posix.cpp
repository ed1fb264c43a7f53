// The SAFEARRAY functions of this platform (on Windows, oleaut32 provides them).
#include "platform/com/SafeArray.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/com/Variant.h"

namespace {

// The descriptor is preceded by a hidden header that keeps the element type, as the Windows
// layout keeps it in front of the array (FADF_HAVEVARTYPE).
struct Hidden {
    VARTYPE vt;
    unsigned char pad[14];
};
static_assert(sizeof(Hidden) == 16);

Hidden* hiddenOf(SAFEARRAY* psa) {
    return reinterpret_cast<Hidden*>(reinterpret_cast<char*>(psa) - sizeof(Hidden));
}

std::atomic_ref<ULONG> locks(SAFEARRAY* psa) {
    return std::atomic_ref<ULONG>(psa->cLocks);
}

SAFEARRAYBOUND* bounds(SAFEARRAY* psa) {
    return psa->rgsabound;
}
const SAFEARRAYBOUND* bounds(const SAFEARRAY* psa) {
    return psa->rgsabound;
}

SAFEARRAY* allocDescriptor(VARTYPE vt, UINT cDims) {
    std::size_t size = sizeof(Hidden) + sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
    auto* block = static_cast<char*>(std::calloc(1, size));
    if (!block)
        return nullptr;
    auto* hidden = reinterpret_cast<Hidden*>(block);
    hidden->vt = vt;
    auto* psa = reinterpret_cast<SAFEARRAY*>(block + sizeof(Hidden));
    psa->cDims = static_cast<USHORT>(cDims);
    psa->fFeatures = FADF_HAVEVARTYPE;
    psa->cbElements = platform::com::safeArrayElementSize(vt);
    return psa;
}

void freeDescriptor(SAFEARRAY* psa) {
    std::free(hiddenOf(psa));
}

// Allocates the data block; never null (at least one byte) so that copying no bytes into an
// empty array is well defined.
bool allocData(SAFEARRAY* psa) {
    std::size_t bytes =
        static_cast<std::size_t>(platform::com::safeArrayElementCount(psa)) * psa->cbElements;
    psa->pvData = std::calloc(bytes ? bytes : 1, 1);
    return psa->pvData != nullptr;
}

// Offset in elements of an index vector, or false when out of bounds. As in oleaut32, the
// vector starts with the leftmost dimension's index, and the leftmost dimension varies fastest
// in memory; the descriptor keeps the bounds the other way round (rightmost first).
bool elementOffset(const SAFEARRAY* psa, const LONG* idx, std::size_t& offset) {
    offset = 0;
    std::size_t stride = 1;
    for (UINT k = 0; k < psa->cDims; ++k) {
        const SAFEARRAYBOUND& b = bounds(psa)[psa->cDims - 1 - k];
        long long rel = static_cast<long long>(idx[k]) - b.lLbound;
        if (rel < 0 || rel >= static_cast<long long>(b.cElements))
            return false;
        offset += static_cast<std::size_t>(rel) * stride;
        stride *= b.cElements;
    }
    return true;
}

}  // namespace

namespace platform::com {

SAFEARRAY* safeArrayCreateVectorCopy(VARTYPE vt, const void* from, ULONG cElements) {
    const ULONG elemSize = safeArrayElementSize(vt);
    if (elemSize == 0 || (cElements && !from))
        return nullptr;
    const unsigned long long total = static_cast<unsigned long long>(elemSize) * cElements;
    if (total > std::numeric_limits<ULONG>::max())
        return nullptr;
    SAFEARRAY* psa = allocDescriptor(vt, 1);
    if (!psa)
        return nullptr;
    psa->rgsabound[0] = SAFEARRAYBOUND{cElements, 0};
    const auto bytes = static_cast<std::size_t>(total);
    psa->pvData = std::malloc(bytes ? bytes : 1);  // never null, as allocData
    if (!psa->pvData) {
        freeDescriptor(psa);
        return nullptr;
    }
    if (bytes)
        std::memcpy(psa->pvData, from, bytes);
    return psa;
}

SAFEARRAY* safeArrayCreateVectorOver(VARTYPE vt, void* data, ULONG cElements) {
    const ULONG elemSize = safeArrayElementSize(vt);
    if (elemSize == 0 || (cElements && !data))
        return nullptr;
    if (cElements == 0)
        return SafeArrayCreateVector(vt, 0, 0);
    if (static_cast<unsigned long long>(elemSize) * cElements > std::numeric_limits<ULONG>::max())
        return nullptr;
    SAFEARRAY* psa = allocDescriptor(vt, 1);
    if (!psa)
        return nullptr;
    psa->rgsabound[0] = SAFEARRAYBOUND{cElements, 0};
    psa->fFeatures |= FADF_STATIC;
    psa->pvData = data;
    return psa;
}

}  // namespace platform::com

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
    if (cDims == 0 || cDims > 0xFFFF || !rgsabound)
        return nullptr;
    ULONG elemSize = platform::com::safeArrayElementSize(vt);
    if (elemSize == 0)
        return nullptr;
    unsigned long long total = elemSize;
    for (UINT k = 0; k < cDims; ++k) {
        total *= rgsabound[k].cElements;
        if (total > std::numeric_limits<ULONG>::max())
            return nullptr;
    }
    SAFEARRAY* psa = allocDescriptor(vt, cDims);
    if (!psa)
        return nullptr;
    for (UINT k = 0; k < cDims; ++k)
        bounds(psa)[cDims - 1 - k] = rgsabound[k];
    if (!allocData(psa)) {
        freeDescriptor(psa);
        return nullptr;
    }
    return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    SAFEARRAYBOUND bound{cElements, lLbound};
    return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (!psa)
        return S_OK;
    if (locks(psa).load() != 0)
        return DISP_E_ARRAYISLOCKED;
    // Elements that the array does not own stay where they are; those of a static array are
    // zeroed, as oleaut32 does (a static array's elements are of plain types here).
    if (psa->fFeatures & FADF_STATIC)
        std::memset(
            psa->pvData, 0,
            static_cast<std::size_t>(psa->cbElements) * platform::com::safeArrayElementCount(psa));
    else if (!(psa->fFeatures & (FADF_AUTO | FADF_EMBEDDED)))
        std::free(psa->pvData);
    freeDescriptor(psa);
    return S_OK;
}

// An array takes at most this many locks at once, as oleaut32's arrays do.
constexpr ULONG kMaxLocks = 0xFFFF;

HRESULT SafeArrayLock(SAFEARRAY* psa) {
    if (!psa)
        return E_INVALIDARG;
    ULONG now = locks(psa).load();
    do {
        if (now >= kMaxLocks)
            return E_UNEXPECTED;
    } while (!locks(psa).compare_exchange_weak(now, now + 1));
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
    if (!psa)
        return E_INVALIDARG;
    ULONG now = locks(psa).load();
    do {
        if (now == 0)
            return E_UNEXPECTED;
    } while (!locks(psa).compare_exchange_weak(now, now - 1));
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (!psa || !ppvData)
        return E_INVALIDARG;
    HRESULT hr = SafeArrayLock(psa);
    if (FAILED(hr))
        return hr;
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
    return SafeArrayUnlock(psa);
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (!psa || !plLbound)
        return E_INVALIDARG;
    if (nDim < 1 || nDim > psa->cDims)
        return DISP_E_BADINDEX;
    *plLbound = bounds(psa)[psa->cDims - nDim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (!psa || !plUbound)
        return E_INVALIDARG;
    if (nDim < 1 || nDim > psa->cDims)
        return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& b = bounds(psa)[psa->cDims - nDim];
    *plUbound = static_cast<LONG>(static_cast<long long>(b.lLbound) + b.cElements - 1);
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) {
    return psa ? psa->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* psa) {
    return psa ? psa->cbElements : 0;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (!psa || !pvt)
        return E_INVALIDARG;
    *pvt = hiddenOf(psa)->vt;
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
    if (!ppsaOut)
        return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (!psa)
        return S_OK;
    SAFEARRAY* copy = allocDescriptor(hiddenOf(psa)->vt, psa->cDims);
    if (!copy)
        return E_OUTOFMEMORY;
    std::memcpy(bounds(copy), bounds(psa), psa->cDims * sizeof(SAFEARRAYBOUND));
    if (!allocData(copy)) {
        freeDescriptor(copy);
        return E_OUTOFMEMORY;
    }
    std::memcpy(
        copy->pvData, psa->pvData,
        static_cast<std::size_t>(platform::com::safeArrayElementCount(psa)) * psa->cbElements);
    *ppsaOut = copy;
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    if (!psa || !rgIndices || !pv)
        return E_INVALIDARG;
    std::size_t offset;
    if (!elementOffset(psa, rgIndices, offset))
        return DISP_E_BADINDEX;
    SafeArrayLock(psa);
    std::memcpy(pv, static_cast<char*>(psa->pvData) + offset * psa->cbElements, psa->cbElements);
    SafeArrayUnlock(psa);
    return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    if (!psa || !rgIndices || !pv)
        return E_INVALIDARG;
    std::size_t offset;
    if (!elementOffset(psa, rgIndices, offset))
        return DISP_E_BADINDEX;
    SafeArrayLock(psa);
    std::memcpy(static_cast<char*>(psa->pvData) + offset * psa->cbElements, pv, psa->cbElements);
    SafeArrayUnlock(psa);
    return S_OK;
}
