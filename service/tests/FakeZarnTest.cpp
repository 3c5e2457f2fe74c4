// The capture-library tables: the table of an absent library, and the scripted iris library
// behaving as the service expects of the real one (threads of its own, synchronous manual results,
// connection polls, one context per camera).
#include "FakeZarn.h"
#include "device/ZarnApi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using fakezarn::FakeIrisLibrary;

TEST(ZarnApi, AbsentLibrariesFindNothing) {
    InstallZarnFpApi(nullptr);
    InstallZarnIrisApi(nullptr);
    EXPECT_TRUE(IsCompleteZarnFpApi(FpApi()));
    EXPECT_TRUE(IsCompleteZarnIrisApi(IrisApi()));
    ZarnConnectedScanners scanners{};
    EXPECT_EQ(FpApi().Zarn_Main_GetConnectedScanner(&scanners), ZARN_ERR_NO_SCANNER);
    EXPECT_EQ(FpApi().Zarn_Main_Initialize(502), ZARN_ERR_NOT_INITIALIZED);
    int count = 5;
    EXPECT_EQ(IrisApi().Zarn_IRIS_Main_GetConnectedDevice(&count), ZARN_ERR_NO_CAMERA);

    ZarnFpApi partial{};
    EXPECT_FALSE(IsCompleteZarnFpApi(partial));
    fakezarn::FakeFpLibrary::Install();
    EXPECT_TRUE(IsCompleteZarnFpApi(FpApi()));
    InstallZarnFpApi(nullptr);
}

namespace {

struct Eye {
    std::atomic<int> previews{0};
    std::atomic<int> results{0};
    std::atomic<int> polls{0};
    std::mutex mutex;
    std::thread::id previewThread, resultThread;
};

void OnPreview(void* context, ZarnImageInfo image) {
    auto* eye = static_cast<Eye*>(context);
    std::lock_guard guard(eye->mutex);
    if (image.width == 64 && image.image != nullptr) eye->previews++;
    eye->previewThread = std::this_thread::get_id();
}
void OnResult(void* context, int status, ZarnImageInfo image) {
    auto* eye = static_cast<Eye*>(context);
    std::lock_guard guard(eye->mutex);
    if (status == 0 && image.isResult == 1) eye->results++;
    eye->resultThread = std::this_thread::get_id();
}
void OnConnected(void* context, int connected) {
    if (connected != 0) static_cast<Eye*>(context)->polls++;
}

bool WaitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 400 && !done(); ++i) std::this_thread::sleep_for(5ms);
    return done();
}

}  // namespace

TEST(FakeIrisLibrary, DeliversLikeTheCameraLibrary) {
    fakezarn::IrisScript script;
    script.autoResultAfterFrames = 3;
    script.calibrationResult = ZARN_ERR_IRIS_CALIBRATION;
    FakeIrisLibrary::Instance().Reset(script);
    FakeIrisLibrary::Install();
    const ZarnIrisApi& api = IrisApi();

    int count = 0;
    EXPECT_EQ(api.Zarn_IRIS_Main_GetConnectedDevice(&count), 0);
    EXPECT_EQ(count, 2);
    ASSERT_EQ(api.Zarn_IRIS_Main_Initialize(), 0);
    Eye left, right;
    ASSERT_EQ(api.Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected(&OnConnected, &left), 0);
    // One context word per camera: the last registration wins.
    ASSERT_EQ(api.Zarn_IRIS_Capture_RegisterCallbackPreviewImage(1, &OnPreview, &left), 0);
    ASSERT_EQ(api.Zarn_IRIS_Capture_RegisterCallbackResultImage(1, &OnResult, &left), 0);
    ASSERT_EQ(api.Zarn_IRIS_Capture_RegisterCallbackPreviewImage(2, &OnPreview, &right), 0);
    ASSERT_EQ(api.Zarn_IRIS_Capture_RegisterCallbackResultImage(2, &OnResult, &right), 0);
    EXPECT_EQ(api.Zarn_IRIS_Capture_RegisterCallbackResultImage(4, &OnResult, &right), ZARN_ERR_BAD_ARGUMENT);

    // Automatic capture of both eyes: previews and one result each, on the cameras' threads.
    ASSERT_EQ(api.Zarn_IRIS_Capture_SetMode(3, 1, 1, 0), 0);
    ASSERT_TRUE(WaitUntil([&] { return left.results == 1 && right.results == 1; }));
    EXPECT_GE(left.previews.load(), 1);
    EXPECT_GE(right.previews.load(), 1);
    {
        std::lock_guard guard(left.mutex);
        EXPECT_NE(left.resultThread, std::this_thread::get_id());
        EXPECT_NE(left.previewThread, std::this_thread::get_id());
    }
    ZarnRunningInfo info{};
    ASSERT_EQ(api.Zarn_IRIS_Main_GetRunningInfo(2, &info), 0);
    EXPECT_EQ(info.iris.done, 1);
    EXPECT_EQ(info.iris.aborted, 0);

    // A manual result of the right eye comes on the caller's thread before the call returns.
    ASSERT_EQ(api.Zarn_IRIS_Capture_SetMode(2, 1, 0, 0), 0);
    ASSERT_EQ(api.Zarn_IRIS_Capture_TakeResultImage(2), 0);
    EXPECT_EQ(right.results.load(), 2);
    EXPECT_EQ(left.results.load(), 1);
    {
        std::lock_guard guard(right.mutex);
        EXPECT_EQ(right.resultThread, std::this_thread::get_id());
    }

    EXPECT_EQ(api.Zarn_IRIS_Capture_Abort(), 0);
    ASSERT_EQ(api.Zarn_IRIS_Main_GetRunningInfo(1, &info), 0);
    EXPECT_EQ(info.iris.aborted, 1);
    EXPECT_EQ(api.Zarn_IRIS_Capture_Calibration(3), ZARN_ERR_IRIS_CALIBRATION);
    EXPECT_EQ(api.Zarn_IRIS_Controls_Beeper(1), ZARN_ERR_NOT_SUPPORTED);
    ASSERT_TRUE(WaitUntil([&] { return left.polls >= 2; }));

    EXPECT_EQ(api.Zarn_IRIS_Main_DeInitialize(), 0);
    FakeIrisLibrary::Instance().Reset();
    InstallZarnIrisApi(nullptr);
}

namespace {

struct Scanner {
    std::atomic<int> previews{0}, qualities{0}, results{0}, polls{0};
    std::atomic<int> lastQuality{-1};
    std::mutex mutex;
    std::thread::id previewThread, resultThread;
};

void OnFpPreview(void* context, ZarnImageInfo image) {
    auto* scanner = static_cast<Scanner*>(context);
    std::lock_guard guard(scanner->mutex);
    if (image.image != nullptr && image.width == 80 && image.height == 60) scanner->previews++;
    scanner->previewThread = std::this_thread::get_id();
}
void OnFpQuality(void* context, int state, int* quality, int count) {
    auto* scanner = static_cast<Scanner*>(context);
    if (state == 2 && count == 2) {
        scanner->lastQuality = quality[1];
        scanner->qualities++;
    }
}
void OnFpResult(void* context, int status, ZarnImageInfo image, int type, int) {
    auto* scanner = static_cast<Scanner*>(context);
    std::lock_guard guard(scanner->mutex);
    if (status == 0 && image.isResult == 1 && type == ZARN_IMAGE_SLAP_LEFT) scanner->results++;
    scanner->resultThread = std::this_thread::get_id();
}
void OnFpConnected(void* context, int connected) {
    if (connected != 0) static_cast<Scanner*>(context)->polls++;
}

}  // namespace

TEST(FakeFpLibrary, DeliversLikeTheScannerLibrary) {
    fakezarn::FpScript script;
    script.qualityState = 2;
    script.quality = {3, 5};
    fakezarn::FakeFpLibrary::Instance().Reset(script);
    fakezarn::FakeFpLibrary::Install();
    const ZarnFpApi& api = FpApi();

    ZarnConnectedScanners scanners{};
    ASSERT_EQ(api.Zarn_Main_GetConnectedScanner(&scanners), 0);
    EXPECT_EQ(scanners.entries[ZARN_FAMILY_PLOVER_A], 1);
    ASSERT_EQ(api.Zarn_Main_Initialize(502), 0);
    Scanner scanner;
    ASSERT_EQ(api.Zarn_Capture_RegisterCallbackPreviewImage(&OnFpPreview, &scanner), 0);
    ASSERT_EQ(api.Zarn_Capture_RegisterCallbackObjectQuality(&OnFpQuality, &scanner), 0);
    ASSERT_EQ(api.Zarn_Capture_RegisterCallbackResultImage(&OnFpResult, &scanner), 0);
    ASSERT_EQ(api.Zarn_Capture_RegisterCallbackDeviceIsConnected(&OnFpConnected, &scanner), 0);
    EXPECT_EQ(api.Zarn_Capture_RegisterCallbackFootSwitch(nullptr, &scanner), ZARN_ERR_BAD_ARGUMENT);

    int w = 0, h = 0, x = 0, y = 0;
    EXPECT_EQ(api.Zarn_Capture_SetMode(33, 500, 1, 0, &w, &h, &x, &y), ZARN_ERR_NOT_SUPPORTED);
    ASSERT_EQ(api.Zarn_Capture_SetMode(ZARN_IMAGE_SLAP_LEFT, 500, 1, 0, &w, &h, &x, &y), 0);
    ASSERT_EQ(api.Zarn_Capture_Start(4, 1), 0);
    EXPECT_EQ(api.Zarn_Capture_Start(4, 1), ZARN_ERR_CAPTURE_STATE);
    // Previews and qualities come from the library's own thread, connection polls every 100 ms.
    ASSERT_TRUE(WaitUntil([&] { return scanner.previews >= 3 && scanner.qualities >= 3 && scanner.polls >= 1; }));
    EXPECT_EQ(scanner.lastQuality.load(), 5);
    {
        std::lock_guard guard(scanner.mutex);
        EXPECT_NE(scanner.previewThread, std::this_thread::get_id());
    }

    // A manual result: taken, then delivered inside the acquire call on the caller's thread.
    ASSERT_EQ(api.Zarn_Capture_TakeResultImage(), 0);
    ASSERT_EQ(api.Zarn_Capture_AcquireResultImage(), 0);
    EXPECT_EQ(scanner.results.load(), 1);
    {
        std::lock_guard guard(scanner.mutex);
        EXPECT_EQ(scanner.resultThread, std::this_thread::get_id());
    }
    ZarnRunningInfo info{};
    ASSERT_EQ(api.Zarn_Main_GetRunningInfo(&info), 0);
    EXPECT_EQ(info.fingerprint.resultTaken, 1);
    EXPECT_EQ(info.fingerprint.finished, 1);
    EXPECT_EQ(api.Zarn_Capture_TakeResultImage(), ZARN_ERR_CAPTURE_FINISHED);

    // Unplugged: the poll says so.
    fakezarn::FakeFpLibrary::Instance().SetConnected(false);
    const int polls = scanner.polls.load();
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(scanner.polls.load(), polls);
    EXPECT_EQ(api.Zarn_Main_GetConnectedScanner(&scanners), ZARN_ERR_NO_SCANNER);

    EXPECT_EQ(api.Zarn_Main_DeInitialize(), 0);
    fakezarn::FakeFpLibrary::Instance().Reset();
    InstallZarnFpApi(nullptr);
}
