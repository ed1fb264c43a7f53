// Command acknowledgements (data id 2): the common acknowledgement frame and the set-probe-mode,
// set-time-stamp and execute-test-code acknowledgements.
#pragma once

#include <cstdint>

#include "protocol/TvpIoProtocol.h"

namespace vela {

// Command acknowledgement: id byte, the sequence number of the request it answers, then the
// command's data.
class TvpCommandAck : public TvpIoProtocol {
  public:
    // The set-time-stamp command is answered with id 8, not with its request id 7.
    enum TvpCommandAckId : unsigned char {
        SET_PROBE_MODE = 1,
        EXECUTE_TEST_CODE = 3,
        SET_TIME_STAMP = 8,
    };
    static constexpr unsigned int kFixedSize = TvpLayout::kCommandFixedSize;

    explicit TvpCommandAck(const core::RCPtr<core::Data>& whole);
    TvpCommandAck(const core::RCPtr<core::Data>& bytes, Direction direction);
    TvpCommandAck(const unsigned char* bytes, unsigned int length, Direction direction);
    TvpCommandAck(const TvpCommandAck& other) = default;
    ~TvpCommandAck() override;

    TvpCommandAckId getCommandAckId() const {
        return static_cast<TvpCommandAckId>(*m_pCommandAckId);
    }
    unsigned char getSeqNo() const { return *m_pSeqNo; }
    void setSeqNo(unsigned char seqNo);
    unsigned char* getTvpCommandAckData() const { return m_pCommandAckData; }
    unsigned int getTvpCommandAckDataSize() const { return variablePartSize(kFixedSize); }

  protected:
    // Builds an acknowledgement of commandDataLength bytes of command data, direction FROM_UE.
    TvpCommandAck(TvpCommandAckId id, unsigned int commandDataLength);
    TvpCommandAck(const core::RCPtr<core::Data>& whole, FixedPart fixed);
    TvpCommandAck(const core::RCPtr<core::Data>& bytes, Direction direction, FixedPart fixed);
    TvpCommandAck(const unsigned char* bytes, unsigned int length, Direction direction,
                  FixedPart fixed);

  private:
    void setCommandAckId(TvpCommandAckId id) { *m_pCommandAckId = id; }
    void layMembers();

  public:
    // Lays this class's fields again after the frame's buffer changed.
    void repositionMembers() override;

  private:
    unsigned char* m_pCommandAckId = nullptr;
    unsigned char* m_pSeqNo = nullptr;
    unsigned char* m_pCommandAckData = nullptr;
};

// Answer to a set-probe-mode request: probe id (2), result (2). 10 bytes.
class TvpCommandSetProbeModeAck : public TvpCommandAck {
  public:
    static constexpr unsigned int kFixedSize = 10;

    explicit TvpCommandSetProbeModeAck(std::uint16_t probeId = 0, FuncRetStat result = OK);
    explicit TvpCommandSetProbeModeAck(const core::RCPtr<core::Data>& whole);
    TvpCommandSetProbeModeAck(const core::RCPtr<core::Data>& bytes, Direction direction);
    TvpCommandSetProbeModeAck(const unsigned char* bytes, unsigned int length, Direction direction);
    TvpCommandSetProbeModeAck(const TvpCommandSetProbeModeAck& other) = default;
    ~TvpCommandSetProbeModeAck() override;

    std::uint16_t getProbeId() const;
    FuncRetStat getResult() const;

  private:
    void setProbeId(std::uint16_t probeId);
    void setResult(FuncRetStat result);
    void layMembers();

  public:
    // Lays this class's fields again after the frame's buffer changed.
    void repositionMembers() override;

  private:
    unsigned char* m_pProbeId = nullptr;
    unsigned char* m_pResult = nullptr;
};

// Answer to a set-time-stamp request: result (2). 8 bytes.
class TvpCommandSetTimeStampAck : public TvpCommandAck {
  public:
    static constexpr unsigned int kFixedSize = 8;

    TvpCommandSetTimeStampAck(const core::RCPtr<core::Data>& bytes, Direction direction);
    TvpCommandSetTimeStampAck(const unsigned char* bytes, unsigned int length, Direction direction);
    TvpCommandSetTimeStampAck(const TvpCommandSetTimeStampAck& other) = default;
    ~TvpCommandSetTimeStampAck() override;

    FuncRetStat getResult() const;

  private:
    void layMembers();

  public:
    // Lays this class's fields again after the frame's buffer changed.
    void repositionMembers() override;

  private:
    unsigned char* m_pResult = nullptr;
};

// Answer to an execute-test-code request: callback id (1), test code number (2), result (2),
// number of arguments (2), then the routine's results. 13 bytes + arguments.
class TvpCommandExecuteTestCodeAck : public TvpCommandAck {
  public:
    static constexpr unsigned int kFixedSize = 13;

    explicit TvpCommandExecuteTestCodeAck(const core::RCPtr<core::Data>& whole);
    TvpCommandExecuteTestCodeAck(const core::RCPtr<core::Data>& bytes, Direction direction);
    TvpCommandExecuteTestCodeAck(const unsigned char* bytes, unsigned int length,
                                 Direction direction);
    TvpCommandExecuteTestCodeAck(const TvpCommandExecuteTestCodeAck& other) = default;
    ~TvpCommandExecuteTestCodeAck() override;

    unsigned char getCallbackId() const { return *m_pCallbackId; }
    std::uint16_t getTestCodeNumber() const;
    FuncRetStat getResult() const;
    // As stated by the phone; the argument block's length never depends on it.
    std::uint16_t getNumberOfArgs() const;
    // The argument block's length, derived from the header (size - 13).
    unsigned int getSizeOfArgs() const { return variablePartSize(kFixedSize); }
    unsigned char* getArgs() const { return m_pArgs; }

    // Decodes the argument block: a CommonControl message for callback id 0xAA, test-code
    // arguments otherwise, with the frame's callback id and test code number. Empty when the
    // block does not decode.
    core::RCPtr<core::RCObject> getTvpTestCodeArguments() const;

  private:
    void layMembers();

  public:
    // Lays this class's fields again after the frame's buffer changed.
    void repositionMembers() override;

  private:
    unsigned char* m_pCallbackId = nullptr;
    unsigned char* m_pTestCodeNumber = nullptr;
    unsigned char* m_pResult = nullptr;
    unsigned char* m_pNumberOfArgs = nullptr;
    unsigned char* m_pArgs = nullptr;
};

}  // namespace vela
