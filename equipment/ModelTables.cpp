#include "equipment/ModelTables.h"

#include <iterator>

#include "equipment/VelaGuids.h"

namespace vela {

namespace {

const ModelFamily kFamilies[] = {
    {1, &ModelIdentity1, &CLSID_MobileMsgServer1},
    {2, &ModelIdentity2, &CLSID_MobileMsgServer2},
    {3, &ModelIdentity3, &CLSID_MobileMsgServer3},
    {4, &ModelIdentity4, &CLSID_MobileMsgServer4},
    {5, &ModelIdentity5, &CLSID_MobileMsgServer5},
    {6, &ModelIdentityPrototype, &CLSID_MobileMsgServerPrototype},
    {7, &ModelIdentity7, &CLSID_MobileMsgServer7},
};

// Ten product ids: one each for rows 1, 2, 4, 5, 6 and 7, four for row 3.
const ProductIdEntry kProductIds[] = {
    {"D001", 1}, {"D002", 2}, {"D010", 3}, {"D011", 3}, {"D012", 3},
    {"D013", 3}, {"D020", 4}, {"D030", 5}, {"D0F0", 6}, {"D040", 7},
};

// Eight model numbers: one each for rows 1, 2, 4, 5 and 7, three for row 3.
const ModelEntry kModels[] = {
    {"V100", 1}, {"V200", 2}, {"V310", 3}, {"V320", 3},
    {"V330", 3}, {"V400", 4}, {"V500", 5}, {"V700", 7},
};

}  // namespace

const ModelFamily& modelFamily(int row) {
    if (row < 1 || row > 7)
        row = 6;
    return kFamilies[row - 1];
}

const ModelFamily* findFamilyByIdentity(const GUID& identity) {
    for (auto& f : kFamilies)
        if (*f.identity == identity)
            return &f;
    return nullptr;
}

const ModelFamily* findFamilyByProductId(const std::string& productId) {
    for (auto& e : kProductIds)
        if (productId == e.productId)
            return &modelFamily(e.row);
    return nullptr;
}

const ModelFamily* findFamilyByModel(const std::string& model) {
    for (auto& e : kModels)
        if (model == e.model)
            return &modelFamily(e.row);
    return nullptr;
}

const ProductIdEntry* productIdTable(std::size_t& count) {
    count = std::size(kProductIds);
    return kProductIds;
}

const ModelEntry* modelTable(std::size_t& count) {
    count = std::size(kModels);
    return kModels;
}

}  // namespace vela
