// Counts the component's objects that a host holds (its data sources and equipments). When
// the last of them goes, the objects with workers of their own that they held are waited for
// (one may outlive its holders while a handler on its worker holds a reference to it), and
// the threads of workers that ended on their own (stopped from their own thread, for instance
// by a final release there) are joined: once a host has released everything the library
// made, no thread runs the library's code and it may be unloaded.
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

    // Waits for every object with a worker of its own to go (up to a few seconds; never on a
    // worker's thread, whose own object is still there), then joins the threads of workers
    // that ended. What the last component object's release does; a library calls it again
    // as it unloads, for objects released after that.
    static void endThreads();
};

}  // namespace core
