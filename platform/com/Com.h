// The COM-style layer in one include: base types and interfaces, BSTR and _bstr_t, VARIANT and
// _variant_t, SAFEARRAY, _com_error, smart pointers, object creation, the ATL object model,
// enumerators, connection points and event sinks.
#pragma once

#include "platform/com/AtlBase.h"
#include "platform/com/Bstr.h"
#include "platform/com/ClassRegistry.h"
#include "platform/com/ComBase.h"
#include "platform/com/ComError.h"
#include "platform/com/ComPtr.h"
#include "platform/com/ConnectionPoint.h"
#include "platform/com/DispEventImpl.h"
#include "platform/com/EnumVariant.h"
#include "platform/com/ObjIdl.h"
#include "platform/com/SafeArray.h"
#include "platform/com/Variant.h"
