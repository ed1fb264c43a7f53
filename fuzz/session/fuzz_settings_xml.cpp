// The settings reader: any text as a persisted settings file. Parsing it, loading its
// selections into the TVP channel's tree and reading it as a tree of its own must neither
// crash nor read out of bounds; a tree that was read writes out text that reads back as the
// same tree.
#include <cstddef>
#include <cstdlib>
#include <string>

#include "framework/core/Property.h"
#include "framework/core/XML.h"
#include "session/ProbeCatalogue.h"

namespace {

struct NoHandlers : vela::CatalogueHandlers {
    bool onApplyProbeMode(core::PropertyItem&, core::Status&) override { return true; }
    bool onApplyPhyProbe(core::PropertyItem&, core::Status&) override { return true; }
    bool onValidateCapability(core::PropertyItem&, core::Status&) override { return true; }
    bool onApplyCapability(core::PropertyItem&, core::Status&) override { return true; }
};

std::string text(const core::XMLObject& object) {
    core::XMLElement element;
    if (!object.toXMLElement(element))
        std::abort();
    return element.toString();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    core::XMLElement element;
    if (!core::XMLElement::fromString(std::string(reinterpret_cast<const char*>(data), size),
                                      element))
        return 0;

    NoHandlers handlers;
    core::RCPtr<core::PropertyStore> store(new core::PropertyStore());
    store->insert(vela::catalogue::buildCommonControl(&handlers));
    store->insert(vela::catalogue::buildProbes(&handlers));
    store->loadSelections(element);
    text(*store);

    core::RCPtr<core::PropertyStore> read(new core::PropertyStore());
    if (!read->fromXMLElement(element))
        return 0;
    const std::string once = text(*read);
    core::XMLElement again;
    if (!core::XMLElement::fromString(once, again))
        std::abort();
    core::RCPtr<core::PropertyStore> reread(new core::PropertyStore());
    if (!reread->fromXMLElement(again) || text(*reread) != once)
        std::abort();
    return 0;
}
