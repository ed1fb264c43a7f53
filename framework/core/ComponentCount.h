// Counts the component's objects that a host holds (its data sources and equipments). When
// the last of them goes, the threads of workers that ended on their own (stopped from their
// own thread, for instance by a final release there) are joined: once a host has released
// everything the library made, no thread runs the library's code and it may be unloaded.
// This is the library's teardown on every system: on Windows it cannot wait for threads
// while it unloads, since the loader lock held then keeps threads from ending.
#pragma once

namespace core {

class ComponentCount {
  public:
    ComponentCount();
    ComponentCount(const ComponentCount&);
    ComponentCount& operator=(const ComponentCount&) = default;
    ~ComponentCount();

    // The component's objects that exist now.
    static int live();
};

}  // namespace core
