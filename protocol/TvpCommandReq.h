// Command requests (data id 1): the common request frame and the set-probe-mode, set-time-stamp
// and execute-test-code requests.
#pragma once

#include <cstdint>

#include "protocol/TvpIoProtocol.h"

namespace vela {

class TvpTestCodeArgumentsBase;

// Command request: id byte, sequence byte, then the command's data.
class TvpCommandReq : public TvpIoProtocol {
  public:
    enum TvpCommandReqId : unsigned char {
        SET_PROBE_MODE = 1,
        EXECUTE_TEST_CODE = 3,
        SET_TIME_STAMP = 7,
    };
    static constexpr unsigned int kFixedSize = TvpLayout::kCommandFixedSize;

    explicit TvpCommandReq(const core::RCPtr<core::Data>& whole);
    TvpCommandReq(const core::RCPtr<core::Data>& bytes, Direction direction);
    TvpCommandReq(const unsigned char* bytes, unsigned int length, Direction direction);
    TvpCommandReq(const TvpCommandReq& other) = default;
    ~TvpCommandReq() override;

    TvpCommandReqId getCommandReqId() const {
        return static_cast<TvpCommandReqId>(*m_pCommandReqId);
    }
    unsigned char getSeqNo() const { return *m_pSeqNo; }
    void setSeqNo(unsigned char seqNo);
    unsigned char* getTvpCommandReqData() const { return m_pCommandReqData; }
    unsigned int getTvpCommandReqDataSize() const { return variablePartSize(kFixedSize); }

  protected:
    // Builds a request of commandDataLength bytes of command data, direction TO_UE.
    TvpCommandReq(TvpCommandReqId id, unsigned int commandDataLength);
    TvpCommandReq(const core::RCPtr<core::Data>& whole, FixedPart fixed);
    TvpCommandReq(const core::RCPtr<core::Data>& bytes, Direction direction, FixedPart fixed);
    TvpCommandReq(const unsigned char* bytes, unsigned int length, Direction direction,
                  FixedPart fixed);

  private:
    void setCommandReqId(TvpCommandReqId id) { *m_pCommandReqId = id; }
    void layMembers();

  public:
    // Lays this class's fields again after the frame's buffer changed.
    void repositionMembers() override;

  private:
    unsigned char* m_pCommandReqId = nullptr;
    unsigned char* m_pSeqNo = nullptr;
    unsigned char* m_pCommandReqData = nullptr;
};

// Switches one probe's reports: probe id (2 bytes), mode (1 byte). 9 bytes.
class TvpCommandSetProbeModeReq : public TvpCommandReq {
  public:
    enum TvpProbeMode : unsigned char {
        PROBE_MODE_NONE = 0,
        PROBE_MODE_OFF = 1,  // sent for a probe that is not selected
        PROBE_MODE_ON = 6,   // sent for a selected probe
    };
    static constexpr unsigned int kFixedSize = 9;

    explicit TvpCommandSetProbeModeReq(std::uint16_t probeId = 0,
                                       TvpProbeMode mode = PROBE_MODE_NONE);
    explicit TvpCommandSetProbeModeReq(const core::RCPtr<core::Data>& whole);
    TvpCommandSetProbeModeReq(const core::RCPtr<core::Data>& bytes, Direction direction);
    TvpCommandSetProbeModeReq(const unsigned char* bytes, unsigned int length, Direction direction);
    TvpCommandSetProbeModeReq(const TvpCommandSetProbeModeReq& other) = default;
    ~TvpCommandSetProbeModeReq() override;

    std::uint16_t getProbeId() const;
    TvpProbeMode getProbeMode() const { return static_cast<TvpProbeMode>(*m_pProbeMode); }

  private:
    void setProbeId(std::uint16_t probeId);
    void setProbeMode(TvpProbeMode mode) { *m_pProbeMode = mode; }
    void layMembers();

  public:
    // Lays this class's fields again after the frame's buffer changed.
    void repositionMembers() override;

  private:
    unsigned char* m_pProbeId = nullptr;
    unsigned char* m_pProbeMode = nullptr;
};

// Chooses how the phone stamps its reports: one function byte. 7 bytes.
class TvpCommandSetTimeStampReq : public TvpCommandReq {
  public:
    enum TvpTimeStampFunction : unsigned char {
        TIME_STAMP_NONE = 0,
        TIME_STAMP_SESSION = 16,  // the function the session start asks for
    };
    static constexpr unsigned int kFixedSize = 7;

    explicit TvpCommandSetTimeStampReq(TvpTimeStampFunction function = TIME_STAMP_NONE);
    explicit TvpCommandSetTimeStampReq(const core::RCPtr<core::Data>& whole);
    TvpCommandSetTimeStampReq(const core::RCPtr<core::Data>& bytes, Direction direction);
    TvpCommandSetTimeStampReq(const unsigned char* bytes, unsigned int length, Direction direction);
    TvpCommandSetTimeStampReq(const TvpCommandSetTimeStampReq& other) = default;
    ~TvpCommandSetTimeStampReq() override;

    TvpTimeStampFunction getTimeType() const {
        return static_cast<TvpTimeStampFunction>(*m_pTimeType);
    }

  private:
    void setTimeType(TvpTimeStampFunction function) { *m_pTimeType = function; }
    void layMembers();

  public:
    // Lays this class's fields again after the frame's buffer changed.
    void repositionMembers() override;

  private:
    unsigned char* m_pTimeType = nullptr;
};

// Runs a numbered routine on the phone: callback id (1), test code number (2), size of the
// argument block (2), argument block. 11 bytes + arguments.
class TvpCommandExecuteTestCodeReq : public TvpCommandReq {
  public:
    static constexpr unsigned int kFixedSize = 11;

    explicit TvpCommandExecuteTestCodeReq(unsigned char callbackId = 0,
                                          std::uint16_t testCodeNumber = 0,
                                          std::uint16_t sizeOfArgs = 0,
                                          const unsigned char* args = nullptr);
    // The argument block is the arguments' encoding, written straight into the frame; callback
    // id and test code number come from the arguments. Arguments whose encoding does not fit
    // the 16-bit size field give a request without an argument block (and a trace line).
    explicit TvpCommandExecuteTestCodeReq(const TvpTestCodeArgumentsBase& arguments);
    explicit TvpCommandExecuteTestCodeReq(const TvpTestCodeArgumentsBase* arguments);
    explicit TvpCommandExecuteTestCodeReq(const core::RCPtr<core::Data>& whole);
    TvpCommandExecuteTestCodeReq(const core::RCPtr<core::Data>& bytes, Direction direction);
    TvpCommandExecuteTestCodeReq(const unsigned char* bytes, unsigned int length,
                                 Direction direction);
    TvpCommandExecuteTestCodeReq(const TvpCommandExecuteTestCodeReq& other) = default;
    ~TvpCommandExecuteTestCodeReq() override;

    unsigned char getCallbackId() const { return *m_pCallbackId; }
    std::uint16_t getTestCodeNumber() const;
    // The SizeOfArgs field as it stands in the frame.
    std::uint16_t getSizeOfArgs() const;
    unsigned char* getArgs() const { return m_pArgs; }
    // Bytes of the argument block that the frame holds (the rest of the frame).
    unsigned int getArgsBlockSize() const { return variablePartSize(kFixedSize); }

    // Decodes the argument block: a CommonControl message for callback id 0xAA, test-code
    // arguments otherwise, with the frame's callback id and test code number. Empty when the
    // block does not decode or SizeOfArgs disagrees with the bytes the frame holds.
    core::RCPtr<core::RCObject> getTvpTestCodeArguments() const;

  protected:
    void setArgs(const unsigned char* args, std::uint16_t sizeOfArgs);

  private:
    static std::uint16_t argumentsSize(const TvpTestCodeArgumentsBase* arguments);
    void setCallbackId(unsigned char callbackId) { *m_pCallbackId = callbackId; }
    void setTestCodeNumber(std::uint16_t testCodeNumber);
    void setSizeOfArgs(std::uint16_t sizeOfArgs);
    void writeArguments(const TvpTestCodeArgumentsBase* arguments);
    void layMembers();

  public:
    // Lays this class's fields again after the frame's buffer changed.
    void repositionMembers() override;

  private:
    unsigned char* m_pCallbackId = nullptr;
    unsigned char* m_pTestCodeNumber = nullptr;
    unsigned char* m_pSizeOfArgs = nullptr;
    unsigned char* m_pArgs = nullptr;
};

}  // namespace vela
