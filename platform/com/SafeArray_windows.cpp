// The Windows side of the SAFEARRAY helpers: arrays are oleaut32's own.
#include <cstring>

#include "platform/com/SafeArray.h"

namespace platform::com {

SAFEARRAY* safeArrayCreateVectorCopy(VARTYPE vt, const void* from, ULONG cElements) {
    if (safeArrayElementSize(vt) == 0 || (cElements && !from))
        return nullptr;
    SAFEARRAY* psa = SafeArrayCreateVector(vt, 0, cElements);
    if (!psa)
        return nullptr;
    if (cElements)
        std::memcpy(psa->pvData, from, static_cast<std::size_t>(psa->cbElements) * cElements);
    return psa;
}

SAFEARRAY* safeArrayCreateVectorOver(VARTYPE vt, void* data, ULONG cElements) {
    if (safeArrayElementSize(vt) == 0 || (cElements && !data))
        return nullptr;
    if (cElements == 0)
        return SafeArrayCreateVector(vt, 0, 0);
    SAFEARRAY* psa = nullptr;
    if (FAILED(SafeArrayAllocDescriptorEx(vt, 1, &psa)) || !psa)
        return nullptr;
    psa->rgsabound[0].cElements = cElements;
    psa->rgsabound[0].lLbound = 0;
    // Static: SafeArrayDestroy frees the descriptor and zeroes the elements, but keeps them.
    psa->fFeatures |= FADF_STATIC;
    psa->pvData = data;
    return psa;
}

}  // namespace platform::com
