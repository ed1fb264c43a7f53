// Test-code argument blocks: decode, encode back, and through the XML form.
#include "FuzzChecks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vela::fuzz::registerXmlClasses();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    vela::fuzz::checkArguments(data, size, false);
    return 0;
}
