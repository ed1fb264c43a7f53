#include "framework/core/DataPool.h"

#include <cstring>
#include <memory>

namespace core {

// A bounded shelf of idle items that any thread may put on and take from without a lock: a
// ring of cells, each with a sequence number that says whose turn the cell is (the bounded
// multi-producer multi-consumer queue of D. Vyukov). A put that finds the shelf full, and a
// take that finds it empty, fail at once.
class DataPool::Shelf {
  public:
    explicit Shelf(std::size_t slots) : m_mask(slots - 1), m_cells(new Cell[slots]) {
        for (std::size_t i = 0; i < slots; ++i)
            m_cells[i].sequence.store(i, std::memory_order_relaxed);
    }

    bool put(void* item) {
        std::size_t position = m_tail.load(std::memory_order_relaxed);
        for (;;) {
            Cell& cell = m_cells[position & m_mask];
            const std::size_t sequence = cell.sequence.load(std::memory_order_acquire);
            const auto lead = static_cast<std::ptrdiff_t>(sequence - position);
            if (lead == 0) {
                if (m_tail.compare_exchange_weak(position, position + 1,
                                                 std::memory_order_relaxed)) {
                    cell.item = item;
                    cell.sequence.store(position + 1, std::memory_order_release);
                    return true;
                }
            } else if (lead < 0) {
                return false;  // full
            } else {
                position = m_tail.load(std::memory_order_relaxed);
            }
        }
    }

    void* take() {
        std::size_t position = m_head.load(std::memory_order_relaxed);
        for (;;) {
            Cell& cell = m_cells[position & m_mask];
            const std::size_t sequence = cell.sequence.load(std::memory_order_acquire);
            const auto lead = static_cast<std::ptrdiff_t>(sequence - (position + 1));
            if (lead == 0) {
                if (m_head.compare_exchange_weak(position, position + 1,
                                                 std::memory_order_relaxed)) {
                    void* item = cell.item;
                    cell.sequence.store(position + m_mask + 1, std::memory_order_release);
                    return item;
                }
            } else if (lead < 0) {
                return nullptr;  // empty
            } else {
                position = m_head.load(std::memory_order_relaxed);
            }
        }
    }

  private:
    struct Cell {
        std::atomic<std::size_t> sequence;
        void* item = nullptr;
    };
    const std::size_t m_mask;
    std::unique_ptr<Cell[]> m_cells;
    // Apart, so that the putting and the taking threads do not share a cache line.
    alignas(64) std::atomic<std::size_t> m_tail{0};
    alignas(64) std::atomic<std::size_t> m_head{0};
};

// A store that goes back to its pool when the last Data that sees its bytes goes.
class DataPool::PooledStore final : public Data::Store {
  public:
    // Set while the store is out of the pool: keeps the pool alive until it comes back.
    RCPtr<DataPool> pool;

  protected:
    void onFinalRelease() override { recycle(this); }
};

// A block's object, which goes back to its pool when the last counted pointer to it goes. It
// lets go of its store then; the store follows once no slice sees it any more.
class DataPool::PooledData final : public Data {
  public:
    RCPtr<DataPool> pool;

    void hold(PooledStore* store, std::size_t n) {
        m_spStore = store;
        m_offset = 0;
        m_size = n;
        lay();
    }
    void letGo() {
        m_spStore.reset();
        m_offset = 0;
        m_size = 0;
        lay();
    }

  protected:
    void onFinalRelease() override { recycle(this); }
};

DataPool::DataPool(std::size_t keptBytes)
    : m_keptLimit(keptBytes), m_pStores(new Shelf(kSlots)), m_pObjects(new Shelf(kSlots)) {
    static_assert((kSlots & (kSlots - 1)) == 0, "the shelves' slots are a power of two");
}

DataPool::~DataPool() {
    // Nothing is out (each holds the pool): what is kept is all there is.
    while (void* store = m_pStores->take())
        delete static_cast<PooledStore*>(store);
    while (void* data = m_pObjects->take())
        delete static_cast<PooledData*>(data);
    delete m_pStores;
    delete m_pObjects;
}

DataPool::PooledStore* DataPool::takeStore() {
    if (auto* store = static_cast<PooledStore*>(m_pStores->take())) {
        m_roomTaken.fetch_add(store->bytes.capacity(), std::memory_order_relaxed);
        m_reused.fetch_add(1, std::memory_order_relaxed);
        return store;
    }
    m_storesMade.fetch_add(1, std::memory_order_relaxed);
    return new PooledStore;
}

DataPool::PooledData* DataPool::takeData() {
    if (auto* data = static_cast<PooledData*>(m_pObjects->take()))
        return data;
    m_objectsMade.fetch_add(1, std::memory_order_relaxed);
    return new PooledData;
}

RCPtr<Data> DataPool::copyIn(const void* bytes, std::size_t n) {
    PooledStore* store = takeStore();
    const std::size_t room = store->bytes.capacity();
    if (n > room && room != 0)
        m_storesGrown.fetch_add(1, std::memory_order_relaxed);
    // Into the room the store has (one pass: no zero-fill under the copied bytes).
    if (bytes && n) {
        const auto* from = static_cast<const unsigned char*>(bytes);
        store->bytes.assign(from, from + n);
    } else {
        store->bytes.assign(n, 0);
    }
    store->pool = this;
    PooledData* data = takeData();
    data->pool = this;
    data->hold(store, n);
    return RCPtr<Data>(data);
}

bool DataPool::keep(PooledStore* store) {
    const std::size_t room = store->bytes.capacity();
    if (room > kLargestKept)
        return false;
    // The room taken is read without waiting for takes in flight, so the room kept may look
    // larger than it is (a wrap-around looks larger still), never smaller: the store then goes
    // to the heap, and the pool never keeps more than its limit.
    const std::size_t shelved = m_roomShelved.fetch_add(room, std::memory_order_relaxed) + room;
    if (shelved - m_roomTaken.load(std::memory_order_relaxed) > m_keptLimit) {
        m_roomShelved.fetch_sub(room, std::memory_order_relaxed);
        return false;
    }
    if (m_pStores->put(store))
        return true;
    m_roomShelved.fetch_sub(room, std::memory_order_relaxed);
    return false;
}

bool DataPool::keep(PooledData* data) {
    return m_pObjects->put(data);
}

void DataPool::recycle(PooledStore* store) {
    // The pool's reference leaves the store before the store is shelved: a shelved store holds
    // none, and the pool may go with this last reference (taking the shelved stores with it).
    RCPtr<DataPool> pool = std::move(store->pool);
    if (!pool || !pool->keep(store))
        delete store;
}

void DataPool::recycle(PooledData* data) {
    RCPtr<DataPool> pool = std::move(data->pool);
    data->letGo();  // the store goes back on its own once no slice sees it
    if (!pool || !pool->keep(data))
        delete data;
}

DataPool::Counts DataPool::counts() const {
    Counts c;
    c.storesMade = m_storesMade.load(std::memory_order_relaxed);
    c.storesGrown = m_storesGrown.load(std::memory_order_relaxed);
    c.objectsMade = m_objectsMade.load(std::memory_order_relaxed);
    c.reused = m_reused.load(std::memory_order_relaxed);
    const std::size_t taken = m_roomTaken.load(std::memory_order_relaxed);
    const std::size_t shelved = m_roomShelved.load(std::memory_order_relaxed);
    c.keptBytes = shelved > taken ? shelved - taken : 0;
    return c;
}

}  // namespace core
