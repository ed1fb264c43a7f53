// Raw TVP frames from the phone through the frame factory.
#include "FuzzChecks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vela::fuzz::registerXmlClasses();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    vela::fuzz::checkFactory(data, size, vela::TvpIoProtocol::FROM_UE);
    return 0;
}
