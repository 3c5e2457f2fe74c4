// ZarnScannerBase: camera properties, waiting for frames, stream start, the exposure search, the
// calibration passes, scaling and the base full-mode result.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "zarn/ZarnTraceLogger.h"

#include "ZarnScannerBase.h"

using namespace platform::video;

std::atomic<int> ZarnScannerBase::s_nWaitScale{1};
std::atomic<int> ZarnScannerBase::s_nCancelCalibration{0};

namespace {
void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
unsigned Low(const void* p) { return unsigned(reinterpret_cast<uintptr_t>(p)); }
}  // namespace

int ZarnScannerBase::SetVideoProp(int index, int value) {
    ZarnTrace().Log(5, "Enter ZarnScannerBase::SetVideoProp(%d, %d)", index, value);
    HRESULT hr = 0;
    auto refuse = [&](int level, const char* format, auto... args) {
        ZarnTrace().Log(level, format, args...);
        ZarnTrace().Log(5, "Exit  ZarnScannerBase::SetVideoProp()=0x%x", unsigned(hr));
        return 0;
    };
    if (index < 0 || index >= kPropertyCount) return refuse(5, "Err: SetVideoProp index %d out of range", index);
    if (!m_bPropSupported[index]) return refuse(5, "Err: Property %d is no support", index);
    if (index == kPropExposure) {
        auto control = CamControl();
        if (!control) return refuse(5, "Err: Set CameraControl is NULL");
        hr = control->Set(CameraControl_Exposure, value, CameraControl_Flags_Manual);
    } else {
        auto procAmp = ProcAmp();
        if (!procAmp) return refuse(5, "Err: Set VideoProp device is NULL");
        ZarnTrace().Log(5, "****: %d, %d", index, value);
        hr = procAmp->Set(index, value, VideoProcAmp_Flags_Manual);
        ZarnTrace().Log(5, "****: %d, %d", index, value);
    }
    if (hr != 0) return refuse(5, "Err: SetVideoProp index %d value %d failed 0x%x", index, value, unsigned(hr));
    m_nPropValue[index] = value;
    m_nPropFlags[index] = VideoProcAmp_Flags_Manual;
    ZarnTrace().Log(5, "Exit  ZarnScannerBase::SetVideoProp(%d, %d)=0", index, value);
    return 1;
}

int ZarnScannerBase::GetVideoNoProc(int property) {
    ZarnTrace().Log(5, "Enter ZarnScannerBase::GetVideoNoProc(%d)", property);
    HRESULT hr = E_FAIL;
    long value = 0, flags = 0;
    if (property >= 0 && property < kPropertyCount) {
        if (property == kPropExposure) {
            if (auto control = CamControl()) hr = control->Get(CameraControl_Exposure, &value, &flags);
        } else if (auto procAmp = ProcAmp()) {
            hr = procAmp->Get(property, &value, &flags);
        }
        if (hr == S_OK) {
            m_nPropValue[property] = int(value);
            m_nPropFlags[property] = int(flags);
        }
    }
    ZarnTrace().Log(5, "Exit  ZarnScannerBase::GetVideoNoProc()=0x%x, Err = %d", unsigned(hr), hr == S_OK ? 0 : 1);
    return hr == S_OK ? 1 : 0;
}

// No frame came: stop the stream (the capture state stays as it is) and rebuild and run the graph
// of the current mode.
int ZarnScannerBase::RestartGraph() {
    StopStream();
    const int mode = m_nVideoMode.load();
    const int result = ChageVideoMode(mode, 1);
    if (result != 0) return result;
    SetVideoProp(kPropFrameSizeMode, FrameSizeModeOf(mode));
    return 0;
}

int ZarnScannerBase::RefreshFrame() {
    ZarnTrace().Log(4, "Enter RefreshFrame()");
    if (CalibrationCancelled()) {
        ZarnTrace().Log(0, "Exit  RefreshFrame()= %d, the calibration was cancelled", int(ZARN_ERR_CALIBRATION));
        return ZARN_ERR_CALIBRATION;
    }
    m_nSavedRawFrozen = 0;
    m_nFrameReady = 0;
    m_nFrameRequest = 1;
    int result = ZARN_ERR_CAMERA_STEP;
    for (int round = 0; round < 2 && result != 0; ++round) {
        const int pollMs = 10 * std::max(1, s_nWaitScale.load());
        for (int i = 0; i < 300; ++i) {
            SleepMs(pollMs);
            if (m_nFrameReady.load() == 1) {
                result = 0;
                break;
            }
            if (CalibrationCancelled()) break;
        }
        if (result == 0) break;
        if (CalibrationCancelled()) {
            result = ZARN_ERR_CALIBRATION;
            break;
        }
        const int restart = RestartGraph();
        if (restart != 0) {
            result = restart;
            break;
        }
        m_nStreamRunning = 1;
        m_nFrameRequest = 1;
        if (m_nFrameReady.load() == 1) result = 0;
    }
    ZarnTrace().Log(4, "Exit  RefreshFrame()= %d", result);
    return result;
}

int ZarnScannerBase::RefreshFrameEnhance() {
    ZarnTrace().Log(4, "Enter ZarnScannerBase::RefreshFrameEnhance()");
    int result = ZARN_ERR_CAMERA_STEP;
    for (int round = 0; round < 2; ++round) {
        if (RefreshFrame() == 0) {
            result = 0;
            break;
        }
        if (CalibrationCancelled()) {
            result = ZARN_ERR_CALIBRATION;
            break;
        }
        const int restart = RestartGraph();
        if (restart != 0) {
            result = restart;
            break;
        }
    }
    ZarnTrace().Log(result == 0 ? 4 : 0, "Exit  RefreshFrameEnhance()= %d", result);
    return result;
}

int ZarnScannerBase::CheckCurrentExposure(uint8_t* image, int round, int exposure, int* direction) {
    ZarnTrace().Log(3, "Enter ZarnScannerBase::CheckCurrentExposure(0x%x, %d, %d, 0x%x)", Low(image), round, exposure,
                    Low(direction));
    if (exposure < m_nExposureMin || exposure > m_nExposureMax) {
        ZarnTrace().Log(0, "Desired exposure value is out of range %d (%d, %d)", exposure, m_nExposureMin, m_nExposureMax);
        return -1;
    }
    const int mode = m_nVideoMode.load();
    if (m_nScannerType == 503 || m_nScannerType == 601 || (m_nScannerType == 602 && mode != TK_VIDEO_ROLL))
        SetVideoProp(kPropBrightness, exposure);
    SetVideoProp(kPropExposure, exposure);
    int result = RefreshFrameEnhance();
    if (result != 0) return result;
    const FrameGeometry& g = mode == TK_VIDEO_FULL ? m_FullImage : mode == TK_VIDEO_PREV ? m_PreviewImage : m_RollImage;
    std::memset(image, 0, size_t(m_FullImage.bytes));
    std::memcpy(image, m_pSavedRaw, size_t(g.width) * size_t(g.height));
    float mean = 0, variance = 0, saturation = 0;
    const int nRet = MM_CheckSensor2(g.height, g.width, image, &mean, &variance, &saturation);
    m_nLastSensorResult = nRet;
    ZarnTrace().Log(3,
                    "Called CheckSensor2(), nRet = %d, nExposure = %d, Mean1 = %lf, Var1 = %lf, SaturetionValue = %lf",
                    nRet, exposure, double(mean), double(variance), double(saturation));
    const bool noDecision = ((m_nScannerType == 503 || m_nScannerType == 601) && mode != TK_VIDEO_FULL) ||
                            (m_nScannerType == 602 && mode == TK_VIDEO_PREV);
    if (noDecision) {
        *direction = 0;
        ZarnTrace().Log(3, "Exit  ZarnScannerBase::CheckCurrentExposure()=%d, direction=%d", 0, *direction);
        return 0;
    }
    if (variance > 1000.0f) ZarnTrace().SaveDebugBitmap(1, 0, "VarTooLarge", image, g.width, g.height);
    int level = 5;
    if (nRet == 0 && round == 0) {
        *direction = -1, level = 3;
    } else if (nRet == 0) {
        if (*direction != -1) *direction = 0;
        level = 3;
    } else if (nRet == ZarnAlgorithmError(22) || nRet == ZarnAlgorithmError(17) || nRet == ZarnAlgorithmError(38)) {
        *direction = 1, level = 3;
    }
    ZarnTrace().Log(level, "Exit  ZarnScannerBase::CheckCurrentExposure()=%d, direction=%d", 0, *direction);
    return 0;
}

int ZarnScannerBase::SearchExposure(uint8_t* image, int step, int* exposure) {
    int value = *exposure;
    if (value < m_nExposureMin || value > m_nExposureMax) value = m_nExposureMin;
    int direction = 0;
    if (CheckCurrentExposure(image, 0, value, &direction) != 0) return ZARN_ERR_CALIBRATION;
    for (int round = 1; direction != 0; ++round) {
        const int next = value + direction * step;
        if (next < m_nExposureMin || next > m_nExposureMax) {
            // The walk would leave the camera's range: it ends at the bound, successfully when the
            // frames there pass the sensor check.
            *exposure = value;
            ZarnTrace().Log(3, "Exposure search ended at the bound %d, nRet = %d", value, m_nLastSensorResult);
            return m_nLastSensorResult == 0 ? 0 : ZARN_ERR_CALIBRATION;
        }
        value = next;
        if (CheckCurrentExposure(image, round, value, &direction) != 0) return ZARN_ERR_CALIBRATION;
    }
    *exposure = value;
    return 0;
}

int ZarnScannerBase::EnterVideoMode(int mode, int imageType) {
    const int result = ChageVideoMode(mode, 0);
    if (result != 0) return result;
    SleepMs(100);
    m_nVideoMode = mode;
    m_nImageType = imageType;
    MakeImageData(0);
    SetVideoProp(kPropFrameSizeMode, FrameSizeModeOf(mode));
    return 0;
}

int ZarnScannerBase::CalibrationPass(int pass, int mode) {
    const bool full = pass == TK_VIDEO_FULL;
    const int* camera = full ? m_nCameraFull : m_nCameraRoll;
    SetVideoProp(kPropBrightness, camera[0]);
    SetVideoProp(kPropContrast, camera[1]);
    GetVideoNoProc(kPropExposure);
    ZarnTrace().LogText(3, full ? "Enter TK_VIDEO_FULL Mode" : "Enter TK_VIDEO_ROLL Mode");
    const FrameGeometry& g = full ? m_FullImage : m_RollImage;
    const int step = m_nExposureStep[full ? 0 : 1];
    if (!full) m_nImageType = 0;
    int result = RefreshFrameEnhance();
    if (result != 0) return result;
    MM_SetMeanThreshold(float(m_nMeanThreshold[full ? 0 : 1]));
    MakeImageData(0);
    int exposure = m_nPropValue[kPropExposure];
    if (mode != 0) {
        result = SearchExposure(m_pCalibImage, step, &exposure);
        if (result != 0) return result;
    }
    ZarnTrace().Log(3, "Current Exposure Value is : %d", exposure);
    for (int i = 0; i < 3; ++i)
        if ((result = RefreshFrameEnhance()) != 0) return result;
    // The backgrounds are the newest frame at the exposure found.
    const size_t bytes = size_t(g.width) * size_t(g.height);
    std::memcpy(m_pCalibImage, m_pSavedRaw, bytes);
    const int flatType = IsSingleFingerScannerType(m_nScannerType) ? 1 : 2;
    if (full) {
        m_nFullExposure = m_nRollExposure = exposure;
        std::memcpy(m_pFullBackground, m_pCalibImage, bytes);
        if (m_nScannerType == 401 || m_nScannerType == 402)
            std::memcpy(m_pRollBackground, m_pCalibImage, std::min(bytes, size_t(m_RollImage.bytes)));
        ZarnTrace().SaveDebugBitmap(1, 0, "InitStandardFullBackground", m_pFullBackground, g.width, g.height);
        PreviewScaleImage(g.width, g.height, m_pFullBackground, m_PreviewImage.width, m_PreviewImage.height,
                          m_pPreviewBackground);
        std::memcpy(m_pPreviewBackgroundHeld, m_pPreviewBackground, size_t(m_PreviewImage.bytes));
        // A model without a roll mode ends its calibration in the full mode.
        if (m_RollFrame.width > 1 && m_RollFrame.height > 1) return EnterVideoMode(TK_VIDEO_ROLL, 0);
        return 0;
    }
    m_nRollExposure = exposure;
    std::memcpy(m_pRollBackground, m_pCalibImage, bytes);
    ZarnTrace().SaveDebugBitmap(1, 0, "InitStandardRollBackground", m_pRollBackground, g.width, g.height);
    return EnterVideoMode(TK_VIDEO_FULL, flatType);
}

int ZarnScannerBase::SetCalibration(int mode) {
    ZarnTrace().Log(3, "Enter ZarnScannerBase::SetCalibration(%d)", mode);
    m_nCalibrating = 1;
    MM_SetVarThreshold(m_fVarThreshold);
    MM_SetSaturetionThreshold(1.0f);
    const int flatType = IsSingleFingerScannerType(m_nScannerType) ? 1 : 2;
    int result = EnterVideoMode(TK_VIDEO_FULL, flatType);
    if (result == 0) result = StartStream();
    if (result == 0) result = CalibrationPass(TK_VIDEO_FULL, mode);
    if (result == 0 && m_RollFrame.width > 1 && m_RollFrame.height > 1) result = CalibrationPass(TK_VIDEO_ROLL, mode);
    m_nFrameRequest = 0;
    EndCalibration(result);
    ZarnTrace().Log(3, "Exit  SetCalibration()=%d", result);
    return result;
}

void ZarnScannerBase::EndCalibration(int result) {
    // A frame the image thread took before the frame request was cleared ends first. Only then
    // does the background stage go back to 1 and the calibration flag clear: a frame still being
    // worked on would otherwise see stage 1 without the flag, pass the platen check on the empty
    // platen and move the stage on, and the next capture would start without its platen check.
    // Frames taken after the clear are not worked on (the image thread checks the request again).
    WaitImageThreadIdle();
    if (result == 0) m_nBackgroundStage = 1;
    m_nCalibrating = 0;
}

int ZarnScannerBase::PreviewScaleImage(int srcWidth, int srcHeight, const uint8_t* src, int dstWidth, int dstHeight,
                                       uint8_t* dst) {
    ZarnTrace().Log(4, "Enter ZarnScannerBase::PreviewScaleImage(%d, %d, 0x%x, %d, %d, 0x%x)", srcWidth, srcHeight,
                    Low(src), dstWidth, dstHeight, Low(dst));
    if (dstWidth < 1 || dstHeight < 1) return 0;
    // The source column of each output column, kept by this thread for the sizes it last scaled:
    // a running stream computes it once.
    thread_local std::vector<int> columns;
    thread_local int tableSrcWidth = -1;
    if (tableSrcWidth != srcWidth || columns.size() != size_t(dstWidth)) {
        columns.resize(size_t(dstWidth));
        for (int x = 0; x < dstWidth; ++x) columns[size_t(x)] = int(x * int64_t(srcWidth) / dstWidth);
        tableSrcWidth = srcWidth;
    }
    const int* column = columns.data();
#if defined(__SSE2__)
    // Halving (the preview of the full frame): output column x is source column 2x.
    const bool halving = srcWidth == 2 * dstWidth;
#endif
    // Row by row, so that the output may overwrite the input it has already read (in-place halving).
    for (int y = 0; y < dstHeight; ++y) {
        const uint8_t* row = src + size_t(y * int64_t(srcHeight) / dstHeight) * size_t(srcWidth);
        uint8_t* out = dst + size_t(y) * size_t(dstWidth);
        int x = 0;
#if defined(__SSE2__)
        if (halving) {
            // Sixteen outputs at a time: the even bytes of 32 source bytes, kept by a mask and packed.
            // Both loads come before the store, and the store ends before the next group's source
            // starts (x + 16 <= 2x + 32), so this too works in place.
            const __m128i even = _mm_set1_epi16(0x00FF);
            for (; x + 16 <= dstWidth; x += 16) {
                const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 2 * x));
                const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 2 * x + 16));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x),
                                 _mm_packus_epi16(_mm_and_si128(a, even), _mm_and_si128(b, even)));
            }
        }
#endif
        for (; x < dstWidth; ++x) out[x] = row[column[x]];
    }
    return 0;
}

int ZarnScannerBase::ResizeBilinear(const uint8_t* src, int srcHeight, int srcWidth, uint8_t* dst, int dstHeight,
                                    int dstWidth, int) {
    if (dstHeight < 1 || dstWidth < 1 || srcHeight < 1 || srcWidth < 1) return 0;
    const float fy = float(srcHeight) / float(dstHeight), fx = float(srcWidth) / float(dstWidth);
    // Index tables of this thread, grown to the widest output seen: any output size is served and a
    // running mode allocates nothing.
    thread_local std::vector<int> c0, c1;
    thread_local std::vector<float> ax;
    if (c0.size() < size_t(dstWidth)) {
        c0.resize(size_t(dstWidth));
        c1.resize(size_t(dstWidth));
        ax.resize(size_t(dstWidth));
    }
    for (int x = 0; x < dstWidth; ++x) {
        const float sx = float(x) * fx;
        const int c = int(sx);
        c0[size_t(x)] = std::min(c, srcWidth - 1);
        c1[size_t(x)] = std::min(c + 1, srcWidth - 1);
        ax[size_t(x)] = sx - float(c);
    }
    for (int y = 0; y < dstHeight; ++y) {
        const float sy = float(y) * fy;
        const int r = int(sy);
        const float ay = sy - float(r);
        const uint8_t* r0 = src + size_t(std::min(r, srcHeight - 1)) * size_t(srcWidth);
        const uint8_t* r1 = src + size_t(std::min(r + 1, srcHeight - 1)) * size_t(srcWidth);
        uint8_t* out = dst + size_t(y) * size_t(dstWidth);
        for (int x = 0; x < dstWidth; ++x) {
            const float a = ax[size_t(x)];
            const float top = float(r0[c0[size_t(x)]]) * (1 - a) + float(r0[c1[size_t(x)]]) * a;
            const float bottom = float(r1[c0[size_t(x)]]) * (1 - a) + float(r1[c1[size_t(x)]]) * a;
            const float v = top * (1 - ay) + bottom * ay;
            out[x] = uint8_t(std::min(255, int(v)));
        }
    }
    return 0;
}

int ZarnScannerBase::SetAutoCaptureDefaults() {
    m_AutoCapture = {m_nAutoCaptureThreshold, 230, 1.0, 12, 1, 10, 10, 15, 3000};
    return 0;
}

int ZarnScannerBase::MakeImageData(int halfFlag) {
    ZarnTrace().Log(4, "Enter ZarnScannerBase::MakeImageData(%d)", halfFlag);
    const int type = m_nImageType.load();
    ZarnTrace().Log(4, "Call  ZarnScannerBase::GetImageTypeInfo(%d, 0x%x, %d)", type, Low(&ImageInfo), halfFlag);
    const int result = GetImageTypeInfo(type, &ImageInfo, halfFlag);
    if (result == 0) {
        ImageInfo.image = m_pPreviewOutput;
        ImageInfo.rowOrder = -1;
        ImageInfo.bitsPerPixel = 8;
        ImageInfo.reserved = 0;
        ImageInfo.isResult = halfFlag ? 0 : 1;
    }
    ZarnTrace().Log(4, "Exit  ZarnScannerBase::MakeImageData()=%d", result);
    return result;
}

int ZarnScannerBase::GetFullModeResultImage() {
    ZarnTrace().Log(3, "Enter ZarnScannerBase::GetFullModeResultImage()");
    m_Running.resultTaken = 1;
    m_nFullResult = 1;
    m_nFullModeCapture = 1;
    int result = RefreshFrameEnhance();
    if (result == 0) {
        // The frame the result is built from stays as it is until the next frame request.
        m_nSavedRawFrozen = 1;
        result = MakeImageData(0);
    } else {
        m_nFullResult = 0;
    }
    m_nFullModeCapture = 0;
    ZarnTrace().Log(3, "Exit  ZarnScannerBase::GetFullModeResultImage()=%d", result);
    return result;
}

bool ZarnScannerBase::IsDeviceConnected() {
    static std::atomic<bool> seenConnected{false};
    auto control = CamControl();
    if (!control) return m_nModeChanging.load() != 0;
    long value = 0, flags = 0;
    if (control->Get(CameraControl_Exposure, &value, &flags) == S_OK) {
        seenConnected = true;
        return true;
    }
    if (seenConnected.load()) ZarnTrace().Log(2, "Scanner has been disconnected.");
    return false;
}

int ZarnScannerBase::GetDeviceInfo(const uint8_t* frame, int width, int height) {
    ZarnTrace().Log(4, "Enter ZarnScannerBase::GetDeviceInfo(0x%x, %d, %d)", Low(frame), width, height);
    if (m_nScannerType == 602) {
        std::memcpy(m_szDeviceText, frame + 6, 24);
    } else if (m_nScannerType == 501 || m_nScannerType == 502) {
        for (int i = 0; i < 24; ++i) {
            const int row = height - 2 - i;
            m_szDeviceText[i] = row >= 0 ? char(frame[size_t(row) * size_t(width)]) : 0;
        }
    } else {
        std::memcpy(m_szDeviceText, frame + 12, 24);
    }
    m_szDeviceText[24] = 0;
    ZarnTrace().Log(4, "Exit  ZarnScannerBase::GetDeviceInfo()=%d", 0);
    return 0;
}

void ZarnScannerBase::PostScannerMessage(int code, int kind) {
    if (auto sink = m_pfnMessageSink.load())
        sink(m_pMessageWindow, kScannerMessage, kind, code ? -intptr_t(code) - 7800 : 0);
}
