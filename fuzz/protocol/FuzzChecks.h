// Checks shared by the protocol fuzz targets: every object decoded from fuzzed bytes must
// encode back to the bytes it came from, as far as the format fixes them. A mismatch aborts.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "framework/core/Bytes.h"
#include "framework/core/XML.h"
#include "protocol/CommonControl.h"
#include "protocol/TvpCommandAck.h"
#include "protocol/TvpCommandReq.h"
#include "protocol/TvpError.h"
#include "protocol/TvpIoProtocolFactory.h"
#include "protocol/TvpLayout.h"
#include "protocol/TvpProbeInject.h"
#include "protocol/TvpTestCodeArguments.h"

namespace vela::fuzz {

inline void require(bool ok, const char* what) {
    if (ok)
        return;
    std::fprintf(stderr, "round trip mismatch: %s\n", what);
    std::abort();
}

inline bool same(const unsigned char* a, const unsigned char* b, std::size_t n) {
    return n == 0 || std::memcmp(a, b, n) == 0;
}

inline void registerXmlClasses() {
    core::Object::registerClass("vela::TvpTestCodeArgument", &TvpTestCodeArgument::createObject);
    core::Object::registerClass("vela::TvpTestCodeArguments", &TvpTestCodeArguments::createObject);
    core::Object::registerClass("vela::CommonControl", &CommonControl::createObject);
    core::Object::registerClass("vela::CommonControlIE", &CommonControlIE::createObject);
}

inline std::vector<unsigned char> encode(const TvpTestCodeArgumentsBase& list) {
    std::vector<unsigned char> out(list.size());
    require(list.encodedSize() == out.size(), "list size within 16 bits");
    require(list.toBytes(out.data()), "list encodes");
    return out;
}

// A float element that is NaN comes back from its text form as another NaN.
inline bool hasNaN(TvpTestCodeArguments& list) {
    for (auto arg = list.getFirst(); arg; arg = list.getNext()) {
        arg->resetElements();
        float f;
        while (arg->nextElement(f))
            if (std::isnan(f))
                return true;
        arg->resetElements();
    }
    return false;
}

// The argument block (block, length) decoded into list: the encoding must equal the block with
// the argument numbers made positional, the terminator added when the block had none, and
// (Common Control only) the IE byte count added to an argument header that had no room for it.
inline void checkArgumentBlock(TvpTestCodeArgumentsBase& list, const unsigned char* block,
                               std::size_t length, bool commonControl) {
    const std::vector<unsigned char> enc = encode(list);
    std::size_t in = 0, out = 0;
    // Walk the arguments through a fresh decode of the encoding, which must succeed too.
    core::RCPtr<TvpTestCodeArgumentsBase> again;
    if (commonControl) {
        again = CommonControl::createObject(enc.data(), static_cast<unsigned short>(enc.size()));
    } else {
        again =
            TvpTestCodeArguments::createObject(enc.data(), static_cast<unsigned short>(enc.size()));
    }
    require(bool(again), "encoding decodes again");
    require(again->getArgumentCount() == list.getArgumentCount(), "same argument count");
    require(encode(*again) == enc, "encoding is a fixed point");

    for (std::size_t k = 0; k < list.getArgumentCount(); ++k) {
        require(out + 9 <= enc.size(), "argument header inside the encoding");
        require(core::readU2(enc.data() + out) == k, "argument numbered by position");
        const std::size_t size = 9 + core::readU4(enc.data() + out + 2);
        require(out + size <= enc.size(), "argument inside the encoding");
        const std::size_t left = length - in;
        if (commonControl && left < 10) {
            // Header without the IE byte count: Length 0, no IEs.
            require(left >= 7 && size == 9, "count-less Common Control argument");
            require(same(block + in + 2, enc.data() + out + 2, 5), "count-less argument header");
            require(core::readU2(enc.data() + out + 7) == 0, "count-less argument has no IEs");
            in += 7;
        } else {
            require(left >= size, "argument inside the block");
            require(same(block + in + 2, enc.data() + out + 2, size - 2), "argument bytes");
            in += size;
        }
        out += size;
    }
    require(enc.size() - out == 2 && core::readU2(enc.data() + out) == 0xFFFF,
            "terminator written");
    require(length - in == 0 || (length - in == 2 && core::readU2(block + in) == 0xFFFF),
            "terminator read");
}

inline void checkXml(TvpTestCodeArgumentsBase& list, bool commonControl) {
    core::XMLElement element;
    require(list.toXMLElement(element), "writes XML");
    core::RCPtr<TvpTestCodeArgumentsBase> back;
    if (commonControl) {
        back = new CommonControl();
    } else {
        auto* plain = dynamic_cast<TvpTestCodeArguments*>(&list);
        if (plain && hasNaN(*plain))
            return;
        back = new TvpTestCodeArguments();
    }
    require(back->fromXMLElement(element), "reads its own XML");
    require(back->getCallbackId() == list.getCallbackId(), "XML callback id");
    require(back->getTestCodeNumber() == list.getTestCodeNumber(), "XML test code number");
    if (commonControl) {
        // The XML form holds the IEs, not how they were split over arguments.
        auto& cc = static_cast<CommonControl&>(list);
        auto& ccBack = static_cast<CommonControl&>(*back);
        if (cc.getArgumentCount() > 1)
            return;
        cc.resetIEs();
        ccBack.resetIEs();
        while (auto ie = cc.nextIE()) {
            auto other = ccBack.nextIE();
            require(bool(other), "XML keeps every IE");
            require(other->getIEI() == ie->getIEI() && other->getValue() == ie->getValue(),
                    "XML IE");
        }
        require(!ccBack.nextIE(), "XML adds no IE");
    } else {
        require(encode(*back) == encode(list), "XML round trip");
    }
}

inline void checkArguments(const unsigned char* block, std::size_t length, bool commonControl) {
    if (length > 0xFFFF)
        return;
    core::RCPtr<TvpTestCodeArgumentsBase> list;
    if (commonControl) {
        list = CommonControl::createObject(block, static_cast<unsigned short>(length));
    } else {
        list = TvpTestCodeArguments::createObject(block, static_cast<unsigned short>(length));
    }
    if (!list)
        return;
    checkArgumentBlock(*list, block, length, commonControl);
    checkXml(*list, commonControl);
}

// The TVP bytes of a frame.
inline const unsigned char* tvpBytes(const TvpIoProtocol& f) {
    return f.getTvpIoProtocolData() - 4;
}

inline void sameRouting(TvpIoProtocol& built, const TvpIoProtocol& parsed) {
    built.setSourceProcessor(parsed.getSourceProcessor());
    built.setDestProcessor(parsed.getDestProcessor());
    built.setSourceNode(parsed.getSourceNode());
    built.setDestNode(parsed.getDestNode());
}

inline void requireSameTvp(const TvpIoProtocol& built, const TvpIoProtocol& parsed,
                           const char* what) {
    require(built.getTvpIoProtocolSize() == parsed.getTvpIoProtocolSize(), what);
    require(same(tvpBytes(built), tvpBytes(parsed), parsed.getTvpIoProtocolSize()), what);
}

// One block through the factory: the frame must hold exactly the block, be of the class its
// ids select, and frames with a building constructor must build back to the same bytes.
inline void checkFactory(const unsigned char* data, std::size_t size,
                         TvpIoProtocol::Direction direction) {
    if (size > TvpLayout::kSizeMask + dsrc::DataSourceFrame::getHeaderSize())
        return;
    TvpIoProtocolFactory factory(direction);
    const auto length = static_cast<unsigned int>(size);
    auto frame = factory.create(data, length);
    // The same bytes inside a larger received block: the frame shares them, and is the same.
    core::RCPtr<core::Data> block(new core::Data("\xA5\xA5\xA5", 3));
    block->addData(data, size);
    block->addData("\x5A", 1);
    auto shared = factory.create(block, 3, length);
    require(bool(frame) == bool(shared), "a shared block gives the frame the copy gives");
    if (!frame)
        return;
    require(shared->getClassName() == frame->getClassName(), "same class from a shared block");
    require(shared->getDataSourceFrameDataSize() == frame->getDataSourceFrameDataSize() &&
                same(shared->getDataSourceFrameData(), frame->getDataSourceFrameData(),
                     frame->getDataSourceFrameDataSize()),
            "same bytes from a shared block");
    block.reset();
    require(shared->size() == frame->size() &&
                same(shared->getFrameBuf(), frame->getFrameBuf(), frame->size()),
            "same byte view after the block is gone");
    auto tvp = frame.dynamicCast<TvpIoProtocol>();
    require(bool(tvp), "a TVP frame");
    const unsigned int skip = direction == TvpIoProtocol::FROM_DATA_SOURCE ? 16 : 0;
    require(tvp->getTvpIoProtocolSize() == length - skip, "size field is the block length");
    require(same(tvpBytes(*tvp), data + skip, length - skip), "frame holds the block");
    if (skip) {
        require(frame->size() == length && same(frame->getFrameBuf(), data, length),
                "whole block kept");
    }
    require(tvp->getDataId() ==
                ((core::readU4(data + skip) >> TvpLayout::kDataIdShift) & TvpLayout::kFieldMask),
            "data id");
    const unsigned char selector = length - skip > TvpLayout::kProbeInjectIdOffset
                                       ? data[skip + TvpLayout::kProbeInjectIdOffset]
                                       : 0;

    if (auto* p = dynamic_cast<TvpProbe*>(tvp.get())) {
        require(selector == 0 && p->getDataId() == 0, "probe selector");
        if (p->getNumberOfDataElem() == p->getProbeDataSize()) {
            TvpProbe built(p->getTimeStamp(), p->getSeqNo(), p->getProbeId(), p->getDataByteSize(),
                           p->getProbeDataIdType(), p->getNumberOfDataElem(), p->getProbeData());
            sameRouting(built, *p);
            requireSameTvp(built, *p, "probe rebuilds");
        }
    } else if (auto* i = dynamic_cast<TvpInject*>(tvp.get())) {
        require(selector == 1 && i->getDataId() == 0, "inject selector");
        if (i->getNumberOfDataElem() == i->getInjectDataSize()) {
            TvpInject built(i->getProbeId(), i->getDataByteSize(), i->getProbeDataIdType(),
                            i->getNumberOfDataElem(), i->getInjectData());
            sameRouting(built, *i);
            requireSameTvp(built, *i, "inject rebuilds");
        }
    } else if (auto* r = dynamic_cast<TvpCommandSetProbeModeReq*>(tvp.get())) {
        require(selector == 1 && r->getTvpCommandReqDataSize() >= 3, "set probe mode request");
        if (r->getTvpIoProtocolSize() == 9) {
            TvpCommandSetProbeModeReq built(r->getProbeId(), r->getProbeMode());
            built.setSeqNo(r->getSeqNo());
            sameRouting(built, *r);
            requireSameTvp(built, *r, "set probe mode request rebuilds");
        }
    } else if (auto* t = dynamic_cast<TvpCommandSetTimeStampReq*>(tvp.get())) {
        require(selector == 7, "set time stamp request");
        if (t->getTvpIoProtocolSize() == 7) {
            TvpCommandSetTimeStampReq built(t->getTimeType());
            built.setSeqNo(t->getSeqNo());
            sameRouting(built, *t);
            requireSameTvp(built, *t, "set time stamp request rebuilds");
        }
    } else if (auto* e = dynamic_cast<TvpCommandExecuteTestCodeReq*>(tvp.get())) {
        require(selector == 3, "execute test code request");
        if (e->getSizeOfArgs() == e->getArgsBlockSize()) {
            TvpCommandExecuteTestCodeReq built(e->getCallbackId(), e->getTestCodeNumber(),
                                               e->getSizeOfArgs(), e->getArgs());
            built.setSeqNo(e->getSeqNo());
            sameRouting(built, *e);
            requireSameTvp(built, *e, "execute test code request rebuilds");
            checkArguments(e->getArgs(), e->getArgsBlockSize(),
                           e->getCallbackId() == CommonControl::identity());
        } else {
            require(!e->getTvpTestCodeArguments(), "inconsistent SizeOfArgs is not decoded");
        }
    } else if (auto* a = dynamic_cast<TvpCommandSetProbeModeAck*>(tvp.get())) {
        require(selector == 1, "set probe mode ack");
        if (a->getTvpIoProtocolSize() == 10) {
            TvpCommandSetProbeModeAck built(a->getProbeId(), a->getResult());
            built.setSeqNo(a->getSeqNo());
            sameRouting(built, *a);
            requireSameTvp(built, *a, "set probe mode ack rebuilds");
        }
    } else if (dynamic_cast<TvpCommandSetTimeStampAck*>(tvp.get())) {
        require(selector == 8, "set time stamp ack");
    } else if (auto* x = dynamic_cast<TvpCommandExecuteTestCodeAck*>(tvp.get())) {
        require(selector == 3, "execute test code ack");
        auto decoded = x->getTvpTestCodeArguments().dynamicCast<TvpTestCodeArgumentsBase>();
        const bool cc = x->getCallbackId() == CommonControl::identity();
        if (decoded) {
            require(decoded->getCallbackId() == x->getCallbackId(), "ack callback id");
            require(decoded->getTestCodeNumber() == x->getTestCodeNumber(), "ack test code number");
            require(cc == bool(decoded.dynamicCast<CommonControl>()),
                    "Common Control by callback id");
            checkArgumentBlock(*decoded, x->getArgs(), x->getSizeOfArgs(), cc);
        }
    } else if (auto* c = dynamic_cast<TvpCommandAck*>(tvp.get())) {
        require(selector != 1 && selector != 3 && selector != 8 && c->getDataId() == 2,
                "plain ack");
    } else if (dynamic_cast<TvpError*>(tvp.get())) {
        require(tvp->getDataId() == 3, "error frame");
    } else {
        require(false, "unknown frame class");
    }
}

}  // namespace vela::fuzz
