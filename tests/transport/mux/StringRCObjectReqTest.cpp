// The request that carries a string and an object, and its XML form.
#include <gtest/gtest.h>

#include "framework/core/Data.h"
#include "framework/core/XML.h"
#include "transport/StringRCObjectReq.h"

namespace muxtest {

// An object that writes itself as XML, for the object part of the request.
class XmlItem : public core::XMLObject {
  public:
    std::string value;
    Object* copy() const override { return new XmlItem(*this); }

  protected:
    bool attributesToElement(core::XMLElement& element) const override {
        element.setAttribute("VALUE", value);
        return true;
    }
    bool attributesFromElement(const core::XMLElement& element) override {
        return element.getAttribute("VALUE", value);
    }
};

namespace {

using core::RCPtr;
using vela::StringRCObjectReq;
using Item = XmlItem;

class StringRCObjectReqTest : public ::testing::Test {
  protected:
    void SetUp() override {
        StringRCObjectReq::registerClass();
        core::Object::registerClass("muxtest::XmlItem",
                                    [] { return static_cast<core::Object*>(new Item()); });
    }
    void TearDown() override {
        StringRCObjectReq::unRegisterClass();
        core::Object::unRegisterClass("muxtest::XmlItem");
    }
};

TEST_F(StringRCObjectReqTest, CarriesItsStringAndObject) {
    StringRCObjectReq plain;
    EXPECT_EQ(plain.getName(), "vela::StringRCObjectReq");
    EXPECT_TRUE(plain.getString().empty());
    EXPECT_FALSE(plain.getObject());

    RCPtr<Item> item(new Item());
    StringRCObjectReq request("AttachChannel", "Tvp", item);
    request.setSyncType(core::Request::POSTED);
    StringRCObjectReq copied(request);
    EXPECT_EQ(copied.getName(), "AttachChannel");
    EXPECT_EQ(copied.getSyncType(), core::Request::POSTED);
    EXPECT_EQ(copied.getString(), "Tvp");
    EXPECT_EQ(copied.getObject(), item);  // the same object, by reference
    plain = request;
    EXPECT_EQ(plain.getObject(), item);
    EXPECT_EQ(item->getRefCount(), 4);
    RCPtr<core::RCObject> cloned(dynamic_cast<core::RCObject*>(request.copy()));
    EXPECT_EQ(dynamic_cast<StringRCObjectReq*>(cloned.get())->getString(), "Tvp");
}

TEST_F(StringRCObjectReqTest, XmlRoundTripWithAnObject) {
    RCPtr<Item> item(new Item());
    item->value = "ch\"1<";
    StringRCObjectReq request("AttachEquipment", "COM5", item);
    request.setSyncType(core::Request::POSTED);

    core::XMLElement element;
    ASSERT_TRUE(request.toXMLElement(element));
    EXPECT_EQ(element.getName(), "vela.StringRCObjectReq");
    std::string text;
    ASSERT_TRUE(element.getAttribute("CLASS", text));
    EXPECT_EQ(text, "vela::StringRCObjectReq");
    ASSERT_TRUE(element.getAttribute("NAME", text));
    EXPECT_EQ(text, "AttachEquipment");
    ASSERT_TRUE(element.getAttribute("STRING", text));
    EXPECT_EQ(text, "COM5");
    ASSERT_EQ(element.getChildren().size(), 1u);
    const core::XMLElement* child = element.findChild("RCOBJECT");
    ASSERT_NE(child, nullptr);
    ASSERT_TRUE(child->getAttribute("VALUE", text));
    EXPECT_EQ(text, "ch\"1<");

    // Through the text form and the class registry back to a request.
    core::XMLElement parsed;
    ASSERT_TRUE(core::XMLElement::fromString(element.toString(), parsed));
    RCPtr<core::XMLObject> object = parsed.toXMLObject();
    auto* back = dynamic_cast<StringRCObjectReq*>(object.get());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->getName(), "AttachEquipment");
    EXPECT_EQ(back->getSyncType(), core::Request::POSTED);
    EXPECT_EQ(back->getString(), "COM5");
    auto backItem = core::rcCast<Item>(back->getObject());
    ASSERT_TRUE(backItem);
    EXPECT_EQ(backItem->value, "ch\"1<");
}

TEST_F(StringRCObjectReqTest, WithoutAWritableObjectOnlyTheStringTravels) {
    StringRCObjectReq empty("DetachChannel", "Tvp", nullptr);
    core::XMLElement element;
    EXPECT_FALSE(empty.toXMLElement(element));
    std::string text;
    ASSERT_TRUE(element.getAttribute("STRING", text));
    EXPECT_EQ(text, "Tvp");
    EXPECT_TRUE(element.getChildren().empty());

    StringRCObjectReq data("Send", "x", RCPtr<core::RCObject>(new core::Data()));
    core::XMLElement dataElement;
    EXPECT_FALSE(data.toXMLElement(dataElement));  // a data block is no XML object
    EXPECT_TRUE(dataElement.getChildren().empty());

    // Reading drops the object held before and keeps a string that is not in the element.
    StringRCObjectReq target("Old", "kept", RCPtr<core::RCObject>(new Item()));
    core::XMLElement bare("vela.StringRCObjectReq");
    bare.setAttribute("NAME", "New");
    EXPECT_FALSE(target.fromXMLElement(bare));
    EXPECT_FALSE(target.getObject());
    EXPECT_EQ(target.getName(), "New");
    EXPECT_EQ(target.getString(), "kept");

    EXPECT_FALSE(target.fromXMLElement(element));
    EXPECT_EQ(target.getString(), "Tvp");

    // A child of a class nobody registered gives no object.
    core::XMLElement unknown("vela.StringRCObjectReq");
    core::XMLElement child("RCOBJECT");
    child.setAttribute("CLASS", "nobody::Knows");
    unknown.addChild(child);
    EXPECT_FALSE(target.fromXMLElement(unknown));
    EXPECT_FALSE(target.getObject());
}

}  // namespace
}  // namespace muxtest
