// The component shell: the entry points the host calls after loading the library. The
// library registers its classes, detector and COM objects in the framework's registries while
// it loads and removes them, in reverse order, while it unloads.
#pragma once

namespace ATL {
class CAtlModule;
}

extern "C" {
// Both store the host's module the first time either is called and return true;
// Norda_Equipment also hands it to the framework's registrar when it is the first.
bool Norda_Equipment(ATL::CAtlModule* module);
bool Norda_DataSource(ATL::CAtlModule* module);
}

namespace vela {
// The module stored by the first entry-point call, or null.
ATL::CAtlModule* hostModule();
}  // namespace vela
