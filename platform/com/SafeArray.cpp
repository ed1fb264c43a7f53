// The SAFEARRAY helpers that both sides share.
#include "platform/com/SafeArray.h"

#include "platform/com/Variant.h"

namespace platform::com {

ULONG safeArrayElementSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
            return 8;
        default:
            return 0;
    }
}

ULONG safeArrayElementCount(const SAFEARRAY* psa) {
    if (!psa)
        return 0;
    unsigned long long n = 1;
    for (UINT k = 0; k < psa->cDims; ++k)
        n *= psa->rgsabound[k].cElements;
    return static_cast<ULONG>(n);
}

}  // namespace platform::com
