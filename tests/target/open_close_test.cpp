// SPDX-License-Identifier: Apache-2.0
// Opening and closing the target against the emulator: arguments, connection, attach, pins,
// release, and what each failure says.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"
#include "support/SimulatedTarget.h"

namespace {

using namespace targettest;

constexpr uint32_t kError = 0x100;
constexpr uint32_t kDebug = 0x8000;

// A bound UDP socket that never answers: a port where no front end listens.
class SilentPort {
  public:
    SilentPort() {
        socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~SilentPort() { ::close(socket_); }
    uint16_t port() const { return port_; }

  private:
    int socket_ = -1;
    uint16_t port_ = 0;
};

class OpenClose : public SimulatedTargetTest {};

TEST_F(OpenClose, ConnectsAttachesAndEnablesThePins) {
    startSimulator();
    ASSERT_EQ(openTarget(), CSE_SUCCESS);
    EXPECT_TRUE(plugin->isOpened());
    EXPECT_TRUE(simulator->linkConnected());
    EXPECT_TRUE(simulator->attached());
    EXPECT_TRUE(simulator->pinsEnabled());
    EXPECT_EQ(simulator->commands(), std::vector<std::string>{"JTAG.PIN ENABLE"});
    const auto lines = recorder.targetLines();
    const std::vector<std::string> expected = {
        ">>Enter>> QXCsePlugin::initializeTargetImpl()\n",
        "<<Exit<<  QXCsePlugin::initializeTargetImpl() : CSE_SUCCESS\n",
        ">>Enter>> QXCsePlugin::openTargetImpl()\n",
        std::string("Initializing KORAVEN-CsePlugin (") + (sizeof(void*) == 8 ? "64" : "32") +
            "bit)\n",
        ">>Enter>> QXCsePlugin::initializeTargetImpl()\n",
        "<<Exit<<  QXCsePlugin::initializeTargetImpl() : CSE_SUCCESS\n",
        "packet length 1024 negotiated with the KORAVEN debugger\n",
        "retransmission on: the front end answers a repeated request with its reply\n",
        "<<Exit<<  QXCsePlugin::openTargetImpl() : CSE_SUCCESS\n"};
    EXPECT_EQ(lines, expected);
    // The probe's repeated attach was answered from the front end's memory, not carried out.
    EXPECT_EQ(simulator->counters().requests, 2u);
    EXPECT_GE(simulator->counters().retransmittedRequests, 1u);
    EXPECT_EQ(std::string(LinkStateForTest().nodeName), "127.0.0.1");
    EXPECT_EQ(LinkStateForTest().peerPort, simulator->udpPort());
}

TEST_F(OpenClose, WithoutNodeAndPortConfiguresLocalhostAnd20000) {
    plugin = std::make_unique<QXCsePlugin>();
    KRV_SetConfigItem("NODE=", "elsewhere");
    KRV_SetConfigItem("PORT=", "1");
    ASSERT_EQ(plugin->initializeTarget(0, nullptr), CSE_SUCCESS);
    EXPECT_EQ(std::string(LinkStateForTest().nodeName), "localhost");
    EXPECT_EQ(LinkStateForTest().peerPort, 20000);
}

TEST_F(OpenClose, KeysAreFoundWithoutRegardToCaseAndBareKeysCountAsAbsent) {
    plugin = std::make_unique<QXCsePlugin>();
    const char* const argv[] = {"NODE=10.1.2.3", "port"};
    ASSERT_EQ(plugin->initializeTarget(2, argv), CSE_SUCCESS);
    EXPECT_EQ(std::string(LinkStateForTest().nodeName), "10.1.2.3");
    EXPECT_EQ(LinkStateForTest().peerPort, 20000);
}

TEST_F(OpenClose, RefusedNodeFailsBeforeThePortIsLookedAt) {
    plugin = std::make_unique<QXCsePlugin>();
    const std::string node = "node=" + std::string(100, 'n');
    const char* const argv[] = {node.c_str(), "port=1234"};
    EXPECT_EQ(plugin->initializeTarget(2, argv), CSE_FAILURE);
    EXPECT_TRUE(recorder.hasMessage(
        kError, "KORAVEN: hostname " + std::string(100, 'n') + " not accepted\n"));
    EXPECT_NE(LinkStateForTest().peerPort, 1234);
}

TEST_F(OpenClose, RefusedPortFailsTheOpenWithBothMessages) {
    startSimulator();
    const char* const argv[] = {"node=127.0.0.1", "port=20x00"};
    EXPECT_EQ(plugin->openTarget(2, argv, 0, 0), CSE_FAILURE);
    EXPECT_FALSE(plugin->isOpened());
    const std::vector<std::string> errors = recorder.messages(kError);
    ASSERT_EQ(errors.size(), 2u) << "the framework stops after its own initializeTarget";
    EXPECT_EQ(errors[0], "KORAVEN: Port 20x00 not accepted\n");
    EXPECT_EQ(errors[1], "KORAVEN: <<Exit<<  QXCsePlugin::initializeTargetImpl() : CSE_FAILURE\n");
    EXPECT_FALSE(simulator->linkConnected());
}

// The framework stops at its own initializeTarget; the target's open reports the arguments too.
class ExposedTarget : public QXCsePlugin {
  public:
    using QXCsePlugin::openTargetImpl;
};

TEST_F(OpenClose, RefusedPortInsideOpenTargetImplAddsArgumentParsingError) {
    ExposedTarget target;
    recorder.clear();
    const char* const argv[] = {"port=abc"};
    EXPECT_EQ(target.openTargetImpl(1, argv, 0, 0), CSE_FAILURE);
    const std::vector<std::string> expected = {
        "KORAVEN: Port abc not accepted\n",
        "KORAVEN: <<Exit<<  QXCsePlugin::initializeTargetImpl() : CSE_FAILURE\n",
        "KORAVEN: error parsing arguments\n",
        "KORAVEN: <<Exit<<  QXCsePlugin::openTargetImpl() : CSE_FAILURE\n"};
    EXPECT_EQ(recorder.messages(kError), expected);
    EXPECT_EQ(LinkStateForTest().connected, 0);
}

// Every failed connect gives the two lines a missing front end suits, then the cause the link
// found: a refused link or a local port in use must not read as "the GUI is not running".
struct ConnectFailure {
    const char* name;
    bool refusingFrontEnd;  // quorbit-sim with the refuse fault; else a port where none answers
    bool localPortTaken;    // hostport= names the silent port's own, already bound
    bool closedPort;        // 127.0.0.2 at the silent port's number: nothing bound there
    const char* cause;
};

// gtest would otherwise print the raw bytes, padding included (valgrind finds them unset).
void PrintTo(const ConnectFailure& c, std::ostream* out) {
    *out << c.name;
}

class ConnectFailureTest : public SimulatedTargetTest,
                           public ::testing::WithParamInterface<ConnectFailure> {};

TEST_P(ConnectFailureTest, FailsWithTheTwoConnectionMessagesAndTheCause) {
    SilentPort silent;
    LinkSetTimeoutsForTest(20000, 20000);  // the handshake is waited for on purpose
    uint16_t port = silent.port();
    if (GetParam().refusingFrontEnd) {
        quorbit::SimOptions options;
        options.faults.refuse = true;
        startSimulator(options);
        port = simulator->udpPort();
    }
    plugin = std::make_unique<QXCsePlugin>();
    const std::string portKey = "port=" + std::to_string(port);
    const std::string hostport =
        "hostport=" + std::to_string(GetParam().localPortTaken ? silent.port() : 0);
    const char* const argv[] = {GetParam().closedPort ? "node=127.0.0.2" : "node=127.0.0.1",
                                portKey.c_str(), hostport.c_str()};
    EXPECT_EQ(plugin->openTarget(3, argv, 0, 0), CSE_FAILURE);
    EXPECT_FALSE(plugin->isOpened());
    const std::vector<std::string> lines = recorder.messages(kError);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "KORAVEN: Failed to set up connection to KORAVEN debugger hardware\n");
    EXPECT_EQ(lines[1],
              "KORAVEN: Assure that the KORAVEN Quorbit GUI is running and configured for Remote "
              "API access.\n");
    EXPECT_EQ(lines[2].rfind(std::string("KORAVEN: ") + GetParam().cause, 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], "KORAVEN: <<Exit<<  QXCsePlugin::openTargetImpl() : CSE_FAILURE\n");
}

INSTANTIATE_TEST_SUITE_P(
    Causes, ConnectFailureTest,
    ::testing::Values(
        ConnectFailure{"NothingAnswers", false, false, false,
                       "Nothing answered the connect requests at the node and port given."},
        // On this machine a closed port is refused at once, with its own cause.
        ConnectFailure{"NothingListensOnThisMachine", false, false, true,
                       "Nothing listens at the port given on this machine (the port is closed)"},
        ConnectFailure{"Refused", true, false, false,
                       "The front end answered but refused the link"},
        ConnectFailure{"LocalPortInUse", false, true, false,
                       "The local UDP port of the link cannot be used (cannot bind socket"}),
    [](const ::testing::TestParamInfo<ConnectFailure>& info) { return info.param.name; });

TEST_F(OpenClose, FailedAttachFailsTheOpenAndLeavesTheLinkOpen) {
    quorbit::SimOptions options;
    options.faults.attachFails = true;
    startSimulator(options);
    EXPECT_EQ(openTarget(), CSE_FAILURE);
    EXPECT_TRUE(recorder.hasMessage(kError, "KORAVEN: Error calling KRV_Attach.\n"));
    EXPECT_EQ(LinkStateForTest().connected, 1);
    EXPECT_TRUE(simulator->commands().empty()) << "no pin command after a failed attach";
}

TEST_F(OpenClose, SecondOpenClosesTheFirstLinkBeforeConnecting) {
    startSimulator();
    ASSERT_EQ(openTarget(), CSE_SUCCESS);
    ASSERT_EQ(openTarget(), CSE_SUCCESS);
    const quorbit::SimCounters counters = simulator->counters();
    EXPECT_EQ(counters.connects, 2u);
    EXPECT_GE(counters.disconnects, 1u);
    EXPECT_TRUE(simulator->linkConnected());
}

TEST_F(OpenClose, CloseReleasesTheTapAndDisconnects) {
    startSimulator();
    ASSERT_EQ(openTarget(), CSE_SUCCESS);
    recorder.clear();
    EXPECT_EQ(plugin->closeTarget(), CSE_SUCCESS);
    EXPECT_FALSE(plugin->isOpened());
    EXPECT_EQ(LinkStateForTest().connected, 0);
    EXPECT_FALSE(simulator->tapAccessOpen());
    EXPECT_EQ(
        recorder.targetLines(),
        (std::vector<std::string>{">>Enter>> QXCsePlugin::closeTargetImpl()\n",
                                  "<<Exit<<  QXCsePlugin::closeTargetImpl() : CSE_SUCCESS\n"}));
}

TEST_F(OpenClose, FailingReleaseFailsTheCloseButStillDisconnectsAndAllowsReopen) {
    quorbit::SimOptions options;
    options.faults.releaseFails = true;
    startSimulator(options);
    openAndLock();
    EXPECT_EQ(plugin->closeTarget(), CSE_FAILURE);
    EXPECT_FALSE(plugin->isOpened());
    EXPECT_EQ(LinkStateForTest().connected, 0);
    EXPECT_TRUE(recorder.hasMessage(
        kError, "KORAVEN: <<Exit<<  QXCsePlugin::closeTargetImpl() : CSE_FAILURE\n"));
    // The unlock that closeTarget runs first reports the same failed release, and succeeds.
    EXPECT_TRUE(recorder.hasMessage(
        kDebug, "KORAVEN: Setting errorCode to CSE_FAILURE (but returning CSE_SUCCESS!)"));

    ASSERT_EQ(openTarget(), CSE_SUCCESS);
    ASSERT_EQ(plugin->lockTarget(0), CSE_SUCCESS);
    EXPECT_EQ(simulatorState(), CSEJTAG_RUN_TEST_IDLE);
}

TEST_F(OpenClose, UnlockThenCloseReleasesTheTapOnce) {
    startSimulator();
    openAndLock();
    ASSERT_EQ(plugin->unlockTarget(), CSE_SUCCESS);
    EXPECT_EQ(simulator->counters().requests, 1u);
    EXPECT_EQ(plugin->closeTarget(), CSE_SUCCESS);
    EXPECT_EQ(simulator->counters().requests, 1u) << "the close sends no second release";
}

struct LinkKeyCase {
    std::string argument;
    std::string refusal;  // empty: the open succeeds
};

// gtest would otherwise print the rows' raw bytes, string padding included.
void PrintTo(const LinkKeyCase& row, std::ostream* out) {
    *out << row.argument;
}

class OpenLinkKeys : public SimulatedTargetTest,
                     public ::testing::WithParamInterface<LinkKeyCase> {};

TEST_P(OpenLinkKeys, BadValuesFailTheOpenLikeABadPort) {
    startSimulator();
    const std::string port = "port=" + std::to_string(simulator->udpPort());
    const char* const argv[] = {"node=127.0.0.1", port.c_str(), GetParam().argument.c_str()};
    const bool good = GetParam().refusal.empty();
    EXPECT_EQ(plugin->openTarget(3, argv, 0, 0), good ? CSE_SUCCESS : CSE_FAILURE);
    if (!good) {
        EXPECT_TRUE(recorder.hasMessage(kError, "KORAVEN: " + GetParam().refusal));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, OpenLinkKeys,
    ::testing::Values(LinkKeyCase{"timeout=1", ""}, LinkKeyCase{"timeout=3600", ""},
                      LinkKeyCase{"timeout=0", "Timeout 0 not accepted (seconds 1..3600)\n"},
                      LinkKeyCase{"timeout=3601", "Timeout 3601 not accepted (seconds 1..3600)\n"},
                      LinkKeyCase{"timeout=2s", "Timeout 2s not accepted (seconds 1..3600)\n"},
                      LinkKeyCase{"packlen=16", ""}, LinkKeyCase{"packlen=1472", ""},
                      LinkKeyCase{"packlen=15", "Packet length 15 not accepted (16..1472)\n"},
                      LinkKeyCase{"packlen=1473", "Packet length 1473 not accepted (16..1472)\n"},
                      LinkKeyCase{"hostport=65536", "Host port 65536 not accepted (0..65535)\n"},
                      LinkKeyCase{"hostport=-1", "Host port -1 not accepted (0..65535)\n"}));

// The keys reach the link: it binds hostport, the packet length the front end's accept set is
// told at level 2, and with timeout=2 a reply that comes after a second is still taken.
TEST_F(OpenClose, LinkKeysReachTheLink) {
    quorbit::SimOptions options;
    options.faults.delayReplyMs = 1000;
    options.packetLength = 600;
    startSimulator(options);
    const uint16_t hostPort = SilentPort().port();  // free a moment ago
    const std::string port = "port=" + std::to_string(simulator->udpPort());
    const std::string local = "hostport=" + std::to_string(hostPort);
    const char* const argv[] = {"node=127.0.0.1", port.c_str(), "timeout=2", "packlen=700",
                                local.c_str()};
    ASSERT_EQ(plugin->openTarget(5, argv, 0, 0), CSE_SUCCESS);
    EXPECT_EQ(LinkStateForTest().ownPort, hostPort);
    EXPECT_EQ(LinkStateForTest().packetLength, 600);
    EXPECT_TRUE(recorder.hasLog(2,
                                "KORAVEN: packet length 600 negotiated with the KORAVEN "
                                "debugger\n"));
    EXPECT_EQ(plugin->lockTarget(0), CSE_SUCCESS);

    // The next open without the keys gets the link's defaults back, not this session's values.
    plugin->closeTarget();
    ASSERT_EQ(openTarget(), CSE_SUCCESS);
    EXPECT_EQ(LinkStateForTest().replyTimeoutSeconds, 5);
    EXPECT_EQ(LinkStateForTest().localPort, 0);
}

TEST_F(OpenClose, DestructionMakesNoRemoteCall) {
    startSimulator();
    ASSERT_EQ(openTarget(), CSE_SUCCESS);
    simulator->resetInspection();
    plugin.reset();
    EXPECT_EQ(simulator->counters().requests, 0u);
    EXPECT_EQ(LinkStateForTest().connected, 1);
}

struct FrontEndCase {
    const char* node;
    int packetLength;
};

void PrintTo(const FrontEndCase& c, std::ostream* out) {
    *out << c.node << ", " << c.packetLength;
}

class FrontEndOnAllAddresses : public SimulatedTargetTest,
                               public ::testing::WithParamInterface<FrontEndCase> {};

// A front end bound to all addresses answers from the address its routing picks (127.0.0.1 here),
// and one configured for longer datagrams answers with a longer accept: both are taken, and
// 100,000 bits go through the three bypass registers intact.
TEST_P(FrontEndOnAllAddresses, IsReachedAndCarriesLongShifts) {
    quorbit::SimOptions options;
    options.bindAddress = "0.0.0.0";
    options.packetLength = GetParam().packetLength;
    startSimulator(options);
    ASSERT_EQ(openTarget(GetParam().node), CSE_SUCCESS);
    ASSERT_EQ(plugin->lockTarget(0), CSE_SUCCESS);
    EXPECT_EQ(LinkStateForTest().packetLength, GetParam().packetLength);
    const std::vector<uint8_t> ones(3, 0xFF);
    ASSERT_EQ(plugin->shiftChainIR(ones.data(), nullptr, nullptr, nullptr, 18,
                                   CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_SUCCESS);
    const uint32_t bitCount = 100000;
    const std::vector<uint8_t> tdi = patternBytes(bitCount / 8, 11);
    std::vector<uint8_t> tdo(tdi.size(), 0);
    ASSERT_EQ(plugin->shiftChainDR(tdi.data(), tdo.data(), nullptr, nullptr, bitCount,
                                   CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(bypassMismatches(tdi, tdo, bitCount, 3), 0u);
    EXPECT_EQ(plugin->closeTarget(), CSE_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Nodes, FrontEndOnAllAddresses,
                         ::testing::Values(FrontEndCase{"127.0.0.2", 1024},
                                           FrontEndCase{"0.0.0.0", 1024},
                                           FrontEndCase{"127.0.0.1", 1472},
                                           FrontEndCase{"127.0.0.2", 1472}));

}  // namespace
