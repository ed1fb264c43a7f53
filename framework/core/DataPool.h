// Blocks of bytes whose objects and stores are recycled: a stream of received blocks that are
// copied in on one thread and let go on others (the frames cut from a block keep its bytes
// until the last of them is gone) takes nothing from the heap once the pool holds what the
// stream keeps in flight.
//
// copyIn() makes a Data holding a copy of the given bytes. Its object goes back to the pool when
// the last counted pointer to it goes, and its store (the bytes) when the last Data that sees
// them goes as well: a slice or a frame sharing the bytes keeps them out of the pool, so no
// byte is overwritten while anyone can still read it. A store comes back with the room it
// had, and the next copy of as many bytes or fewer writes into that room.
//
// The pool keeps at most keptBytes of idle stores (their room, not their last sizes) and a
// bounded number of idle objects; what comes back beyond that, and stores larger than
// kLargestKept, go back to the heap. Taking and giving back take no lock: any thread may copy
// into the pool and any thread may let a block go. Blocks outlive the pool that made them:
// while any is out, the pool itself is kept.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "framework/core/Data.h"
#include "framework/core/RCObject.h"

namespace core {

class DataPool : public RCObject {
  public:
    // What a pool keeps idle by default: about what a stream keeps in flight while its reader
    // keeps up, with room to spare.
    static constexpr std::size_t kDefaultKeptBytes = 2u << 20;
    // A store with more room than this is not kept.
    static constexpr std::size_t kLargestKept = 1u << 20;
    // Idle stores and idle objects kept at most, each.
    static constexpr std::size_t kSlots = 256;

    explicit DataPool(std::size_t keptBytes = kDefaultKeptBytes);
    ~DataPool() override;
    DataPool(const DataPool&) = delete;
    DataPool& operator=(const DataPool&) = delete;

    // A new Data holding a copy of n bytes (zeros when bytes is null), in a recycled object
    // and store when the pool has them. Any thread.
    RCPtr<Data> copyIn(const void* bytes, std::size_t n);

    struct Counts {
        std::uint64_t storesMade = 0;   // stores taken from the heap
        std::uint64_t storesGrown = 0;  // recycled stores that needed more room
        std::uint64_t objectsMade = 0;  // Data objects taken from the heap
        std::uint64_t reused = 0;       // copies made in a recycled store
        std::size_t keptBytes = 0;      // room of the idle stores now
    };
    Counts counts() const;

  private:
    class Shelf;
    class PooledStore;
    class PooledData;

    PooledStore* takeStore();
    PooledData* takeData();
    // Given back by the last holder (any thread); false when the pool does not keep it.
    bool keep(PooledStore* store);
    bool keep(PooledData* data);
    static void recycle(PooledStore* store);
    static void recycle(PooledData* data);

    // The threads that copy in and those that give back are usually two, on two processors:
    // what each writes for every block sits on a cache line of its own, apart from what both
    // only read, so that neither waits for the other's line on every block.
    alignas(64) const std::size_t m_keptLimit;
    Shelf* const m_pStores;
    Shelf* const m_pObjects;
    // Written when a store is taken off the shelf: the room taken off it so far, and counts.
    alignas(64) std::atomic<std::size_t> m_roomTaken{0};
    std::atomic<std::uint64_t> m_storesMade{0};
    std::atomic<std::uint64_t> m_storesGrown{0};
    std::atomic<std::uint64_t> m_objectsMade{0};
    std::atomic<std::uint64_t> m_reused{0};
    // Written when a store is shelved: the room put on the shelf so far. The room kept idle is
    // this less m_roomTaken.
    alignas(64) std::atomic<std::size_t> m_roomShelved{0};
};

}  // namespace core
