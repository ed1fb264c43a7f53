// The BSTR allocation functions of this platform (on Windows, oleaut32 provides them).
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/com/Bstr.h"

namespace {

constexpr std::size_t kPrefix = sizeof(std::uint32_t);

// Allocates a BSTR of the given byte length (contents zeroed, terminator written).
BSTR allocBytes(std::size_t bytes) {
    if (bytes > std::numeric_limits<std::uint32_t>::max() - kPrefix - 2 * sizeof(OLECHAR))
        return nullptr;
    auto* block = static_cast<char*>(std::calloc(1, kPrefix + bytes + 2 * sizeof(OLECHAR)));
    if (!block)
        return nullptr;
    auto len = static_cast<std::uint32_t>(bytes);
    std::memcpy(block, &len, kPrefix);
    return reinterpret_cast<BSTR>(block + kPrefix);
}

std::size_t olestrLen(const OLECHAR* s) {
    std::size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
    if (!psz)
        return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(olestrLen(psz)));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    BSTR s = allocBytes(static_cast<std::size_t>(ui) * sizeof(OLECHAR));
    if (s && strIn)
        std::memcpy(s, strIn, static_cast<std::size_t>(ui) * sizeof(OLECHAR));
    return s;
}

BSTR SysAllocStringByteLen(const char* psz, UINT len) {
    BSTR s = allocBytes(len);
    if (s && psz)
        std::memcpy(s, psz, len);
    return s;
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    if (!pbstr)
        return FALSE;
    return SysReAllocStringLen(pbstr, psz, psz ? static_cast<UINT>(olestrLen(psz)) : 0);
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
    if (!pbstr)
        return FALSE;
    BSTR s = SysAllocStringLen(psz, len);
    if (!s)
        return FALSE;
    SysFreeString(*pbstr);
    *pbstr = s;
    return TRUE;
}

void SysFreeString(BSTR bstr) {
    if (bstr)
        std::free(reinterpret_cast<char*>(bstr) - kPrefix);
}

UINT SysStringByteLen(BSTR bstr) {
    if (!bstr)
        return 0;
    std::uint32_t len;
    std::memcpy(&len, reinterpret_cast<const char*>(bstr) - kPrefix, kPrefix);
    return len;
}

UINT SysStringLen(BSTR bstr) {
    return SysStringByteLen(bstr) / sizeof(OLECHAR);
}
