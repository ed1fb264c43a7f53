// Pipes: queues of counted objects (mostly Data blocks) between threads. A pipe's sync object
// stays signalled while blocks remain, so a reader that takes one block per callback is called
// once for every block written; no block waits unread for want of a signal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "framework/core/Data.h"
#include "framework/core/RCObject.h"
#include "framework/core/SyncObject.h"

namespace core {

class Pipe : public RCObject {
  public:
    // Largest number of queued bytes a pipe accepts by default.
    static constexpr std::size_t kDefaultMaxBytes = 64u << 20;

    explicit Pipe(std::size_t maxBytes = kDefaultMaxBytes);
    ~Pipe() override;

    // Queues a block. Refused (false, with a trace line) only when the queued bytes would
    // exceed the bound; an empty pipe takes any block.
    virtual bool write(const RCPtr<RCObject>& block);
    // The oldest block, or empty when none is queued.
    virtual RCPtr<RCObject> read();
    // read() as a Data block (empty when the block is not a Data).
    RCPtr<Data> readData() { return rcCast<Data>(read()); }

    SyncObject* getSyncObject() { return &m_sync; }

    std::size_t getCount() const;
    std::size_t getBytes() const;
    void setMaxBytes(std::size_t maxBytes);
    std::size_t getMaxBytes() const;
    std::uint64_t getRefusedCount() const;

  private:
    class PipeSync : public SyncObject {
      public:
        explicit PipeSync(Pipe* pipe) : m_pipe(pipe) {}
        ~PipeSync() override { detachFromWorker(); }
        void notify() { signal(); }

      protected:
        bool acquire() override { return m_pipe->getCount() != 0; }
        bool isPending() override { return m_pipe->getCount() != 0; }
        void onAdded() override {
            if (m_pipe->getCount() != 0)
                signal();
        }

      private:
        Pipe* m_pipe;
    };

    mutable std::mutex m_mutex;
    std::deque<RCPtr<RCObject>> m_blocks;
    std::size_t m_bytes = 0;
    std::size_t m_maxBytes;
    std::uint64_t m_refused = 0;
    PipeSync m_sync;
};

// The pipe that a worker's reader waits on.
class AsyncPipe : public Pipe {
  public:
    explicit AsyncPipe(std::size_t maxBytes = kDefaultMaxBytes) : Pipe(maxBytes) {}
};

// A producer's end of a pipe: what is put in comes out of getPipe().
class DataChannel {
  public:
    explicit DataChannel(bool async = true);
    bool put(const RCPtr<RCObject>& object) { return m_pipe->write(object); }
    const RCPtr<Pipe>& getPipe() const { return m_pipe; }

  private:
    RCPtr<Pipe> m_pipe;
};

}  // namespace core
