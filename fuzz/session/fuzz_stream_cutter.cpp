// The TVP engine's stream cutter: the phone's bytes, cut into blocks at points chosen by the
// first input byte, go through the engine on its own worker. Whatever the bytes, the engine
// must neither crash nor stall, and the frames it finds must not depend on where the blocks
// were cut: its counters are compared with a plain cut of the whole stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "framework/core/Bytes.h"
#include "framework/core/Request.h"
#include "protocol/TvpLayout.h"
#include "session/TVP.h"

namespace {

class FuzzTvp : public vela::TVP {
  public:
    // Feeds the blocks on the engine's worker and reads its counters there.
    Counters feed(const std::vector<core::RCPtr<core::Data>>& blocks) {
        m_blocks = &blocks;
        core::RCPtr<core::Response> response;
        doRequest(new core::Request("FuzzFeed"), &response);
        m_blocks = nullptr;
        return m_counters;
    }

  protected:
    bool onBeginWorkThread() override {
        if (!vela::TVP::onBeginWorkThread())
            return false;
        attachCallback("FuzzFeed", &FuzzTvp::onFeed);
        return true;
    }

  private:
    void onFeed(core::Request& request) {
        if (m_blocks)
            for (const auto& block : *m_blocks)
                onDataFromUE(block);
        m_counters = getCounters();
        sendResponse(new core::Response(request));
    }
    const std::vector<core::RCPtr<core::Data>>* m_blocks = nullptr;
    Counters m_counters;
};

// The frames and skipped bytes of the whole stream, cut in one piece.
struct Reference {
    std::uint64_t frames = 0;
    std::uint64_t skipped = 0;
};

Reference cutWhole(const unsigned char* bytes, std::size_t length) {
    Reference r;
    std::size_t pos = 0;
    while (length - pos >= 4) {
        std::size_t frame = core::readU4(bytes + pos) & vela::TvpLayout::kSizeMask;
        if (frame < 4) {
            ++pos;
            ++r.skipped;
            continue;
        }
        if (length - pos < frame)
            break;
        ++r.frames;
        pos += frame;
    }
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size < 1)
        return 0;
    std::uint32_t seed = data[0];
    const unsigned char* stream = data + 1;
    const std::size_t length = size - 1;
    std::vector<core::RCPtr<core::Data>> blocks;
    for (std::size_t at = 0; at < length;) {
        seed = seed * 1103515245u + 12345u;
        std::size_t piece = 1 + (seed >> 16) % 64;
        if (piece > length - at)
            piece = length - at;
        blocks.emplace_back(new core::Data(stream + at, piece));
        at += piece;
    }
    core::RCPtr<FuzzTvp> engine(new FuzzTvp());
    if (!engine->startWorkThread())
        std::abort();
    vela::TVP::Counters counters = engine->feed(blocks);
    engine->stopWorkThread();

    const Reference expected = cutWhole(stream, length);
    const std::uint64_t found = counters.framesDelivered + counters.framesRefused +
                                counters.framesDropped + counters.acknowledgements;
    if (found != expected.frames || counters.bytesSkipped != expected.skipped)
        std::abort();
    return 0;
}
