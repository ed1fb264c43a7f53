#include <gtest/gtest.h>

#include "framework/core/Property.h"

namespace {

struct Handlers {
    int applies = 0;
    bool onApply(core::PropertyItem& item, core::Status& status) {
        ++applies;
        status.setCode(item.getValueCount() > 0 ? 1 : -1);
        return true;
    }
};

core::RCPtr<core::PropertyStore> makeTree(Handlers* h) {
    core::RCPtr<core::PropertyStore> store(new core::PropertyStore(0x1000, "", ""));
    core::RCPtr<core::PropertyCategory> probes(
        new core::PropertyCategory(424693, "Probes", "Probes Description"));
    core::RCPtr<core::UShortPropertyItem> gsm(
        new core::UShortPropertyItem(424697, "GSM", "GSM Mode Reports"));
    gsm->setStyle(2, true);
    gsm->setApplyTimeout(2000);
    gsm->attachApply(h, &Handlers::onApply);
    gsm->add(0x013B, "PH Block Report UL", false);
    gsm->add(0x013B, "Ph PDCH Block Head UL", true);
    gsm->add(0x00EC, "Handover Access Message", false);
    core::RCPtr<core::BytePropertyItem> cap(
        new core::BytePropertyItem(424692, "System Capability Control",
                                   "Modifies and reports the UE\xE2\x80\x99s System Capability."));
    cap->add(1, "WCDMA", true);
    cap->add(2, "GSM", true);
    core::RCPtr<core::StringPropertyItem> imei(
        new core::StringPropertyItem(2, "IMEI", "Identification"));
    imei->addString("123456789");
    imei->setReadOnly(true);
    EXPECT_TRUE(probes->insert(gsm));
    EXPECT_TRUE(store->insert(probes));
    EXPECT_TRUE(store->insert(cap));
    EXPECT_TRUE(store->insert(imei));
    return store;
}

TEST(PropertyTree, FindWalkAndCallbacks) {
    Handlers h;
    auto store = makeTree(&h);
    auto node = store->get(424697);
    auto gsm = core::rcCast<core::UShortPropertyItem>(node);
    ASSERT_TRUE(gsm);
    EXPECT_EQ(gsm->getParent()->getIdentity(), 424693u);
    // Identities are unique in the whole tree.
    EXPECT_FALSE(store->insert(
        core::RCPtr<core::PropertyNode>(new core::BoolPropertyItem(424697, "dup", ""))));

    std::vector<unsigned> ids;
    for (auto* v = gsm->getFirst(); v; v = gsm->getNext())
        ids.push_back(v->getUShort());
    EXPECT_EQ(ids, (std::vector<unsigned>{0x013B, 0x013B, 0x00EC}));
    EXPECT_EQ(gsm->getStyle(), 2u);
    gsm->setStyle(2, false);
    EXPECT_EQ(gsm->getStyle(), 0u);

    core::Status status;
    EXPECT_TRUE(gsm->apply(status));
    EXPECT_EQ(h.applies, 1);
    EXPECT_TRUE(gsm->validate(status)) << "no validate handler accepts";
    EXPECT_EQ(gsm->selectByLabel({"Handover Access Message"}), 1u);
    EXPECT_FALSE(gsm->getValue(1)->isSelected());
}

TEST(PropertyTree, XmlRoundTrip) {
    Handlers h;
    auto store = makeTree(&h);
    core::XMLElement element;
    ASSERT_TRUE(store->toXMLElement(element));
    std::string text = element.toString();

    core::XMLElement parsed;
    std::string error;
    ASSERT_TRUE(core::XMLElement::fromString(text, parsed, &error)) << error;
    auto copy = core::rcCast<core::PropertyStore>(parsed.toXMLObject());
    ASSERT_TRUE(copy);
    core::XMLElement again;
    ASSERT_TRUE(copy->toXMLElement(again));
    EXPECT_EQ(again.toString(), text);

    auto cap = core::rcCast<core::BytePropertyItem>(copy->get(424692));
    ASSERT_TRUE(cap);
    EXPECT_EQ(cap->getDescription(), "Modifies and reports the UE\xE2\x80\x99s System Capability.");
    auto imei = core::rcCast<core::StringPropertyItem>(copy->get(2));
    ASSERT_TRUE(imei);
    EXPECT_TRUE(imei->isReadOnly());
    EXPECT_EQ(imei->getValue(0)->getString(), "123456789");
}

TEST(PropertyTree, LoadSelectionsKeepsHandlers) {
    Handlers h;
    auto saved = makeTree(&h);
    auto gsm = core::rcCast<core::UShortPropertyItem>(saved->get(424697));
    gsm->getValue(0)->setSelected(true);
    gsm->getValue(1)->setSelected(false);
    core::XMLElement element;
    ASSERT_TRUE(saved->toXMLElement(element));

    auto fresh = makeTree(&h);
    EXPECT_EQ(fresh->loadSelections(element), 3u);
    auto item = core::rcCast<core::UShortPropertyItem>(fresh->get(424697));
    // Two values with the same probe id are told apart by their labels.
    EXPECT_TRUE(item->getValue(0)->isSelected());
    EXPECT_FALSE(item->getValue(1)->isSelected());
    core::Status status;
    item->apply(status);
    EXPECT_EQ(h.applies, 1);
}

// An identity is as wide as an address (an equipment's store is identified by its own
// address): one above 4 GiB reads back whole, also where unsigned long has 32 bits (64-bit
// Windows). A number too large for an identity is refused, not cut short.
TEST(PropertyTree, IdentitiesAsWideAsAnAddressReadBackWhole) {
    using Identity = core::PropertyNode::Identity;
    if constexpr (sizeof(Identity) < 8)
        GTEST_SKIP() << "identities have 32 bits here";
    const Identity store = static_cast<Identity>(0x00007FF612345678ULL);
    auto make = [&] {
        core::RCPtr<core::PropertyStore> tree(new core::PropertyStore(store, "", ""));
        core::RCPtr<core::BoolPropertyItem> item(new core::BoolPropertyItem(store + 1, "B", ""));
        item->add(1, "on", false);
        EXPECT_TRUE(tree->insert(item));
        return tree;
    };
    auto saved = make();
    core::rcCast<core::BoolPropertyItem>(saved->get(store + 1))->getValue(0)->setSelected(true);
    core::XMLElement element;
    ASSERT_TRUE(saved->toXMLElement(element));
    const std::string text = element.toString();
    ASSERT_NE(text.find("ID=\"140694844102264\""), std::string::npos) << text;

    core::XMLElement parsed;
    ASSERT_TRUE(core::XMLElement::fromString(text, parsed));
    auto copy = core::rcCast<core::PropertyStore>(parsed.toXMLObject());
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->getIdentity(), store);
    EXPECT_TRUE(copy->get(store + 1));
    auto fresh = make();
    EXPECT_EQ(fresh->loadSelections(element), 1u);
    EXPECT_TRUE(
        core::rcCast<core::BoolPropertyItem>(fresh->get(store + 1))->getValue(0)->isSelected());

    std::string tooLarge = text;
    tooLarge.replace(tooLarge.find("140694844102264"), 15, "18446744073709551616");
    ASSERT_TRUE(core::XMLElement::fromString(tooLarge, parsed));
    EXPECT_FALSE(parsed.toXMLObject());
}

TEST(XMLElement, RejectsMalformedText) {
    core::XMLElement e;
    std::string error;
    EXPECT_FALSE(core::XMLElement::fromString("<a><b></a>", e, &error));
    EXPECT_FALSE(error.empty());
    e = core::XMLElement("X");
    e.setAttribute("CLASS", std::string("no::SuchClass"));
    EXPECT_FALSE(e.toXMLObject());
}

}  // namespace
