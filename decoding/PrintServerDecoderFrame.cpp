#include "decoding/PrintServerDecoderFrame.h"

#include "framework/dsrc/InformationElement.h"

namespace vela {

namespace {

const core::RCPtr<core::Data>& key() {
    static const core::RCPtr<core::Data> k(new core::Data("PSDF", 4));
    return k;
}

// One element for one line; false when no element could be made.
bool addLine(IEEInformationElements* elements, std::uint16_t& identity, const std::string& line,
             std::int32_t& result) {
    ATL::CComObject<EEInformationElement>* element = nullptr;
    if (FAILED(ATL::CComObject<EEInformationElement>::CreateInstance(&element)))
        return false;
    element->AddRef();
    element->SetInfo(identity, _bstr_t("Info"), _bstr_t("PrintServerChannel Info"));
    ++identity;
    BSTR value = dsrc::byteString(line);
    element->SetValue(value);
    SysFreeString(value);
    VARIANT_BOOL added = VARIANT_FALSE;
    if (elements)
        elements->Add(element, &added);
    if (added != VARIANT_FALSE)
        ++result;
    element->Release();
    return true;
}

}  // namespace

// Made once when the component loads.
static const bool g_keyMade = (key(), true);

PrintServerDecoderFrame::~PrintServerDecoderFrame() = default;

core::RCPtr<core::Data> PrintServerDecoderFrame::getKey() const {
    return key();
}

std::int32_t PrintServerDecoderFrame::decode(IEEInformationElements* elements,
                                             const core::RCPtr<core::Data>& data) {
    std::int32_t result = dsrc::DecoderFrame::decode(elements, data);
    if (!data || data->empty())
        return result;
    std::string text(reinterpret_cast<const char*>(data->getInternalData()), data->size());
    std::size_t pos = text[0] == '\n' ? 1 : 0;
    std::uint16_t identity = 100;
    bool made = true;
    for (std::size_t lf; made && (lf = text.find('\n', pos)) != std::string::npos; pos = lf + 1)
        made = addLine(elements, identity, text.substr(pos, lf - pos), result);
    // Text after the last line feed, or all that is left after an element could not be made.
    if (pos < text.size())
        addLine(elements, identity, text.substr(pos), result);
    return result;
}

}  // namespace vela
