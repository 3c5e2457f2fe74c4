#pragma once
// What the device object tests share: the port of a channel URI, an attribute of an XML answer, the
// wait for a device state, and a fixture base with the test's App_Data, the core object double and
// an enrolment-client double that sends commands on a device channel, keeping the events that
// arrive before an answer for ReadEvent, and the log of the client channel's two handlers.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "FakeVdm.h"
#include "LogCapture.h"
#include "TestAppData.h"
#include "XmlPeer.h"
#include "device/BaseDevice.h"

// The port of an "ip:port" URI; 0 without a colon.
inline int PortOf(const std::string& uri) {
    const size_t colon = uri.rfind(':');
    return colon == std::string::npos ? 0 : std::stoi(uri.substr(colon + 1));
}

// The value of the first attribute `name` in a document; empty when there is none.
inline std::string AttributeOf(const std::string& document, const std::string& name) {
    size_t at = document.find(name + "=\"");
    if (at == std::string::npos) return {};
    at += name.size() + 2;
    return document.substr(at, document.find('"', at) - at);
}

// Polls the device's state for up to 2 s; true once it is `state`.
inline bool WaitForDeviceState(CBaseDevice& device, int state) {
    for (int i = 0; i < 400; ++i) {
        if (device.GetState() == state) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

class DeviceChannelTest : public ::testing::Test {
protected:
    // Connects the client to the device channel of an open device; the core object's record of
    // the connection is checked and then forgotten.
    void ConnectClient(CBaseDevice& device) {
        ASSERT_TRUE(client.Connect(PortOf(device.GetDeviceURI())));
        ASSERT_TRUE(vdm.WaitForCalls(1));
        vdm.ClearCalls();
    }
    // Calls the device's handlers of a closed and of a failed client channel, as the channel does,
    // and returns what they wrote into the log module; each must report that the client has gone.
    std::string ClientChannelGoneLog(IDevice& device, const std::string& module) {
        LogCapture logs;
        EXPECT_EQ(device.ProcessSocketDeviceCloseEventCallback(), 1);
        EXPECT_EQ(device.ProcessSocketDeviceErrorEventCallback(), 1);
        EXPECT_TRUE(vdm.WaitForCalls(2));
        return logs.Read(module);
    }
    // Sends a command and returns its answer; events that come first are kept for ReadEvent.
    std::string Command(const std::string& command, const std::string& id) {
        EXPECT_TRUE(client.Send("<DeviceCommandRequest requestId=\"" + id + "\">" + command +
                                "</DeviceCommandRequest>"));
        for (;;) {
            std::string document = client.Read();
            if (document.rfind("<DeviceEventRequest", 0) != 0) return document;
            events.push_back(document);
        }
    }
    // The next event: a kept one first, else one read within the wait (empty when none came).
    std::string ReadEvent(int timeoutMs = 3000) {
        if (events.empty()) return client.Read(timeoutMs);
        std::string event = events.front();
        events.erase(events.begin());
        return event;
    }
    // StartCapture of a position, with the comma-separated MissingBiometric positions and, when
    // `manual` is false, allowManualCapture="false".
    std::string Start(const std::string& position, const std::string& id, const std::string& missing = "",
                      bool manual = true) {
        std::string body = "<StartCapture biometricPosition=\"" + position + "\"" +
                           (manual ? "" : " allowManualCapture=\"false\"");
        if (missing.empty()) return Command(body + "/>", id);
        body += "><MissingBiometrics>";
        for (size_t at = 0; at < missing.size();) {
            size_t end = missing.find(',', at);
            if (end == std::string::npos) end = missing.size();
            body += "<MissingBiometric biometricPosition=\"" + missing.substr(at, end - at) + "\"/>";
            at = end + 1;
        }
        return Command(body + "</MissingBiometrics></StartCapture>", id);
    }

    TestAppData appData;
    FakeVdm vdm;
    XmlPeer client;
    std::vector<std::string> events;
};
