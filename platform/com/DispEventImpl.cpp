#include "platform/com/DispEventImpl.h"

namespace ATL::detail {

HRESULT convertEventArg(VARIANT& out, const VARIANT& in, VARTYPE vt) {
    if (vt != VT_VARIANT)
        return VariantChangeType(&out, &in, 0, vt);
    const VARIANT* src = &in;
    if (in.vt == (VT_BYREF | VT_VARIANT) && in.pvarVal)
        src = in.pvarVal;
    return VariantCopy(&out, src);
}

HRESULT containException(EXCEPINFO* excepInfo, HRESULT hr) {
    if (excepInfo) {
        *excepInfo = EXCEPINFO{};
        excepInfo->scode = hr;
    }
    return DISP_E_EXCEPTION;
}

}  // namespace ATL::detail
