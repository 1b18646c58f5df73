// CSerial over the scripted device: configuration, state after failures,
// queue sizes, the room test, reads, writes, purge and close.
#include "serial/cserial.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_comm_api.h"

// Sets queue sizes that no device maximum can produce (0 means no limit).
class CSerialTestPeer {
 public:
  static void SetQueueSizes(CSerial& port, uint32_t rx, uint32_t tx) {
    port.rxQueueSize = rx;
    port.txQueueSize = tx;
  }
};

namespace {

const std::string kCom1 = "\\\\.\\COM1";

template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& param) {
  return param.param.name;
}

bool OpenDefault(CSerial& port) { return port.Open(1, 115200, 0, 8, 0); }

// True when the object reads and writes: one byte each way goes through.
// The device must have input waiting.
bool DoesIo(CSerial& port, FakeCommApi& device) {
  char byte = 0;
  const size_t written = device.Written().size();
  return port.Read(&byte, 1) == 1 && port.Write("w", 1) == 1 &&
         device.Written().size() == written + 1;
}

// ---------------------------------------------------------------- failures on a fresh object

struct FirstConfigurationCase {
  const char* name;
  FakeCommStep failing;
  bool result;
  bool portOpenAfter;
  bool readyAfter;
};

class FirstConfigurationFailure : public testing::TestWithParam<FirstConfigurationCase> {};

TEST_P(FirstConfigurationFailure, LeavesTheStateItMust) {
  const FirstConfigurationCase& c = GetParam();
  FakeCommApi device;
  device.QueueInput("abcd");
  device.SetFailing(c.failing);
  CSerial port(device);

  EXPECT_EQ(OpenDefault(port), c.result);
  EXPECT_EQ(device.PortOpen(), c.portOpenAfter);
  if (c.readyAfter) {
    EXPECT_TRUE(DoesIo(port, device));
  } else {
    char byte = 0;
    EXPECT_EQ(port.Read(&byte, 1), 0u);
    EXPECT_EQ(port.Write("w", 1), 0u);
    EXPECT_EQ(port.WriteString("w"), 0u);
    EXPECT_EQ(device.Calls(FakeCommStep::kStatus), 0) << "a port that isn't ready asks nothing";
    EXPECT_TRUE(device.Written().empty());
  }

  // Once the device behaves, a configuration makes the object ready, on the
  // same handle when the port stayed open.
  device.SetFailing(c.failing, false);
  EXPECT_TRUE(port.Configure(115200, 0, 8, 0));
  EXPECT_TRUE(DoesIo(port, device));
  const size_t expectedOpens = c.portOpenAfter ? 1u : 2u;
  EXPECT_EQ(device.OpenedNames(), std::vector<std::string>(expectedOpens, kCom1));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FirstConfigurationFailure,
    testing::Values(
        FirstConfigurationCase{"Open", FakeCommStep::kOpen, false, false, false},
        FirstConfigurationCase{"Properties", FakeCommStep::kProperties, true, true, true},
        FirstConfigurationCase{"Setup", FakeCommStep::kSetup, false, true, false},
        FirstConfigurationCase{"GetState", FakeCommStep::kGetState, false, false, false},
        FirstConfigurationCase{"SetState", FakeCommStep::kSetState, false, true, false},
        FirstConfigurationCase{"Timeouts", FakeCommStep::kTimeouts, false, true, false},
        FirstConfigurationCase{"CreateEvent", FakeCommStep::kCreateEvent, true, true, false}),
    CaseName<FirstConfigurationCase>);

// ---------------------------------------------------------------- failures on a ready object

struct LaterConfigurationCase {
  const char* name;
  FakeCommStep failing;
  bool portOpenAfter;
};

class LaterConfigurationFailure : public testing::TestWithParam<LaterConfigurationCase> {};

TEST_P(LaterConfigurationFailure, KeepsTheObjectReadyUnlessThePortCloses) {
  const LaterConfigurationCase& c = GetParam();
  FakeCommApi device;
  CSerial port(device);
  ASSERT_TRUE(OpenDefault(port));
  device.QueueInput("abcd");
  device.SetFailing(c.failing);

  EXPECT_FALSE(port.SetBaudRate(9600));
  EXPECT_EQ(device.PortOpen(), c.portOpenAfter);
  EXPECT_EQ(DoesIo(port, device), c.portOpenAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, LaterConfigurationFailure,
    testing::Values(LaterConfigurationCase{"Setup", FakeCommStep::kSetup, true},
                    LaterConfigurationCase{"GetState", FakeCommStep::kGetState, false},
                    LaterConfigurationCase{"SetState", FakeCommStep::kSetState, true},
                    LaterConfigurationCase{"Timeouts", FakeCommStep::kTimeouts, true}),
    CaseName<LaterConfigurationCase>);

// ---------------------------------------------------------------- what the device is given

TEST(CSerialConfiguration, OpenWithTheDefaultsGivesTheDeviceTheInstrumentLine) {
  FakeCommApi device;
  CSerial port(device);
  ASSERT_TRUE(port.Open(3, 115200, 0, 8, 0));

  EXPECT_EQ(device.OpenedNames(), std::vector<std::string>{"\\\\.\\COM3"});
  ASSERT_EQ(device.SetupRequests().size(), 1u);
  EXPECT_EQ(device.SetupRequests()[0], std::make_pair(4096u, 4096u));
  const CommDcb& dcb = device.LastDcb();
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 0);
  EXPECT_EQ(dcb.flags, kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable);
  EXPECT_EQ(dcb.XonLim, 1024);
  EXPECT_EQ(dcb.XoffLim, 1024);
  EXPECT_EQ(dcb.EofChar, 0);
  const CommTimeouts& t = device.LastTimeouts();
  EXPECT_EQ(std::vector<uint32_t>({t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                                   t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                                   t.WriteTotalTimeoutConstant}),
            std::vector<uint32_t>({0, 0, 2000, 0, 0}));
}

struct FlagWordCase {
  const char* name;
  uint32_t deviceFlags;
  uint32_t expectedFlags;
};

class FlagWord : public testing::TestWithParam<FlagWordCase> {};

TEST_P(FlagWord, SetsLinesAndFlowControlAndKeepsTheRest) {
  FakeCommApi device;
  CommDcb reported;
  reported.flags = GetParam().deviceFlags;
  reported.wReserved = 7;
  reported.XonChar = 0x11;
  reported.XoffChar = 0x13;
  reported.ErrorChar = 0x3F;
  reported.EofChar = 0x1A;
  reported.EvtChar = 0x0D;
  reported.wReserved1 = 9;
  device.SetDeviceDcb(reported);
  CSerial port(device);
  ASSERT_TRUE(OpenDefault(port));

  const CommDcb& dcb = device.LastDcb();
  EXPECT_EQ(dcb.flags, GetParam().expectedFlags);
  EXPECT_EQ(dcb.wReserved, 7);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  EXPECT_EQ(dcb.ErrorChar, 0x3F);
  EXPECT_EQ(dcb.EofChar, 0) << "the end-of-file character is always switched off";
  EXPECT_EQ(dcb.EvtChar, 0x0D);
  EXPECT_EQ(dcb.wReserved1, 9);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, FlagWord,
    testing::Values(
        FlagWordCase{"AllClear", 0, 0x1011},
        FlagWordCase{"AllSet", 0xFFFFFFFF, 0xFFFF9C93},
        FlagWordCase{"FlowControlAndHandshakesOff",
                     kDcbOutxCtsFlow | kDcbOutxDsrFlow | kDcbDsrSensitivity | kDcbOutX | kDcbInX |
                         kDcbAbortOnError | kDcbDtrControlHandshake | kDcbRtsControlToggle,
                     kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable},
        FlagWordCase{"ParityCheckNullAndHighBitsKept",
                     kDcbParity | kDcbTxContinueOnXoff | kDcbErrorChar | kDcbNull | 0x00208000,
                     kDcbParity | kDcbTxContinueOnXoff | kDcbErrorChar | kDcbNull | 0x00208000 |
                         kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable}),
    CaseName<FlagWordCase>);

TEST(CSerialConfiguration, OnlyTheLowByteOfEachLineSettingReachesTheDevice) {
  FakeCommApi device;
  CSerial port(device);
  ASSERT_TRUE(port.Open(1, 9600, 0x102, 0x307, 0x200));
  EXPECT_EQ(device.LastDcb().Parity, 2);
  EXPECT_EQ(device.LastDcb().ByteSize, 7);
  EXPECT_EQ(device.LastDcb().StopBits, 0);
}

TEST(CSerialConfiguration, PortNumberIsWrittenInUnsignedDecimal) {
  const struct {
    uint32_t number;
    const char* name;
  } cases[] = {{1, "\\\\.\\COM1"},
               {12, "\\\\.\\COM12"},
               {0, "\\\\.\\COM0"},
               {4294967295u, "\\\\.\\COM4294967295"}};
  for (const auto& c : cases) {
    FakeCommApi device;
    CSerial port(device);
    port.Open(c.number, 115200, 0, 8, 0);
    EXPECT_EQ(device.OpenedNames(), std::vector<std::string>{c.name}) << c.number;
  }
}

TEST(CSerialConfiguration, OpenOnAnOpenObjectKeepsTheHandle) {
  FakeCommApi device;
  CSerial port(device);
  ASSERT_TRUE(port.Open(3, 115200, 0, 8, 0));
  const CommHandle handle = device.OpenPort();
  EXPECT_TRUE(port.Open(5, 9600, 0, 8, 0));
  EXPECT_TRUE(port.OpenDevice("/dev/ttyUSB0", 19200, 0, 8, 0));
  EXPECT_EQ(device.OpenedNames(), std::vector<std::string>{"\\\\.\\COM3"});
  EXPECT_EQ(device.OpenPort(), handle);
  EXPECT_EQ(device.LastDcb().BaudRate, 19200u);
}

TEST(CSerialConfiguration, SetBaudRateKeepsTheOtherSettingsAndTheLoweredQueues) {
  FakeCommApi device;
  device.SetQueueMaxima(0, 2048);
  CSerial port(device);
  ASSERT_TRUE(port.Open(1, 115200, 1, 7, 2));
  device.SetQueueMaxima(0, 0);  // a later report of no limit does not grow them back

  ASSERT_TRUE(port.SetBaudRate(57600));
  const CommDcb& dcb = device.LastDcb();
  EXPECT_EQ(dcb.BaudRate, 57600u);
  EXPECT_EQ(dcb.Parity, 1);
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.StopBits, 2);
  EXPECT_EQ(dcb.XoffLim, 512);
  EXPECT_EQ(device.SetupRequests().back(), std::make_pair(4096u, 2048u));
  EXPECT_EQ(device.OpenedNames().size(), 1u);
}

TEST(CSerialConfiguration, SettingsGivenToAFailedOpenAreUsedByTheNextConfiguration) {
  FakeCommApi device;
  device.SetFailing(FakeCommStep::kOpen);
  CSerial port(device);
  EXPECT_FALSE(port.Open(4, 9600, 2, 7, 2));
  device.SetFailing(FakeCommStep::kOpen, false);

  ASSERT_TRUE(port.SetBaudRate(19200));
  EXPECT_EQ(device.OpenedNames(), std::vector<std::string>(2, "\\\\.\\COM4"));
  EXPECT_EQ(device.LastDcb().BaudRate, 19200u);
  EXPECT_EQ(device.LastDcb().Parity, 2);
  EXPECT_EQ(device.LastDcb().ByteSize, 7);
  EXPECT_EQ(device.LastDcb().StopBits, 2);
}

TEST(CSerialConfiguration, RepeatedConfigurationsLeaveTwoEventsAndDestructionNone) {
  FakeCommApi device;
  {
    CSerial port(device);
    ASSERT_TRUE(OpenDefault(port));
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(port.SetBaudRate(115200));
    }
    EXPECT_EQ(device.Calls(FakeCommStep::kCreateEvent), 8);
    EXPECT_EQ(device.LiveEvents(), 2u);
    EXPECT_TRUE(port.Close());
    EXPECT_EQ(device.LiveEvents(), 2u) << "closing the port keeps the events";
  }
  EXPECT_EQ(device.LiveEvents(), 0u);
}

TEST(CSerialConfiguration, DestructorClosesThePort) {
  FakeCommApi device;
  {
    CSerial port(device);
    ASSERT_TRUE(OpenDefault(port));
    EXPECT_TRUE(device.PortOpen());
  }
  EXPECT_FALSE(device.PortOpen());
}

// ---------------------------------------------------------------- queue sizes

struct QueueCase {
  const char* name;
  uint32_t maxRx;
  uint32_t maxTx;
  uint32_t rxAsked;
  uint32_t txAsked;
};

class QueueLowering : public testing::TestWithParam<QueueCase> {};

TEST_P(QueueLowering, SizesFollowTheDeviceMaximaDownOnly) {
  const QueueCase& c = GetParam();
  FakeCommApi device;
  device.SetQueueMaxima(c.maxRx, c.maxTx);
  CSerial port(device);
  ASSERT_TRUE(OpenDefault(port));

  EXPECT_EQ(device.SetupRequests().back(), std::make_pair(c.rxAsked, c.txAsked));
  EXPECT_EQ(device.LastDcb().XonLim, c.rxAsked / 4);
  EXPECT_EQ(device.LastDcb().XoffLim, c.txAsked / 4);

  // The transmit size is the capacity of the room test: into an empty
  // queue, a write of the whole size is refused and one byte less goes.
  const std::vector<char> bytes(c.txAsked, 'x');
  EXPECT_EQ(port.Write(bytes.data(), c.txAsked), 0u);
  EXPECT_TRUE(device.Written().empty());
  EXPECT_EQ(port.Write(bytes.data(), c.txAsked - 1), c.txAsked - 1);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, QueueLowering,
    testing::Values(QueueCase{"NoLimits", 0, 0, 4096, 4096},
                    QueueCase{"SmallTransmitQueue", 0, 2048, 4096, 2048},
                    QueueCase{"SmallReceiveQueue", 1000, 0, 1000, 4096},
                    QueueCase{"LargerMaximaDoNotGrowThem", 8192, 65536, 4096, 4096},
                    QueueCase{"BothSmall", 512, 256, 512, 256}),
    CaseName<QueueCase>);

TEST(CSerialConfiguration, QueueRequestIsSkippedOnlyWhenBothSizesAreZero) {
  const struct {
    uint32_t rx;
    uint32_t tx;
    int setupCalls;
  } cases[] = {{0, 0, 0}, {0, 4096, 1}, {4096, 0, 1}};
  for (const auto& c : cases) {
    FakeCommApi device;
    device.SetFailing(FakeCommStep::kSetup);  // a request made would fail the configuration
    CSerial port(device);
    CSerialTestPeer::SetQueueSizes(port, c.rx, c.tx);
    EXPECT_EQ(OpenDefault(port), c.setupCalls == 0) << c.rx << "/" << c.tx;
    EXPECT_EQ(device.Calls(FakeCommStep::kSetup), c.setupCalls) << c.rx << "/" << c.tx;
  }
}

// ---------------------------------------------------------------- writes

struct RoomCase {
  const char* name;
  uint32_t outQueue;
  uint32_t count;
  bool accepted;
};

class WriteRoom : public testing::TestWithParam<RoomCase> {};

TEST_P(WriteRoom, WriteMustBeStrictlySmallerThanTheRoom) {
  const RoomCase& c = GetParam();
  FakeCommApi device;
  CSerial port(device);
  ASSERT_TRUE(OpenDefault(port));
  device.SetOutQueue(c.outQueue);

  const std::string text(c.count, 'z');
  const uint32_t expected = c.accepted ? c.count : 0;
  EXPECT_EQ(port.Write(text.data(), c.count), expected);
  EXPECT_EQ(port.WriteString(text), expected);
  EXPECT_EQ(device.Written().size(), c.accepted ? 2 * c.count : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteRoom,
    testing::Values(RoomCase{"EmptyQueueOneLessThanSize", 0, 4095, true},
                    RoomCase{"EmptyQueueWholeSize", 0, 4096, false},
                    RoomCase{"ExactlyTheFreeRoom", 96, 4000, false},
                    RoomCase{"OneLessThanTheFreeRoom", 96, 3999, true},
                    RoomCase{"FullQueue", 4096, 1, false},
                    // The room is computed in unsigned 32-bit arithmetic and wraps.
                    RoomCase{"OutQueueBeyondSizeWraps", 5000, 100, true}),
    CaseName<RoomCase>);

struct WriteCase {
  const char* name;
  FakeCommApi::Completion completion;
  FakeCommStep failing;  // kOpen: nothing fails once the port is open
  uint32_t expected;
  size_t bytesTaken;
};

class WriteCompletion : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteCompletion, ReportsAllOrNothing) {
  const WriteCase& c = GetParam();
  FakeCommApi device;
  CSerial port(device);
  ASSERT_TRUE(OpenDefault(port));
  device.SetWriteCompletion(c.completion);
  device.SetFailing(c.failing);

  EXPECT_EQ(port.Write("hello", 5), c.expected);
  EXPECT_EQ(device.Written().size(), c.bytesTaken);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteCompletion,
    testing::Values(
        WriteCase{"AtOnce", FakeCommApi::Completion::kNow, FakeCommStep::kOpen, 5, 5},
        WriteCase{"Pending", FakeCommApi::Completion::kPending, FakeCommStep::kOpen, 5, 5},
        WriteCase{"Short", FakeCommApi::Completion::kShort, FakeCommStep::kOpen, 0, 4},
        WriteCase{"PendingWaitFails", FakeCommApi::Completion::kPending, FakeCommStep::kWait, 0,
                  5},
        WriteCase{"WriteFails", FakeCommApi::Completion::kNow, FakeCommStep::kWrite, 0, 0},
        WriteCase{"StatusFails", FakeCommApi::Completion::kNow, FakeCommStep::kStatus, 0, 0}),
    CaseName<WriteCase>);

TEST(CSerialWrite, NothingToSendAsksNothing) {
  FakeCommApi device;
  CSerial port(device);
  ASSERT_TRUE(OpenDefault(port));
  EXPECT_EQ(port.Write("x", 0), 0u);
  EXPECT_EQ(port.WriteString(""), 0u);
  EXPECT_EQ(device.Calls(FakeCommStep::kStatus), 0);
  EXPECT_EQ(device.Calls(FakeCommStep::kWrite), 0);
}

TEST(CSerialWrite, WriteStringSendsTheCharactersWithoutATerminator) {
  FakeCommApi device;
  CSerial port(device);
  ASSERT_TRUE(OpenDefault(port));
  EXPECT_EQ(port.WriteString(std::string("a\0b\n", 4)), 4u);
  EXPECT_EQ(device.Writes(), std::vector<std::string>{std::string("a\0b\n", 4)});
}

// ---------------------------------------------------------------- reads

struct ReadCase {
  const char* name;
  const char* waiting;
  uint32_t count;
  FakeCommApi::Completion completion;
  FakeCommStep failing;  // kOpen: nothing fails once the port is open
  const char* expectedBytes;
  size_t stillWaiting;
};

class ReadCases : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadCases, TakesOnlyWhatHasArrived) {
  const ReadCase& c = GetParam();
  FakeCommApi device;
  CSerial port(device);
  ASSERT_TRUE(OpenDefault(port));
  device.QueueInput(c.waiting);
  device.SetReadCompletion(c.completion);
  device.SetFailing(c.failing);

  char buffer[16] = {};
  const uint32_t got = port.Read(buffer, c.count);
  EXPECT_EQ(std::string(buffer, got), c.expectedBytes);
  EXPECT_EQ(device.InputWaiting(), c.stillWaiting);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadCases,
    testing::Values(
        ReadCase{"CountZero", "12345", 0, FakeCommApi::Completion::kNow, FakeCommStep::kOpen, "",
                 5},
        ReadCase{"NothingWaiting", "", 1, FakeCommApi::Completion::kNow, FakeCommStep::kOpen, "",
                 0},
        ReadCase{"OneOfFive", "12345", 1, FakeCommApi::Completion::kNow, FakeCommStep::kOpen,
                 "1", 4},
        ReadCase{"FewerWaitingThanAsked", "123", 10, FakeCommApi::Completion::kNow,
                 FakeCommStep::kOpen, "123", 0},
        ReadCase{"Pending", "123", 2, FakeCommApi::Completion::kPending, FakeCommStep::kOpen,
                 "12", 1},
        ReadCase{"PendingWaitFails", "123", 2, FakeCommApi::Completion::kPending,
                 FakeCommStep::kWait, "", 1},
        ReadCase{"ReadFails", "123", 2, FakeCommApi::Completion::kNow, FakeCommStep::kRead, "",
                 3},
        ReadCase{"StatusFails", "123", 2, FakeCommApi::Completion::kNow, FakeCommStep::kStatus,
                 "", 3}),
    CaseName<ReadCase>);

TEST(CSerialRead, CountZeroAsksNothing) {
  FakeCommApi device;
  CSerial port(device);
  ASSERT_TRUE(OpenDefault(port));
  char byte = 0;
  EXPECT_EQ(port.Read(&byte, 0), 0u);
  EXPECT_EQ(device.Calls(FakeCommStep::kStatus), 0);
}

// ---------------------------------------------------------------- purge and close

TEST(CSerialPurge, DiscardsWhatWasWaitingAndKeepsLaterArrivals) {
  FakeCommApi device;
  CSerial port(device);
  ASSERT_TRUE(OpenDefault(port));
  device.QueueInput("abc");
  device.QueueInput("XY", 1);  // arrives between the purge's status query and its read

  port.Purge();
  char buffer[8] = {};
  EXPECT_EQ(std::string(buffer, port.Read(buffer, sizeof buffer)), "XY");
}

TEST(CSerialPurge, NothingWaitingOrNoStatusReadsNothing) {
  for (const bool statusFails : {false, true}) {
    FakeCommApi device;
    CSerial port(device);
    ASSERT_TRUE(OpenDefault(port));
    if (statusFails) {
      device.QueueInput("abc");
      device.SetFailing(FakeCommStep::kStatus);
    }
    port.Purge();
    EXPECT_EQ(device.Calls(FakeCommStep::kRead), 0) << statusFails;
    EXPECT_EQ(device.InputWaiting(), statusFails ? 3u : 0u);
  }
}

TEST(CSerialClose, ClosesOnceAndReportsTheRelease) {
  FakeCommApi device;
  CSerial port(device);
  EXPECT_FALSE(port.Close()) << "never opened";
  EXPECT_EQ(device.Calls(FakeCommStep::kClose), 0);

  ASSERT_TRUE(OpenDefault(port));
  EXPECT_TRUE(port.Close());
  EXPECT_FALSE(device.PortOpen());
  EXPECT_FALSE(port.Close()) << "already closed";

  device.QueueInput("a");
  char byte = 0;
  EXPECT_EQ(port.Read(&byte, 1), 0u);
  EXPECT_EQ(port.Write("a", 1), 0u);
  port.Purge();
  EXPECT_EQ(device.InputWaiting(), 1u);
}

TEST(CSerialClose, AFailedReleaseStillLeavesTheObjectClosed) {
  FakeCommApi device;
  CSerial port(device);
  ASSERT_TRUE(OpenDefault(port));
  device.SetFailing(FakeCommStep::kClose);
  EXPECT_FALSE(port.Close());
  device.SetFailing(FakeCommStep::kClose, false);
  EXPECT_TRUE(port.SetBaudRate(115200)) << "the next configuration opens the port again";
  EXPECT_EQ(device.OpenedNames().size(), 2u);
}

}  // namespace
