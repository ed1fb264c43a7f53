#include <gtest/gtest.h>

#include <sstream>

#include "decoding/PrintServerDecoderFrame.h"
#include "framework/dsrc/InformationElement.h"

namespace {

using core::RCPtr;

// Decodes a text and prints the elements as "id name|description|value" lines.
std::string decoded(const std::string& text, std::int32_t* count = nullptr,
                    std::size_t capacity = 0) {
    ATL::CComObject<EEInformationElements>* list = nullptr;
    ATL::CComObject<EEInformationElements>::CreateInstance(&list);
    list->AddRef();
    list->setCapacity(capacity);
    RCPtr<vela::PrintServerDecoderFrame> frame(new vela::PrintServerDecoderFrame);
    std::int32_t n = frame->decode(list, new core::Data(text.data(), text.size()));
    if (count)
        *count = n;
    std::ostringstream out;
    LONG items = 0;
    list->GetCount(&items);
    for (LONG i = 0; i < items; ++i) {
        IEEInformationElement* e = nullptr;
        list->GetItem(i, &e);
        LONG id;
        BSTR name, description, value;
        e->GetId(&id);
        e->GetName(&name);
        e->GetDescription(&description);
        e->GetValue(&value);
        out << id << " " << _bstr_t(name, false).utf8() << "|" << _bstr_t(description, false).utf8()
            << "|" << dsrc::byteStringBytes(value) << "\n";
        SysFreeString(value);
        e->Release();
    }
    list->Release();
    return out.str();
}

TEST(PrintServerDecoderFrame, LinesBecomeElements) {
    std::int32_t n = 0;
    EXPECT_EQ(decoded("\nabc\ndef", &n),
              "100 Info|PrintServerChannel Info|abc\n"
              "101 Info|PrintServerChannel Info|def\n");
    EXPECT_EQ(n, 2);
    EXPECT_EQ(decoded("abc\n\ndef\n", &n),
              "100 Info|PrintServerChannel Info|abc\n"
              "101 Info|PrintServerChannel Info|\n"
              "102 Info|PrintServerChannel Info|def\n");
    EXPECT_EQ(n, 3);
    EXPECT_EQ(decoded("abc", &n), "100 Info|PrintServerChannel Info|abc\n");
    EXPECT_EQ(decoded("", &n), "");
    EXPECT_EQ(n, 0);
    // Bytes are kept as they are: no character set conversion, carriage returns stay.
    EXPECT_EQ(decoded("caf\xE9\r\n", &n), "100 Info|PrintServerChannel Info|caf\xE9\r\n");
}

TEST(PrintServerDecoderFrame, ElementsNotTakenAreNotCounted) {
    std::int32_t n = 0;
    EXPECT_EQ(decoded("a\nb\nc", &n, 2),
              "100 Info|PrintServerChannel Info|a\n"
              "101 Info|PrintServerChannel Info|b\n");
    EXPECT_EQ(n, 2) << "the third line was offered and refused";
    RCPtr<vela::PrintServerDecoderFrame> frame(new vela::PrintServerDecoderFrame);
    auto key = frame->getKey();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(key->getInternalData()), key->size()),
              "PSDF");
}

}  // namespace
