#include "transport/DataProvider.h"

#include <cstring>

#include "framework/core/Clock.h"
#include "framework/core/Trace.h"
#include "platform/com/ClassRegistry.h"
#include "platform/com/ComPtr.h"
#include "platform/com/DebugMuxLib.h"
#include "platform/com/SafeArray.h"
#include "transport/ClientSupport.h"
#include "transport/EEDataProviderSink.h"
#include "transport/StreamReader.h"

namespace vela {

using core::RCPtr;

namespace {

// Gaps in the stream are traced at most this often (the counts of the ones between add up).
constexpr std::int64_t kGapTraceInterval = 1000000000;  // ns

// Destroys a safe array whatever way the scope is left.
struct SafeArrayHolder {
    SAFEARRAY* array;
    ~SafeArrayHolder() { SafeArrayDestroy(array); }
};

}  // namespace

DataProvider::DataProvider(IUnknown* provider)
    : ClientObject("DataProvider", "DataProviderThread", Naming::Suffixed),
      m_spProvider(provider),
      m_spBacklog(new ReceiveBacklog()),
      m_spPool(new core::DataPool()),
      m_spOutPipe(m_spBacklog->makePipe()) {
    m_spOutPipe->setAccepting(false);  // until a channel asks for it
    startWorker();
}

DataProvider::~DataProvider() = default;

bool DataProvider::onBeginWorkThread() {
    attach("Setup", &DataProvider::onSetupReq);
    attach("SetVelaChannel", &DataProvider::onSetVelaChannelReq);
    attach("GetOutPipe", &DataProvider::onGetOutPipeReq);
    attach("Send", &DataProvider::onSendReq);
    attach("GetId", &DataProvider::onGetIdReq);
    attach("GetName", &DataProvider::onGetNameReq);
    attach("GetPortName", &DataProvider::onGetPortNameReq);
    attach("Connect", &DataProvider::onConnectReq);
    attach("Disconnect", &DataProvider::onDisconnectReq);
    attach("DataAvailable", &DataProvider::onDataAvailableReq);
    attach("Disconnected", &DataProvider::onDisconnectedReq);
    return true;
}

bool DataProvider::onEndWorkThread() {
    if (m_blocksUntraced != 0)
        traceGaps(true);  // the last gaps are traced too
    m_pChannel = nullptr;
    m_ended = true;
    updateReader();
    if (m_spSink) {
        // Once unadvised, the sink is not called again; then it forgets its owner.
        m_spSink->unadvise(m_spProvider);
        m_spSink->setOwner(nullptr);
        m_spSink = nullptr;
    }
    m_spProvider = nullptr;
    detachHandlers();
    return true;
}

// ---- Operations (any thread) -----------------------------------------------------------

void DataProvider::setup() {
    post(new core::Request(requestName("Setup")));
}

void DataProvider::setVelaChannel(StreamReader* channel) {
    RCPtr<core::RCObject> object(channel ? dynamic_cast<core::RCObject*>(channel) : nullptr);
    call(new core::RCObjectReq(requestName("SetVelaChannel"), object));
}

RCPtr<core::Pipe> DataProvider::getOutPipe() {
    return askObject<core::Pipe>(new core::Request(requestName("GetOutPipe")));
}

bool DataProvider::send(const RCPtr<core::Data>& block) {
    return askStatus(new core::RCObjectReq(requestName("Send"), block));
}

bool DataProvider::postSend(const RCPtr<core::Data>& block) {
    return block && post(new core::RCObjectReq(requestName("Send"), block));
}

unsigned short DataProvider::getId() {
    return static_cast<unsigned short>(askNumber("GetId"));
}

core::EString DataProvider::getName() {
    return askString("GetName");
}

core::EString DataProvider::getPortName() {
    return askString("GetPortName");
}

bool DataProvider::connect() {
    return askStatus("Connect");
}

bool DataProvider::disconnect() {
    return askStatus("Disconnect");
}

void DataProvider::receive(const void* bytes, std::size_t n) {
    // Room is taken before the bytes are copied: what waits for the channel stays bounded
    // however far the channel is behind, nothing waits for room, and a block that is dropped
    // costs no copy.
    if (!m_spBacklog->admit(n))
        return;  // counted by the backlog; the gap is reported with the next block
    deliver(m_spPool->copyIn(bytes, n), n);
}

void DataProvider::dataAvailable(const RCPtr<core::Data>& block) {
    if (!block || !m_spBacklog->admit(block->size()))
        return;
    deliver(block, block->size());
}

void DataProvider::deliver(const RCPtr<core::Data>& block, std::size_t bytes) {
    // The blocks dropped just before this one, and the time it came, go first, in the
    // stream's order. The worker traces the drops.
    if (RCPtr<ReceiveBacklog::Mark> mark = m_spBacklog->takeMark(core::Clock::now())) {
        m_spOutPipe->write(mark);
        if (mark->blocks() != 0)
            post(new core::RCObjectReq(requestName("DataAvailable"), mark));
    }
    if (m_spOutPipe->write(block))
        return;
    m_spBacklog->leave(bytes);
    refused(bytes);
}

namespace {

// A block that no channel reads, for the worker's trace line.
class Unread : public core::RCObject {
  public:
    Unread(bool pipeFull, std::size_t bytes, std::uint64_t blocks)
        : pipeFull(pipeFull), bytes(bytes), blocks(blocks) {}
    const bool pipeFull;
    const std::size_t bytes;
    const std::uint64_t blocks;
};

}  // namespace

void DataProvider::refused(std::size_t bytes) {
    const int reader = m_reader.load(std::memory_order_acquire);
    if (reader == NoPipe)
        return;  // nobody has asked for the pipe yet: dropped without a word
    const std::uint64_t dropped = ++m_droppedBlocks;
    if (reader == Reading) {
        // The pipe is bounded by the backlog: a refusal is a fault of the framework's pipe,
        // and the block is dropped rather than offered again.
        post(new core::RCObjectReq(requestName("DataAvailable"), new Unread(true, bytes, dropped)));
        return;
    }
    if ((dropped - 1) % 1000 != 0)
        return;
    if (reader == Left && post(new core::RCObjectReq(requestName("DataAvailable"),
                                                     new Unread(false, bytes, dropped))))
        return;
    // The worker is ending (the provider went away): the block has nowhere to go.
    core::ToggleTrace(20,
                      "DataProvider::dataAvailable %s: the worker has ended, %zu bytes dropped "
                      "(%llu blocks dropped)\n",
                      suffix().c_str(), bytes, static_cast<unsigned long long>(dropped));
}

void DataProvider::disconnected() {
    post(new core::Request(requestName("Disconnected")));
}

std::uint64_t DataProvider::getDroppedBlocks() const {
    return m_droppedBlocks.load() + m_spBacklog->droppedBlocks();
}

// ---- Handlers (on the worker) ----------------------------------------------------------

void DataProvider::onSetupReq(core::Request&) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    if (m_spSink)
        return;  // advised already
    ATL::CComObject<EEDataProviderSink>* sink = nullptr;
    if (FAILED(EEDataProviderSink::create(&sink)) || !sink)
        return;
    m_spSink = sink;
    m_spSink->setOwner(this);
    m_spSink->advise(m_spProvider);
}

void DataProvider::onSetVelaChannelReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    auto* carrier = dynamic_cast<core::RCObjectReq*>(&request);
    StreamReader* channel =
        carrier ? dynamic_cast<StreamReader*>(carrier->getObject().get()) : nullptr;
    m_channelLeft = m_pChannel && !channel;
    m_pChannel = channel;
    updateReader();
    core::ServiceChannel::sendResponse(new core::Response(request));
}

void DataProvider::onGetOutPipeReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    m_pipeHandedOut = true;
    updateReader();
    core::ServiceChannel::sendResponse(new core::RCObjectRsp(request, m_spOutPipe));
}

void DataProvider::onSendReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    long result = -1;
    RCPtr<core::Data> block = client::objectOf<core::Data>(request);
    IDataBlockPtr dataBlock;
    if (block)
        dataBlock.CreateInstance(CLSID_DataBlock, nullptr, CLSCTX_ALL);
    if (dataBlock) {
        SAFEARRAYBOUND bound{static_cast<ULONG>(block->size()), 0};
        SafeArrayHolder array{SafeArrayCreate(VT_UI1, 1, &bound)};
        void* bytes = nullptr;
        HRESULT hr = SafeArrayAccessData(array.array, &bytes);
        if (FAILED(hr)) {
            core::ToggleTrace(20, "DataProvider::onSendReq Error access data %s\n",
                              core::HResult(hr).stringValue().c_str());
        } else {
            if (!block->empty())
                std::memcpy(bytes, block->getInternalData(), block->size());
            SafeArrayUnaccessData(array.array);
            dataBlock->PutData(&array.array);
            IDataProviderStreamPtr stream(m_spProvider);
            if (!stream) {
                core::ToggleTrace(20, "DataProvider::onSendReq Missing data provider\n");
            } else if (stream->Send(dataBlock) == VARIANT_TRUE) {
                result = 1;
            } else {
                core::ToggleTrace(20, "DataProvider::onSendReq Error sending data\n");
            }
        }
    }
    core::ServiceChannel::sendResponse(new core::Response(request, core::Status(result, 0, 0)));
}

unsigned short DataProvider::readId() {
    IDataProviderPtr provider(m_spProvider);
    return provider ? static_cast<unsigned short>(provider->GetId()) : 0;
}

core::EString DataProvider::readName() {
    IDataProviderPtr provider(m_spProvider);
    return provider ? core::EString(static_cast<const OLECHAR*>(provider->GetName()))
                    : core::EString();
}

core::EString DataProvider::readPortName() {
    IDataProviderPtr provider(m_spProvider);
    return provider ? core::EString(static_cast<const OLECHAR*>(provider->GetPortName()))
                    : core::EString();
}

void DataProvider::onGetIdReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    core::ServiceChannel::sendResponse(new core::NumberRsp(request, new core::EUShort(readId())));
}

void DataProvider::onGetNameReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    core::ServiceChannel::sendResponse(new core::StringRsp(request, readName()));
}

void DataProvider::onGetPortNameReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    core::ServiceChannel::sendResponse(new core::StringRsp(request, readPortName()));
}

long DataProvider::streamCall(bool connect) {
    IDataProviderStreamPtr stream(m_spProvider);
    if (!stream)
        return -1;
    VARIANT_BOOL answer = connect ? stream->Connect() : stream->Disconnect();
    return answer == VARIANT_TRUE ? 1 : -1;
}

void DataProvider::onConnectReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    long status = streamCall(true);
    core::ServiceChannel::sendResponse(new core::Response(request, core::Status(status, 0, 0)));
}

void DataProvider::onDisconnectReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    long status = streamCall(false);
    core::ServiceChannel::sendResponse(new core::Response(request, core::Status(status, 0, 0)));
}

void DataProvider::updateReader() {
    const Reader reader = m_ended            ? Ended
                          : !m_pipeHandedOut ? NoPipe
                          : m_channelLeft    ? Left
                                             : Reading;
    // Closing: the state first, so that a writer the closed pipe refuses reads why. Once the
    // pipe no longer takes blocks it holds all it will hold (a channel letting go reads the
    // rest after this request).
    m_reader.store(reader, std::memory_order_release);
    m_spOutPipe->setAccepting(reader == Reading);
}

void DataProvider::readIdentity() {
    if (m_identityRead)
        return;
    m_identityRead = true;
    try {
        m_traceId = static_cast<long>(readId());
        m_traceName = readName();
    } catch (const _com_error&) {
        // The service did not answer: the lines go without the identity.
    }
}

void DataProvider::onDataAvailableReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    // The sink writes received blocks into the pipe itself; a block posted here takes the
    // same way (admitted to the backlog, then written).
    if (RCPtr<core::Data> block = client::objectOf<core::Data>(request)) {
        dataAvailable(block);
        return;
    }
    // Otherwise the request reports drops: a gap in the stream, or a block nobody reads.
    if (RCPtr<ReceiveBacklog::Mark> mark = client::objectOf<ReceiveBacklog::Mark>(request)) {
        ++m_gapsUntraced;
        m_blocksUntraced += mark->blocks();
        m_bytesUntraced += mark->bytes();
        traceGaps(false);
        return;
    }
    RCPtr<Unread> unread = client::objectOf<Unread>(request);
    if (!unread)
        return;
    readIdentity();
    if (unread->pipeFull)
        core::ToggleTrace(
            20, "DataProvider::onDataAvailable Id = %ld, Name = %s, Can't write to pipe\n",
            m_traceId, m_traceName.c_str());
    else
        // The channel that read the pipe has let this provider go (it went away, or the
        // channel ended): nothing will read the block any more.
        core::ToggleTrace(20,
                          "DataProvider::onDataAvailable Id = %ld, Name = %s, no channel "
                          "reads the data: %zu bytes dropped (%llu blocks dropped)\n",
                          m_traceId, m_traceName.c_str(), unread->bytes,
                          static_cast<unsigned long long>(unread->blocks));
}

void DataProvider::traceGaps(bool now) {
    if (m_blocksUntraced == 0)
        return;
    const std::int64_t time = core::Clock::now();
    if (!now && m_gapTraced && time - m_lastGapTrace < kGapTraceInterval)
        return;
    m_gapTraced = true;
    m_lastGapTrace = time;
    readIdentity();
    core::ToggleTrace(
        20,
        "DataProvider::onDataAvailable Id = %ld, Name = %s, the channel is behind: "
        "%llu blocks (%llu bytes) dropped in %llu gaps, %llu blocks in all "
        "(limit %zu bytes)\n",
        m_traceId, m_traceName.c_str(), static_cast<unsigned long long>(m_blocksUntraced),
        static_cast<unsigned long long>(m_bytesUntraced),
        static_cast<unsigned long long>(m_gapsUntraced),
        static_cast<unsigned long long>(m_spBacklog->droppedBlocks()), m_spBacklog->limit());
    m_gapsUntraced = m_blocksUntraced = m_bytesUntraced = 0;
}

void DataProvider::onDisconnectedReq(core::Request&) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    // A provider in its final release is held by no channel: none is told then.
    if (m_pChannel)
        if (RCPtr<DataProvider> self = selfRef())
            m_pChannel->dataProviderDisconnected(self);
}

}  // namespace vela
