// The process-wide parameter block, its accessors, the stretch table, the version text and the
// message table.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "LiveScanAlgInternal.h"

namespace LiveScanAlg {

char ErrorMessage[kErrorMessageRows][kErrorMessageLength];

namespace {

constexpr int kDefaultWorkingBufferSize = 13138944;  // one 2912 x 4512 frame

// Creation, destruction and working-buffer changes happen under this lock; readers of a created
// block take the atomic pointer without it.
std::mutex g_blockLock;
std::atomic<StitchParameterType*> g_block{nullptr};
std::atomic<int> g_workingBufferSize{kDefaultWorkingBufferSize};

void SetDefaults(StitchParameterType* p) {
  const float base = 90000.0f;
  p->MaxFrameNumber = 0x7FFFFFFF;
  p->WhiteLevelThreshold = 208;
  p->DarkLevelThreshold = 64;
  p->DynamicRangeThreshold = 28;
  p->CoverageLimit = 1000;
  p->Reserved20[0] = 12;
  p->Reserved20[1] = 25;
  p->Reserved20[2] = 3;
  p->ProfileThreshold = 10;
  p->Reserved36 = 10;
  p->MosaicHeightLimit = 300;
  p->MosaicCentreMargin = 700;
  p->MosaicMinWidth = 300;
  p->Reserved52 = 1100;
  p->MosaicMinArea = 90000;
  p->Reserved60[0] = 2100;
  p->Reserved60[1] = 3300;
  p->Reserved60[2] = 2;
  p->Reserved60[3] = 0;
  p->Reserved60[4] = 1;
  p->RollBackThreshold = -225;
  p->Reserved84 = 0;
  p->Reserved88 = 64;
  p->Reserved92 = 44;
  p->Reserved96 = 70;
  p->SlidingSADMeanThreshlod = 58;
  p->SlidingPercentageThreshold = 0.115f;
  p->EdgeLabel = 48;
  p->OverlapLabel = 112;
  p->Reserved110 = 32;
  p->NewLabel = 80;
  p->Reserved112[0] = 32;
  p->Reserved112[1] = 255;
  p->Reserved112[2] = 255;
  p->Reserved112[3] = 235;
  p->Reserved116 = 127;
  p->SaturatedLabel = 144;
  p->Reserved124 = 251;
  p->LowBrightnessThreshold = 0;
  p->SmallDynamicRangeThreshold = 0;
  p->BackGroundBoarderthickness = 20;
  p->FingerLevelThreshold = 192;
  p->DirtySensorWindow1Threshold = static_cast<int32_t>(base * 0.55f);
  p->SlideDetectionStatus = 0;
  p->SlidingPixelCounter = 33768;
  p->MinOverlapCount = static_cast<int32_t>(base * 0.1f);
  p->MinFirstFrameCount = 58000;
  p->MeanThreshold = 192.0f;
  p->VarThreshold = 400.0f;
  const float reserved[15] = {680.0f, 150.0f, -1.0f, 0.0f,   0.0f, 10.0f, -1.0f, 999999.0f,
                              6029.0f, 0.0f,  -1.0f, 0.0f,   0.0f, 100.0f, -1.0f};
  std::memcpy(p->Reserved2588, reserved, sizeof reserved);
  const uint32_t bits = 0x45C5D399u;  // 6330.4497
  std::memcpy(&p->Reserved2588[9], &bits, sizeof bits);
  p->SaturetionThreshold = 0.3f;
  p->NoiseLevelThreshold = 9;
  p->SignalLevelThreshold = 120;
  p->MaskLevelThreshold = 50;
  p->Reserved2680[0] = 146;
  p->Reserved2680[1] = 227;
  p->MaskMinRegionSize = static_cast<int32_t>(base * 0.1f);
  p->MaskMaxRegions = 12;
  p->BackgroundCallCount = 0;
  p->MaskRegionFilter = 1;
  p->RollBeginBuffSize = 0x100000;
}

void BuildVersion(StitchParameterType* p) {
  int year = 0, month = 0, day = 0;
  const int dayNumber = GetBuildDayOfYear(__DATE__, &year, &month, &day);
  p->BackgroundUpdateDisabled = 0;
  std::snprintf(p->Version, sizeof p->Version, "1.5.%d.1--Compiled Date:%s,%s", dayNumber,
                __DATE__, __TIME__);
}

}  // namespace

// The distortion module replaces this with its own definition when it is linked in.
__attribute__((weak)) void ReleaseDistortionMaps() {}

int GetWorkingBufferSize() { return g_workingBufferSize.load(); }

int GetBuildDayOfYear(const char* dateText, int* year, int* month, int* day) {
  static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int m = 12;
  for (int i = 0; i < 12; ++i) {
    if (std::strncmp(dateText, kMonths[i], 3) == 0) {
      m = i;
      break;
    }
  }
  int d = 0, y = 0;
  if (std::strlen(dateText) >= 3) std::sscanf(dateText + 3, "%d%d", &d, &y);
  // Calendar days between two midnights, counted in UTC so that no zone's offset changes between
  // the two dates can shift the count by an hour (and the truncated result by a day).
  std::tm base{};
  base.tm_year = 2011 - 1900;
  base.tm_mon = 0;
  base.tm_mday = 0;
  std::tm built{};
  built.tm_year = y - 1900;
  built.tm_mon = m;
  built.tm_mday = d;
  const std::time_t t0 = timegm(&base);
  const std::time_t t1 = timegm(&built);
  if (year) *year = y;
  if (month) *month = m;
  if (day) *day = d;
  return static_cast<int>(static_cast<long long>(t1 - t0) / 3600 / 24);
}

void BuildStretchTable(unsigned char** table, int minimumRange, int offset, int /*reserved*/) {
  std::free(*table);
  *table = static_cast<unsigned char*>(std::malloc(256 * 256));
  if (!*table) return;
  unsigned char* t = *table;
  const float scale = static_cast<float>(255 + offset);
  for (int r = 1; r < 256; ++r) {
    const float range = static_cast<float>(r > minimumRange ? r : minimumRange);
    for (int v = 0; v < 256; ++v) {
      const float f = static_cast<float>(v) * scale / range - 18.0f;
      int value = static_cast<int>(f);  // toward zero
      if (value < 0) value = 0;
      if (value > 255) value = 255;
      t[r * 256 + v] = static_cast<unsigned char>(value);
    }
  }
  std::memcpy(t, t + 256, 256);
}

StitchParameterType* CreateLiveScanParameter() {
  auto* p = static_cast<StitchParameterType*>(std::calloc(1, sizeof(StitchParameterType)));
  if (!p) return nullptr;
  SetDefaults(p);
  BuildVersion(p);
  p->StretchOffset = 9;
  p->StretchReserved = 10;
  p->StretchMinimumRange = 50;
  BuildStretchTable(&p->StretchTable, 50, 9, 10);
  p->WorkingBuffer =
      static_cast<unsigned char*>(std::calloc(static_cast<std::size_t>(GetWorkingBufferSize()), 1));
  if (!p->WorkingBuffer) {
    FreeLiveScanParameter(&p);
    return nullptr;
  }
  CreateDefectLine(&p->DefectLine);  // a missing list is checked where it is used
  return p;
}

void FreeLiveScanParameter(StitchParameterType** block) {
  if (!block || !*block) return;
  StitchParameterType* p = *block;
  std::free(p->WorkingBuffer);
  std::free(p->ThirdBuffer);
  std::free(p->StretchTable);
  void* list = p->DefectLine;
  DestroyDefectLine(&list);
  std::free(p);
  *block = nullptr;
}

StitchParameterType* GetParameter() {
  StitchParameterType* p = g_block.load(std::memory_order_acquire);
  if (p) return p;
  std::lock_guard<std::mutex> lock(g_blockLock);
  p = g_block.load(std::memory_order_relaxed);
  if (!p) {
    p = CreateLiveScanParameter();
    g_block.store(p, std::memory_order_release);
  }
  return p;
}

void DestroyLiveScanParameter() {
  {
    std::lock_guard<std::mutex> lock(g_blockLock);
    StitchParameterType* p = g_block.exchange(nullptr, std::memory_order_acq_rel);
    FreeLiveScanParameter(&p);
  }
  ReleaseDistortionMaps();
}

char* GetStitchDLLVersion() {
  StitchParameterType* p = GetParameter();
  return p ? p->Version : nullptr;
}

int ReAllocateWorkingBuffer(int size) {
  StitchParameterType* p = GetParameter();
  if (!p) return LSA_NO_MEMORY;
  if (size < GetWorkingBufferSize()) {
    std::printf("Are you sure you want to reduce working buffer size?\n");
    std::fflush(stdout);
  }
  if (size < 1) return LSA_NO_MEMORY;  // nothing to allocate; keep the buffer there is
  // Allocate before freeing, so a failure leaves the old buffer and size in place.
  auto* fresh = static_cast<unsigned char*>(std::calloc(static_cast<std::size_t>(size), 1));
  if (!fresh) return LSA_NO_MEMORY;
  std::lock_guard<std::mutex> lock(g_blockLock);
  std::free(p->WorkingBuffer);
  p->WorkingBuffer = fresh;
  g_workingBufferSize.store(size);
  return LSA_PASSED;
}

unsigned char* GetWorkingBufferOfSize(std::size_t bytes) {
  StitchParameterType* p = GetParameter();
  if (!p) return nullptr;
  std::lock_guard<std::mutex> lock(g_blockLock);
  const auto have = static_cast<std::size_t>(g_workingBufferSize.load());
  if (p->WorkingBuffer && have >= bytes) return p->WorkingBuffer;
  if (bytes > static_cast<std::size_t>(0x7FFFFFFF)) return nullptr;
  auto* fresh = static_cast<unsigned char*>(std::calloc(bytes, 1));
  if (!fresh) return nullptr;
  std::free(p->WorkingBuffer);
  p->WorkingBuffer = fresh;
  g_workingBufferSize.store(static_cast<int>(bytes));
  return fresh;
}

void InitializeErrorMessage() {
  static const char* const kTexts[39] = {
      "You Passed!",
      "Invalid Input Parameters!",
      "Invalid Input Parameters1!",
      "Invalid Input Parameters2!",
      "Invalid Input Parameters3!",
      "Invalid Input Parameters4!",
      "Invalid Input Parameters5!",
      "Invalid Input Parameters6!",
      "Invalid Input Parameters7!",
      "Invalid Input Parameters8!",
      "Invalid Input Parameters9!",
      "Invalid Input Pointer!",
      "Can't Allocate Memory!",
      "Can't Open File!",
      "Can't Open Image File!",
      "Can't Read Image Data!",
      "Can't Open Capture Device,Please connect the fingerprint sensor to your computer or check "
      "whether its driver is installed!",
      "The sensor window might be dirty,please clean it before you capture fingerprints!",
      "The sensor might be Low Contrast!Please caliberate it!",
      "The sensor might be Low Explosure!Please caliberate it!",
      "The sensor might be Low Explosure!Please caliberate it!",
      "TooWhite,If you have placed your finger quite hard on the sensor,then the brightenss of "
      "the sensor might be too big or the contrast is too low!",
      "The brightenss of the sensor might be too small",
      "SmallDynamicRange,If you have placed your finger quite hard on the sensor,then the "
      "contrast  of the sensor is too low!",
      "SmallVar,If you have placed your finger quite hard on the sensor,then the contrast  of the "
      "sensor is too low!",
      "Your rolling speed is too fast, please try pressing harder and rolling a little more "
      "slowly!",
      "Your rolling speed is too slow, please try rolling a little more faster!",
      "Don't leave or roll backwards until you Ft rolling all area of your finger!",
      "Don't slide your finger during rolling!",
      "MosaickedImageForeGroundTooSmall!",
      "MosaickedForeGroundWidthTooSmall,please roll a little faster!",
      "MosaickedForeGroundHeightTooSmall!",
      "MosaickedForeGroundWidthTooSmall because your finger left,rolled backwards or slided "
      "before complete fingerprint is sampled!",
      "MosaickedImageCenterTooLow,please place your finger a little higher!",
      "MosaickedImageCenterTooHigh,please place your finger a little Lower!",
      "MosaickedImageQualityTooLow!",
      "Dry finger !Please press harder or Calibrate the seosor with Lower sensor brightness and "
      "higher contrast!",
      "Wet finger !Please press slighter or Calibrate the seosor with higher sensor brightness "
      "and higher contrast!",
      "If your finger is on the sensor,please remove it from the sensor",
  };
  for (int i = 0; i < 39; ++i) {
    std::snprintf(ErrorMessage[i], kErrorMessageLength, "%s", kTexts[i]);
  }
}

// ---------------------------------------------------------------------------------------------
// Accessors: without a block (memory exhausted) a Set does nothing and every call returns 0.
// ---------------------------------------------------------------------------------------------
namespace {
template <typename T>
T Exchange(T StitchParameterType::*field, T value) {
  StitchParameterType* p = GetParameter();
  if (!p) return T{};
  const T previous = p->*field;
  p->*field = value;
  return previous;
}
template <typename T>
T Read(T StitchParameterType::*field) {
  StitchParameterType* p = GetParameter();
  return p ? p->*field : T{};
}
}  // namespace

int SetMaxFrameNumber(int v) { return Exchange(&StitchParameterType::MaxFrameNumber, v); }
int GetMaxFrameNumber() { return Read(&StitchParameterType::MaxFrameNumber); }
int SetLowBrightnessThreshold(int v) {
  return Exchange(&StitchParameterType::LowBrightnessThreshold, v);
}
int GetLowBrightnessThreshold() { return Read(&StitchParameterType::LowBrightnessThreshold); }
int SetSmallDynamicRangeThreshold(int v) {
  return Exchange(&StitchParameterType::SmallDynamicRangeThreshold, v);
}
int GetSmallDynamicRangeThreshold() {
  return Read(&StitchParameterType::SmallDynamicRangeThreshold);
}
int SetBackGroundBoarderthickness(int v) {
  return Exchange(&StitchParameterType::BackGroundBoarderthickness, v);
}
int GetBackGroundBoarderthickness() {
  return Read(&StitchParameterType::BackGroundBoarderthickness);
}
int SetSlideDetectionStatus(int v) {
  return Exchange(&StitchParameterType::SlideDetectionStatus, v);
}
int GetSlideDetectionStatus() { return Read(&StitchParameterType::SlideDetectionStatus); }
int SetSlidingPixelCounter(int v) { return Exchange(&StitchParameterType::SlidingPixelCounter, v); }
int GetSlidingPixelCounter() { return Read(&StitchParameterType::SlidingPixelCounter); }
float SetSlidingPercentageThreshold(float v) {
  return Exchange(&StitchParameterType::SlidingPercentageThreshold, v);
}
float GetSlidingPercentageThreshold() {
  return Read(&StitchParameterType::SlidingPercentageThreshold);
}
int SetSlidingSADMeanThreshlod(int v) {
  return Exchange(&StitchParameterType::SlidingSADMeanThreshlod, v);
}
int SetRollBackThreshold(int v) { return Exchange(&StitchParameterType::RollBackThreshold, v); }
int GetRollBackThreshold() { return Read(&StitchParameterType::RollBackThreshold); }
float SetVarThreshold(float v) { return Exchange(&StitchParameterType::VarThreshold, v); }
float GetVarThreshold() { return Read(&StitchParameterType::VarThreshold); }
float SetMeanThreshold(float v) { return Exchange(&StitchParameterType::MeanThreshold, v); }
float GetMeanThreshold() { return Read(&StitchParameterType::MeanThreshold); }
int SetDirtySensorWindow1Threshold(int v) {
  return Exchange(&StitchParameterType::DirtySensorWindow1Threshold, v);
}
int GetDirtySensorWindow1Threshold() {
  return Read(&StitchParameterType::DirtySensorWindow1Threshold);
}
float SetSaturetionThreshold(float v) {
  return Exchange(&StitchParameterType::SaturetionThreshold, v);
}
float GetSaturetionThreshold() { return Read(&StitchParameterType::SaturetionThreshold); }
unsigned char SetNoiseLevelThreshold(unsigned char v) {
  return Exchange(&StitchParameterType::NoiseLevelThreshold, v);
}
unsigned char GetNoiseLevelThreshold() { return Read(&StitchParameterType::NoiseLevelThreshold); }
unsigned char SetSignalLevelThreshold(unsigned char v) {
  return Exchange(&StitchParameterType::SignalLevelThreshold, v);
}
unsigned char GetSignalLevelThreshold() {
  return Read(&StitchParameterType::SignalLevelThreshold);
}
int SetRollBeginBuffSize(int size) {
  if (size >= 0) {
    if (StitchParameterType* p = GetParameter()) p->RollBeginBuffSize = size;
  }
  return size;
}

}  // namespace LiveScanAlg
