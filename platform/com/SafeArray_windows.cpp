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

}  // namespace platform::com
