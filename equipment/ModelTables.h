// Configuration data: which phones the component supports, by USB product id (for phones the
// host finds as devices with ports) and by model number (for phones found through an AT
// dialogue), and which model family each belongs to. Documented in the README.
#pragma once

#include <cstddef>
#include <string>

#include "platform/win32/guiddef.h"

namespace vela {

struct ModelFamily {
    int row;                 // row of the identity table, 1 to 7 (6: the prototype)
    const GUID* identity;    // the family's class identity
    const CLSID* msgServer;  // the host's mobile message server for it
};

// The seven families, by row.
const ModelFamily& modelFamily(int row);
// The family of a class identity; an identity of no family gives null.
const ModelFamily* findFamilyByIdentity(const GUID& identity);

// The product name that marks a prototype, whatever its ids.
inline constexpr const char* kPrototypeProduct = "Prototype";

// The family of a product id (four upper-case hexadecimal digits), or null.
const ModelFamily* findFamilyByProductId(const std::string& productId);
// The family of a model number reported over AT, or null.
const ModelFamily* findFamilyByModel(const std::string& model);

struct ProductIdEntry {
    const char* productId;
    int row;
};
struct ModelEntry {
    const char* model;
    int row;
};
// The tables themselves (ten product ids in seven groups; eight model numbers).
const ProductIdEntry* productIdTable(std::size_t& count);
const ModelEntry* modelTable(std::size_t& count);

}  // namespace vela
