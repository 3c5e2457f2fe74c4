#include "zarn/SampleGrabberBase.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/VideoCapture.h"

namespace {

using namespace platform::video;

struct Seen {
    double time = -1;
    uint8_t* buffer = nullptr;
    long length = -1;
    int calls = 0;
} g_seen;

HRESULT RecordFrame(double time, uint8_t* buffer, long length) {
    g_seen = {time, buffer, length, g_seen.calls + 1};
    return 0x1234;  // passed back unchanged
}

TEST(SampleGrabberBase, AnswersItsTwoInterfacesWithoutCountingReferences) {
    CSampleGrabberBase cb;
    void* object = nullptr;
    EXPECT_EQ(cb.QueryInterface(IID_ISampleGrabberCB, &object), S_OK);
    EXPECT_EQ(object, static_cast<SampleGrabberCB*>(&cb));
    object = nullptr;
    EXPECT_EQ(cb.QueryInterface(IID_IUnknown, &object), S_OK);
    EXPECT_EQ(object, static_cast<SampleGrabberCB*>(&cb));
    const platform::Guid other = {0x12345678, 1, 2, {3}};
    EXPECT_EQ(cb.QueryInterface(other, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(cb.QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(cb.AddRef(), 2u);
    EXPECT_EQ(cb.AddRef(), 2u);
    EXPECT_EQ(cb.Release(), 1u);
    MediaSample sample;
    EXPECT_EQ(cb.SampleCB(1.0, &sample), S_OK);
}

TEST(SampleGrabberBase, ForwardsEachFrameFromTheGrabberToItsFrameFunction) {
    CSampleGrabberBase cb;
    std::vector<uint8_t> frame(640 * 480, 7);
    // Before a frame function is stored, frames are refused, not taken.
    EXPECT_EQ(cb.BufferCB(0.5, frame.data(), long(frame.size())), E_FAIL);
    EXPECT_EQ(g_seen.calls, 0);

    cb.SetBufferFunction(&RecordFrame);
    EXPECT_EQ(cb.GetBufferFunction(), &RecordFrame);
    SampleGrabber grabber;
    ASSERT_EQ(grabber.SetCallback(&cb, 1), S_OK);
    grabber.Deliver(2.25, frame.data(), long(frame.size()));
    EXPECT_EQ(g_seen.calls, 1);
    EXPECT_EQ(g_seen.time, 2.25);
    EXPECT_EQ(g_seen.buffer, frame.data());
    EXPECT_EQ(g_seen.length, long(frame.size()));
    EXPECT_EQ(cb.BufferCB(3.0, nullptr, 0), 0x1234);
    EXPECT_EQ(g_seen.buffer, nullptr);
    EXPECT_EQ(g_seen.length, 0);
    ASSERT_EQ(grabber.SetCallback(nullptr, 1), S_OK);
}

}  // namespace
