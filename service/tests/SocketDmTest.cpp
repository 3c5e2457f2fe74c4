// The DM channel against a Device Manager double on a loopback port of its own.
#include "dm/SocketDm.h"

#include "FakeVdm.h"
#include "LogCapture.h"
#include "TestAppData.h"
#include "XmlPeer.h"
#include "runtime/RequestIds.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace {

class SocketDmTest : public ::testing::Test {
protected:
    void SetUp() override {
        dm.SetOwner(&vdm);
        ASSERT_TRUE(dm.ConnectTo("127.0.0.1", listener.port(), 0, 0, 1));
        int fd = listener.Accept();
        ASSERT_GE(fd, 0);
        peer = std::make_unique<XmlPeer>(fd);
    }
    void TearDown() override { dm.Close(1); }

    // Sends Connect and returns its requestId as the DM read it.
    std::string Connect() {
        EXPECT_TRUE(dm.SendConnectDeviceManagerEventRequest("3.0.0", "Tessik Systems, Inc", "3.0.0",
                                                            "Tessik Biometric VDM", "3.0.0"));
        return RequestIdOf(peer->Read());
    }
    static std::string Response(const std::string& id, const std::string& body = "") {
        return "<DeviceManagerEventResponse requestId=\"" + id + "\"><Return value=\"Success\" "
               "failureReason=\"Success\"/>" + body + "</DeviceManagerEventResponse>";
    }
    static std::string ConnectResponse(const std::string& id, const std::string& heartBeat = "9") {
        return Response(id, "<ConnectResponse apiVersion=\"1.2\" vendor=\"DM maker\" dmName=\"DM\" dmVersion=\"4.5\" "
                            "heartBeat=\"" + heartBeat + "\"/>");
    }
    // Waits until the channel has handled everything sent so far: a Ping is answered through
    // the same stream, so its removal from the sent ids marks the end.
    void Drain() {
        ASSERT_TRUE(dm.SendPingDeviceManagerEventRequest("Tessik Biometric VDM"));
        std::string id = RequestIdOf(peer->Read());
        ASSERT_TRUE(peer->Send(Response(id)));
        for (int i = 0; i < 300 && dm.FindSentRequestId(0, id) != MID_Unknown; ++i) std::this_thread::sleep_for(5ms);
        ASSERT_EQ(dm.FindSentRequestId(0, id), MID_Unknown);
    }

    TestAppData appData;
    FakeVdm vdm;
    XmlListener listener;
    CSocketDm dm{"DM Socket"};
    std::unique_ptr<XmlPeer> peer;
};

const std::string kConnectResponseCall =
    "ConnectResponse apiVersion=1.2 vendor=DM maker dmName=DM dmVersion=4.5 heartBeat=9";

}  // namespace

TEST_F(SocketDmTest, RequestsCarryTheirExactWordsAndFreshIds) {
    ASSERT_TRUE(dm.SendConnectDeviceManagerEventRequest("3.0.0", "Tessik Systems, Inc", "3.0.0",
                                                        "Tessik Biometric VDM", "3.0.0"));
    std::string connect = peer->Read();
    EXPECT_XML_EQ(WithoutRequestId(connect),
              "<DeviceManagerEventRequest requestId=\"*\" version=\"3.0.0\"><Connect apiVersion=\"3.0.0\">"
              "<VDM vendor=\"Tessik Systems, Inc\" vdmName=\"Tessik Biometric VDM\" vdmVersion=\"3.0.0\"/>"
              "</Connect></DeviceManagerEventRequest>");
    EXPECT_TRUE(IsServiceRequestId(RequestIdOf(connect)));
    EXPECT_EQ(dm.FindSentRequestId(0, RequestIdOf(connect)), MID_Connect);

    ASSERT_TRUE(dm.SendPingDeviceManagerEventRequest("Tessik Biometric VDM"));
    std::string ping = peer->Read();
    EXPECT_XML_EQ(WithoutRequestId(ping),
              "<DeviceManagerEventRequest requestId=\"*\"><Ping vdmName=\"Tessik Biometric VDM\"/>"
              "</DeviceManagerEventRequest>");
    EXPECT_EQ(dm.FindSentRequestId(0, RequestIdOf(ping)), MID_Ping);
    EXPECT_NE(RequestIdOf(ping), RequestIdOf(connect));

    struct {
        int type;
        MessageId kind;
    } const removals[] = {{0, MID_FingerprintDeviceRemoval}, {1, MID_IrisDeviceRemoval}, {7, MID_Unknown}};
    for (const auto& removal : removals) {
        ASSERT_TRUE(dm.SendRemovalDeviceManagerEventRequest(removal.type, "127.0.0.1:5123"));
        std::string text = peer->Read();
        EXPECT_XML_EQ(WithoutRequestId(text),
                  "<DeviceManagerEventRequest requestId=\"*\"><Removal deviceURI=\"127.0.0.1:5123\"/>"
                  "</DeviceManagerEventRequest>");
        EXPECT_EQ(dm.FindSentRequestId(0, RequestIdOf(text)), removal.kind) << removal.type;
    }
}

TEST_F(SocketDmTest, ArrivalSendsTheCallersDocumentWithANewId) {
    CXmlMessage arrival("DeviceManagerEventRequest");
    SetXmlAttribute(arrival.Root(), "requestId", "");
    xercesc::DOMElement* element = arrival.Add(arrival.Root(), "Arrival");
    SetXmlAttribute(element, "vdmName", "Tessik Biometric VDM");
    SetXmlAttribute(element, "deviceURI", "127.0.0.1:6001");

    ASSERT_TRUE(dm.SendArrivalDeviceManagerEventRequest(arrival.Document(), 1));
    std::string first = peer->Read();
    EXPECT_XML_EQ(WithoutRequestId(first),
              "<DeviceManagerEventRequest requestId=\"*\"><Arrival vdmName=\"Tessik Biometric VDM\" "
              "deviceURI=\"127.0.0.1:6001\"/></DeviceManagerEventRequest>");
    EXPECT_EQ(dm.FindSentRequestId(0, RequestIdOf(first)), MID_IrisDeviceArrival);

    // The document stays the caller's and can be announced again.
    ASSERT_TRUE(dm.SendArrivalDeviceManagerEventRequest(arrival.Document(), 0));
    std::string second = peer->Read();
    EXPECT_NE(RequestIdOf(second), RequestIdOf(first));
    EXPECT_EQ(dm.FindSentRequestId(0, RequestIdOf(second)), MID_FingerprintDeviceArrival);
}

TEST_F(SocketDmTest, ConnectResponseReachesTheOwnerOnceForItsOwnRequest) {
    const std::string id = Connect();
    // An id the service never sent is ignored, ConnectResponse or not.
    ASSERT_TRUE(peer->Send(ConnectResponse("00000000-0000-0000-0000-000000000000")));
    Drain();
    EXPECT_TRUE(vdm.Calls().empty());

    ASSERT_TRUE(peer->Send(ConnectResponse(id)));
    ASSERT_TRUE(vdm.WaitForCalls(1));
    EXPECT_EQ(vdm.Calls(), (std::vector<std::string>{kConnectResponseCall}));
    EXPECT_GT(vdm.lastDmMessageTime.load(), 0);

    // Answered a second time: ignored.
    ASSERT_TRUE(peer->Send(ConnectResponse(id)));
    Drain();
    EXPECT_EQ(vdm.Calls().size(), 1u);
}

TEST_F(SocketDmTest, ResponsesSplitAndMergedAcrossReads) {
    // Two answers in one write: both handled, in order.
    const std::string first = Connect(), second = Connect();
    ASSERT_TRUE(peer->Send(ConnectResponse(first, "10") + ConnectResponse(second, "20")));
    ASSERT_TRUE(vdm.WaitForCalls(2));
    auto calls = vdm.Calls();
    EXPECT_NE(calls[0].find("heartBeat=10"), std::string::npos);
    EXPECT_NE(calls[1].find("heartBeat=20"), std::string::npos);

    // One answer over two writes: handled once, after the second.
    const std::string third = Connect();
    const std::string text = ConnectResponse(third, "30");
    ASSERT_TRUE(peer->Send(text.substr(0, 40)));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(vdm.Calls().size(), 2u);
    ASSERT_TRUE(peer->Send(text.substr(40)));
    ASSERT_TRUE(vdm.WaitForCalls(3));
    EXPECT_NE(vdm.Calls()[2].find("heartBeat=30"), std::string::npos);

    // A fragment followed by a new document (after blanks): the fragment is dropped.
    const std::string fourth = Connect();
    ASSERT_TRUE(peer->Send("<DeviceManagerEventResponse requestId=\"" + fourth + "\"><Ret"));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(peer->Send("  " + ConnectResponse(fourth, "40")));
    ASSERT_TRUE(vdm.WaitForCalls(4));
    EXPECT_NE(vdm.Calls()[3].find("heartBeat=40"), std::string::npos);
}

TEST_F(SocketDmTest, MalformedDataIsNeverActedOnButKeepsTheDmAlive) {
    const std::string id = Connect();
    vdm.lastDmMessageTime.store(0);
    ASSERT_TRUE(peer->Send(std::string("\x01\x02 not xml at all \xff", 20)));
    for (int i = 0; i < 300 && vdm.lastDmMessageTime.load() == 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_GT(vdm.lastDmMessageTime.load(), 0);

    const std::string bad[] = {
        // wrong root
        "<DeviceManagerEventRequest requestId=\"" + id + "\"><Ping vdmName=\"x\"/></DeviceManagerEventRequest>",
        // breaks the schema
        "<DeviceManagerEventResponse requestId=\"" + id + "\"><Surprise/></DeviceManagerEventResponse>",
        // a document type declaration is refused by the parser
        "<!DOCTYPE DeviceManagerEventResponse [<!ENTITY e \"DM\">]><DeviceManagerEventResponse requestId=\"" + id +
            "\"><ConnectResponse dmName=\"&e;\" heartBeat=\"9\"/></DeviceManagerEventResponse>",
    };
    for (const std::string& text : bad) {
        ASSERT_TRUE(peer->Send(text));
        Drain();
    }
    EXPECT_TRUE(vdm.Calls().empty());

    // The id is still open and a proper answer is acted on.
    ASSERT_TRUE(peer->Send(ConnectResponse(id)));
    ASSERT_TRUE(vdm.WaitForCalls(1));
    EXPECT_EQ(vdm.Calls()[0], kConnectResponseCall);
}

// A document may name a schema of its own: it is never loaded, so the channel's schema alone
// decides. The named schema exists and takes the answer (in a namespace the channel's schema does
// not know); were it loaded, the ConnectResponse would reach the owner.
TEST_F(SocketDmTest, SchemaNamedByADocumentIsNotLoaded) {
    appData.Write("Other.xsd",
                  "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" targetNamespace=\"urn:other\" "
                  "elementFormDefault=\"qualified\"><xs:element name=\"DeviceManagerEventResponse\"><xs:complexType>"
                  "<xs:sequence><xs:any processContents=\"skip\" minOccurs=\"0\" maxOccurs=\"unbounded\"/>"
                  "</xs:sequence><xs:anyAttribute processContents=\"skip\"/></xs:complexType></xs:element>"
                  "</xs:schema>");
    const std::string id = Connect();
    for (const std::string& hint :
         {"xsi:schemaLocation=\"urn:other file://" + appData.AppData() + "/Other.xsd\"",
          "xsi:schemaLocation=\"urn:other " + appData.AppData() + "/Other.xsd\""}) {
        ASSERT_TRUE(peer->Send("<DeviceManagerEventResponse xmlns=\"urn:other\" "
                               "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" " + hint +
                               " requestId=\"" + id + "\"><Return value=\"Success\" failureReason=\"Success\"/>"
                               "<ConnectResponse apiVersion=\"1.2\" vendor=\"DM maker\" dmName=\"DM\" "
                               "dmVersion=\"4.5\" heartBeat=\"9\"/></DeviceManagerEventResponse>"));
        Drain();
        EXPECT_TRUE(vdm.Calls().empty()) << hint;
    }
    // The same answer under the channel's own schema is acted on.
    ASSERT_TRUE(peer->Send(ConnectResponse(id)));
    ASSERT_TRUE(vdm.WaitForCalls(1));
    EXPECT_EQ(vdm.Calls()[0], kConnectResponseCall);
}

TEST_F(SocketDmTest, OverLongPendingTextIsDroppedAndTheStreamGoesOn) {
    const std::string id = Connect();
    // An answer that never ends, sent in many reads.
    ASSERT_TRUE(peer->Send("<DeviceManagerEventResponse requestId=\"" + id + "\" junk=\""));
    const std::string block(16 * 1024, 'j');
    for (size_t sent = 0; sent < CXmlStreamAssembler::kDefaultMaxPending + block.size(); sent += block.size()) {
        ASSERT_TRUE(peer->Send(block));
    }
    Drain();
    ASSERT_TRUE(peer->Send(ConnectResponse(id)));
    ASSERT_TRUE(vdm.WaitForCalls(1));
    EXPECT_EQ(vdm.Calls()[0], kConnectResponseCall);
}

TEST_F(SocketDmTest, ClosedConnectionTellsTheOwner) {
    peer->Close();
    ASSERT_TRUE(vdm.WaitForCalls(1));
    EXPECT_EQ(vdm.Calls()[0], "DmClose");
}

TEST_F(SocketDmTest, AnswersAreLoggedInTheModuleOfTheirRequest) {
    LogCapture logs;
    CXmlMessage arrival("DeviceManagerEventRequest");
    arrival.Add(arrival.Root(), "Arrival");
    ASSERT_TRUE(dm.SendArrivalDeviceManagerEventRequest(arrival.Document(), 0));
    const std::string arrivalId = RequestIdOf(peer->Read());
    ASSERT_TRUE(dm.SendRemovalDeviceManagerEventRequest(1, "127.0.0.1:5999"));
    const std::string removalId = RequestIdOf(peer->Read());
    ASSERT_TRUE(dm.SendPingDeviceManagerEventRequest("Tessik Biometric VDM"));
    const std::string pingId = RequestIdOf(peer->Read());
    auto failure = [](const std::string& id, const std::string& reason) {
        return "<DeviceManagerEventResponse requestId=\"" + id + "\"><Return value=\"Failure\" failureReason=\"" +
               reason + "\"/></DeviceManagerEventResponse>";
    };
    ASSERT_TRUE(peer->Send(failure(arrivalId, "Success") + Response(removalId) +
                           failure(pingId, "UnableToPerformRequest") + Response(pingId)));
    Drain();

    const std::string prefix = "CSocketDm::ParseDeviceManagerEventResponse: DM Socket(127.0.0.1:" +
                               std::to_string(listener.port()) + ") ";
    const std::string from = " from channel Id = 0(127.0.0.1:" + std::to_string(listener.port()) + ")";
    const std::string fingerprint = logs.Read("Fingerprint");
    EXPECT_NE(fingerprint.find(prefix + "Received \"DeviceArrival\" response with requestId: " + arrivalId + from),
              std::string::npos)
        << fingerprint;
    EXPECT_EQ(fingerprint.find("request failure"), std::string::npos);  // "Failure" with the reason "Success"
    const std::string iris = logs.Read("Iris");
    EXPECT_NE(iris.find(prefix + "Received \"DeviceRemoval\" response with requestId: " + removalId + from),
              std::string::npos)
        << iris;
    const std::string main = logs.Read("TessikVdm");
    EXPECT_NE(main.find("DBG3   : " + prefix + "Received \"Ping\" response with requestId: " + pingId + from),
              std::string::npos)
        << main;
    EXPECT_NE(main.find(prefix + "Ping request failure, failure reason:UnableToPerformRequest."), std::string::npos);
    // The second answer to the Ping finds its id gone.
    EXPECT_NE(main.find(prefix + "The sent requestId:" + pingId + " string not find from channel Id = 0(127.0.0.1:" +
                        std::to_string(listener.port()) + ")."),
              std::string::npos);
}
