// The configuration of the capture library that forwards its algorithm calls to the iris algorithm
// library: initialisation, presence and one automatic capture on the simulated camera.
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <vector>

#include "CaptureRig.h"
#include "ZarnIrisBase.h"
#include "iris/ZarnIrisApi.h"

namespace {

std::mutex g_mutex;
int g_results = 0;
std::vector<uint8_t> g_pixels;

void OnResult(void*, int status, ZarnImageInfo image) {
    std::lock_guard lock(g_mutex);
    EXPECT_EQ(status, 0);
    ++g_results;
    g_pixels.assign(image.image, image.image + size_t(image.width) * image.height);
}

TEST(IrisForwarding, CapturesAnEyeThroughTheAlgorithmLibrary) {
    iriscap::SetIrisWaitScale(0.1);
    capturetest::Bus bus("device left IrisLeft serial 1001 period 15\ndevice right IrisRight serial 1002 period 15\n", 3.0);
    int count = 0;
    ASSERT_EQ(Zarn_IRIS_Main_GetConnectedDevice(&count), 0);
    EXPECT_EQ(count, 2) << "both units are imaging devices";
    ASSERT_EQ(Zarn_IRIS_Main_Initialize(), 0);
    ASSERT_EQ(Zarn_IRIS_Capture_RegisterCallbackResultImage(2, &OnResult, nullptr), 0);
    ASSERT_EQ(Zarn_IRIS_Capture_SetMode(2, 3, 1, 0), 0);
    ASSERT_TRUE(capturetest::WaitUntil([] {
        std::lock_guard lock(g_mutex);
        return g_results > 0;
    }, 60000));
    {
        std::lock_guard lock(g_mutex);
        EXPECT_EQ(g_results, 1);
        // The eye sits in the middle of the frame: the pupil there is far darker than the frame.
        ASSERT_EQ(g_pixels.size(), 640u * 480u);
        double centre = 0, all = 0;
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 640; ++x) {
                all += g_pixels[size_t(y) * 640 + x];
                if (std::hypot(x - 320, y - 240) < 20) centre += g_pixels[size_t(y) * 640 + x];
            }
        EXPECT_LT(centre / (M_PI * 400) + 40, all / (640 * 480));
    }
    EXPECT_EQ(Zarn_IRIS_Main_DeInitialize(), 0);
}

}  // namespace
