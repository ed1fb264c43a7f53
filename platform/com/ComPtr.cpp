#include "platform/com/ComPtr.h"

namespace platform::com {

bool isSameObject(IUnknown* a, IUnknown* b) {
    if (a == b)
        return true;
    if (!a || !b)
        return false;
    IUnknown* ua = nullptr;
    IUnknown* ub = nullptr;
    queryInterface(a, IID_IUnknown, &ua);
    queryInterface(b, IID_IUnknown, &ub);
    bool same = ua && ua == ub;
    if (ua)
        ua->Release();
    if (ub)
        ub->Release();
    return same;
}

}  // namespace platform::com
