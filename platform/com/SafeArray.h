// SAFEARRAY: Automation arrays of fixed-size elements (bytes above all), laid out as on
// Windows. The data block is reached with SafeArrayAccessData, which locks the array until
// SafeArrayUnaccessData; a locked array cannot be destroyed (DISP_E_ARRAYISLOCKED).
//
// Element types: VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT, VT_UINT, VT_I8, VT_UI8,
// VT_R4, VT_R8, VT_BOOL, VT_ERROR. Arrays of strings, interfaces or VARIANTs are not offered by
// this layer (SafeArrayCreate gives null for them). The data pointer of an array is never
// null, also for an array of no elements.
#pragma once

#include "platform/com/ComBase.h"

#if !defined(_WIN32)
struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    PVOID pvData;
    // cDims bounds, the rightmost (least significant) dimension first.
    SAFEARRAYBOUND rgsabound[1];
};
using LPSAFEARRAY = SAFEARRAY*;

#define FADF_AUTO 0x0001
#define FADF_STATIC 0x0002
#define FADF_EMBEDDED 0x0004
#define FADF_FIXEDSIZE 0x0010
#define FADF_HAVEVARTYPE 0x0080

// rgsabound lists the bounds from the first (leftmost) dimension on.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
// S_OK for null; DISP_E_ARRAYISLOCKED while the array is locked (it then stays).
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
HRESULT SafeArrayLock(SAFEARRAY* psa);
// E_UNEXPECTED when the array is not locked.
HRESULT SafeArrayUnlock(SAFEARRAY* psa);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
// nDim counts from 1 (the leftmost dimension); DISP_E_BADINDEX outside 1..cDims.
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
UINT SafeArrayGetDim(SAFEARRAY* psa);
UINT SafeArrayGetElemsize(SAFEARRAY* psa);
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
// A new, unlocked array with the same type, shape and contents.
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
// rgIndices holds one index per dimension, the leftmost dimension first, and the leftmost
// dimension varies fastest in memory, as oleaut32 has them.
HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
#endif  // !_WIN32

namespace platform::com {
// Size in bytes of an element of a type that arrays can hold, 0 for other types.
ULONG safeArrayElementSize(VARTYPE vt);
// Number of elements of all dimensions.
ULONG safeArrayElementCount(const SAFEARRAY* psa);
// A new one-dimensional array (lower bound 0) of cElements elements holding a copy of the
// elements at from (none when cElements is 0); the bytes are written once, with no zero-fill
// first. Null when the type is not offered or memory runs out.
SAFEARRAY* safeArrayCreateVectorCopy(VARTYPE vt, const void* from, ULONG cElements);
// A new one-dimensional array (lower bound 0) over cElements elements at data that the caller
// owns (FADF_STATIC): no copy is made, destroying the array zeroes the elements but does not
// free them (as oleaut32 does), and they must outlive the array. With no elements, an ordinary
// empty array. Null when the type is not offered, data is null for some elements, or memory runs
// out.
SAFEARRAY* safeArrayCreateVectorOver(VARTYPE vt, void* data, ULONG cElements);
}  // namespace platform::com
