// The registration of vela-mux-sim as the debug-multiplexer service's COM local server
// (Windows), under HKEY_CLASSES_ROOT: CLSID_DebugMuxServer with LocalServer32 naming the
// program and its phone options; CLSID_DataBlock with InprocServer32 naming the simulated
// service's library (libvela_sim.dll), in which clients make the blocks they send; and the
// DebugMuxLib type library that the program carries as its resource TYPELIB 1, registered with
// RegisterTypeLib (which enters the interfaces under Interface, so that COM marshals them
// between processes).
#pragma once

#include <string>
#include <vector>

namespace muxsim {

// program: the full path of vela-mux-sim.exe; library: that of the simulated service's
// library. False with the reason; what was written before a failure is removed again.
bool registerServer(const std::wstring& program, const std::wstring& library,
                    const std::vector<std::string>& phoneArguments, std::string& error);
// Removes the classes and the type library. Missing keys are no failure.
bool unregisterServer(std::string& error);

}  // namespace muxsim
