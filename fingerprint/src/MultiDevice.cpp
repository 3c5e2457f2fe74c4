// The device-indexed exported family Zarn_M_*: up to ten scanners open in one process. Each device
// index 0..9 has a slot for its scanner object; one slot is the current device, and its object is
// the library's current scanner. Every function checks its index, makes that slot's object the
// current scanner and calls the single-device export of the same name, so its behaviour, results
// and callbacks are those of the single-device family.
//
// One library-wide lock is held through each call, so two slots never run an export at once. It
// is recursive: a callback that the single-device export calls on the caller's thread (the result
// of Zarn_Capture_AcquireResultImage) may call back into this family.
//
// The process-wide capture threads always work on the current scanner. Opening a device stops
// them (the new scanner's initialisation starts them again); closing the current device while
// others stay open stops them before the object goes and starts them again for the device that
// becomes current, so no thread ever works on a destroyed scanner and the new current device is
// served.
#include <cstring>
#include <mutex>

#include "zarn/ZarnEssentialsApi.h"
#include "zarn/ZarnTraceLogger.h"

#include "ModelFactory.h"
#include "ZarnScannerBase.h"

// A device index 0..9 whose slot holds a scanner.
bool I_IsDeviceSlotUsed(int index);
// 0 when the slot is used and is the current device; -618 for an index outside 0..9 or an empty
// slot; -619 for a used slot that is not the current device.
int I_CheckDeviceIndex(int index);

namespace {

constexpr int kSlots = 10;

std::recursive_mutex& MultiDeviceLock() {
    static std::recursive_mutex lock;
    return lock;
}
using Guard = std::lock_guard<std::recursive_mutex>;

// Position of each slot's device among the attached devices of its model: which camera of that
// model the slot's scanner opens.
int g_nSubSerial[kSlots] = {};
int g_nCurrentDevice = 0;

// Scanner type of each model family, in the order devices are handed out.
constexpr int kFamilyTypes[12] = {501, 502, 401, 302, 303, 601, 602, 304, 402, 503, 305, 306};

int Exit(const char* name, int result) {
    ZarnTrace().Log(result == 0 ? 2 : 0, "Exit  %s()=%d", name, result);
    return result;
}

bool InRange(int index) { return index >= 0 && index < kSlots; }

// Makes a slot the current device: its object becomes the current scanner, and the capture
// devices the base opens are those of its position within its model.
void MakeCurrent(int index) {
    g_nCurrentDevice = index;
    g_nDeviceIndex = g_nSubSerial[index];
    g_pScanner = g_pScanners[index];
}

// The lowest used slot becomes current; with none, there is no current scanner.
void MakeLowestCurrent() {
    for (int i = 0; i < kSlots; ++i)
        if (g_pScanners[i] != nullptr) return MakeCurrent(i);
    g_nCurrentDevice = 0;
    g_nDeviceIndex = 0;
    g_pScanner = nullptr;
}

// A slot that is used, made the current scanner: 0, else -618.
int UseSlot(int index) {
    if (!I_IsDeviceSlotUsed(index)) return ZARN_ERR_DEVICE_INDEX;
    g_pScanner = g_pScanners[index];
    g_nDeviceIndex = g_nSubSerial[index];
    return 0;
}

// The index check of the capture and control functions, then the slot as the current scanner.
template <class Call>
int Checked(const char* name, int index, Call call) {
    Guard guard(MultiDeviceLock());
    int result = I_CheckDeviceIndex(index);
    if (result == 0) {
        g_pScanner = g_pScanners[index];
        result = call();
    }
    return Exit(name, result);
}

}  // namespace

bool I_IsDeviceSlotUsed(int index) { return InRange(index) && g_pScanners[index] != nullptr; }

int I_CheckDeviceIndex(int index) {
    if (!I_IsDeviceSlotUsed(index)) return ZARN_ERR_DEVICE_INDEX;
    return index == g_nCurrentDevice ? 0 : ZARN_ERR_NOT_CURRENT_DEVICE;
}

int I_GetScannerTypeAndSubSerialNum(int index, int* type, int* subSerial) {
    int counts[13] = {};
    const int result = I_GetConnectedNum(counts);
    if (result != 0 && result != ZARN_ERR_NO_SCANNER) return result;
    if (counts[0] > kSlots) return ZARN_ERR_TOO_MANY_DEVICES;
    if (index < 0 || index >= counts[0]) return ZARN_ERR_DEVICE_INDEX;
    int position = index;
    for (int family = 1; family <= 12; ++family) {
        if (position < counts[family]) {
            *type = kFamilyTypes[family - 1];
            *subSerial = position;
            return 0;
        }
        position -= counts[family];
    }
    return ZARN_ERR_DEVICE_INDEX;
}

extern "C" {

int Zarn_M_Main_GetAPIVersion(ZarnApiVersion* version) {
    Guard guard(MultiDeviceLock());
    ZarnTrace().Log(2, "Enter Zarn_M_Main_GetAPIVersion(0x%x)", unsigned(reinterpret_cast<uintptr_t>(version)));
    return Exit("Zarn_M_Main_GetAPIVersion", Zarn_Main_GetAPIVersion(version));
}

int Zarn_M_Main_Initialize(int index, int* openedIndex) {
    Guard guard(MultiDeviceLock());
    ZarnTrace().Log(2, "Enter Zarn_M_Main_Initialize(%d, 0x%x)", index, unsigned(reinterpret_cast<uintptr_t>(openedIndex)));
    if (openedIndex == nullptr || !InRange(index)) return Exit("Zarn_M_Main_Initialize", ZARN_ERR_BAD_ARGUMENT);
    if (g_pScanners[index] != nullptr) return Exit("Zarn_M_Main_Initialize", ZARN_ERR_ALREADY_INITIALIZED);
    int type = 0, subSerial = 0;
    int result = I_GetScannerTypeAndSubSerialNum(index, &type, &subSerial);
    if (result != 0) return Exit("Zarn_M_Main_Initialize", result);
    const int previous = g_nCurrentDevice;
    if (I_IsDeviceSlotUsed(previous)) {
        g_pScanner = g_pScanners[previous];
        result = Zarn_Capture_Abort();
        if (result != 0) return Exit("Zarn_M_Main_Initialize", result);
    }
    *openedIndex = index;
    // The capture threads serve one scanner: they stop here and the new scanner starts them.
    ZarnScannerBase::StopCaptureThreads();
    g_pScanner = nullptr;
    g_nSubSerial[index] = subSerial;
    g_nDeviceIndex = subSerial;
    g_nCurrentDevice = index;
    result = Zarn_Main_Initialize(type);
    if (result != 0) {
        // Nothing was opened: the devices that stay open go on with their threads.
        MakeLowestCurrent();
        if (g_pScanner != nullptr) ZarnScannerBase::StartCaptureThreads();
        return Exit("Zarn_M_Main_Initialize", result);
    }
    g_pScanners[index] = g_pScanner.load();
    MakeCurrent(index);
    return Exit("Zarn_M_Main_Initialize", 0);
}

int Zarn_M_Main_DeInitialize(int index) {
    Guard guard(MultiDeviceLock());
    ZarnTrace().Log(2, "Enter Zarn_M_Main_DeInitialize(%d)", index);
    if (!I_IsDeviceSlotUsed(index)) return Exit("Zarn_M_Main_DeInitialize", ZARN_ERR_BAD_ARGUMENT);
    int others = 0;
    for (int i = 0; i < kSlots; ++i) others += i != index && g_pScanners[i] != nullptr;
    // With other devices open the threads outlive this scanner: they stop before it goes.
    if (others > 0) ZarnScannerBase::StopCaptureThreads();
    MakeCurrent(index);
    const int result = Zarn_Main_DeInitialize();
    // DeInitialize destroys the scanner whatever its result; the slot must not keep it.
    if (result != ZARN_ERR_NOT_INITIALIZED || g_pScanner.load() == nullptr) g_pScanners[index] = nullptr;
    MakeLowestCurrent();
    if (others > 0 && g_pScanner.load() != nullptr) ZarnScannerBase::StartCaptureThreads();
    return Exit("Zarn_M_Main_DeInitialize", result);
}

int Zarn_M_Main_GetDeviceInfo(int index, ZarnDeviceInfo* info) {
    Guard guard(MultiDeviceLock());
    ZarnTrace().Log(2, "Enter Zarn_M_Main_GetDeviceInfo(%d, 0x%x)", index, unsigned(reinterpret_cast<uintptr_t>(info)));
    int result = UseSlot(index);
    if (result == 0) result = Zarn_Main_GetDeviceInfo(info);
    return Exit("Zarn_M_Main_GetDeviceInfo", result);
}

int Zarn_M_Main_GetRunningInfo(int index, ZarnRunningInfo* info) {
    Guard guard(MultiDeviceLock());
    ZarnTrace().Log(2, "Enter Zarn_M_Main_GetRunningInfo(%d, 0x%x)", index, unsigned(reinterpret_cast<uintptr_t>(info)));
    return Checked("Zarn_M_Main_GetRunningInfo", index, [&] { return Zarn_Main_GetRunningInfo(info); });
}

int Zarn_M_Main_IsInitialized(int index) {
    Guard guard(MultiDeviceLock());
    ZarnTrace().Log(2, "Enter Zarn_M_Main_IsInitialized(%d)", index);
    if (!InRange(index)) return Exit("Zarn_M_Main_IsInitialized", ZARN_ERR_BAD_ARGUMENT);
    return Exit("Zarn_M_Main_IsInitialized", g_pScanners[index] != nullptr ? 0 : ZARN_ERR_NOT_INITIALIZED);
}

int Zarn_M_Main_DeInitializeAll(void) {
    Guard guard(MultiDeviceLock());
    ZarnTrace().LogText(2, "Enter Zarn_M_Main_DeInitializeAll()");
    for (int i = 0; i < kSlots; ++i) Zarn_M_Main_DeInitialize(i);
    return Exit("Zarn_M_Main_DeInitializeAll", 0);
}

int Zarn_M_Main_GetConnectedScanner(int* list) {
    Guard guard(MultiDeviceLock());
    ZarnTrace().Log(2, "Enter Zarn_M_Main_GetConnectedScanner(0x%x)", unsigned(reinterpret_cast<uintptr_t>(list)));
    if (list == nullptr) return Exit("Zarn_M_Main_GetConnectedScanner", ZARN_ERR_BAD_ARGUMENT);
    for (int i = 13; i < 23; ++i) list[i] = -1;
    int result = I_GetConnectedNum(list);
    if (result != 0 && result != ZARN_ERR_NO_SCANNER) return Exit("Zarn_M_Main_GetConnectedScanner", result);
    if (list[0] >= 11) return Exit("Zarn_M_Main_GetConnectedScanner", ZARN_ERR_TOO_MANY_DEVICES);
    for (int i = 0; i < list[0]; ++i) {
        int subSerial = 0;
        result = I_GetScannerTypeAndSubSerialNum(i, &list[13 + i], &subSerial);
        if (result != 0) return Exit("Zarn_M_Main_GetConnectedScanner", result);
    }
    return Exit("Zarn_M_Main_GetConnectedScanner", 0);
}

int Zarn_M_Capture_SetMode(int index, int imageType, int ppi, int liveDetect, int modeArgument, int* width, int* height,
                           int* xResolution, int* yResolution) {
    Guard guard(MultiDeviceLock());
    ZarnTrace().Log(2, "Enter Zarn_M_Capture_SetMode(%d, %d, %d, %d, %d, 0x%x, 0x%x, 0x%x, 0x%x)", index, imageType, ppi,
                    liveDetect, modeArgument, unsigned(reinterpret_cast<uintptr_t>(width)),
                    unsigned(reinterpret_cast<uintptr_t>(height)), unsigned(reinterpret_cast<uintptr_t>(xResolution)),
                    unsigned(reinterpret_cast<uintptr_t>(yResolution)));
    int result = UseSlot(index);
    if (result == 0) result = Zarn_Capture_SetMode(imageType, ppi, liveDetect, modeArgument, width, height, xResolution, yResolution);
    if (result == 0) {
        MakeCurrent(index);
    } else if (I_IsDeviceSlotUsed(g_nCurrentDevice)) {
        MakeCurrent(g_nCurrentDevice);  // a refused switch leaves the current device as it was
    }
    return Exit("Zarn_M_Capture_SetMode", result);
}

#define ZARN_M_CHECKED(Name, Call, ...)                                                  \
    int Zarn_M_##Name(int index __VA_OPT__(, ) __VA_ARGS__) {                           \
        ZarnTrace().Log(2, "Enter Zarn_M_" #Name "(%d)", index);                       \
        return Checked("Zarn_M_" #Name, index, [&] { return Zarn_##Call; });              \
    }

int Zarn_M_Capture_Start(int index, int fingerCount, int autoCapture) {
    ZarnTrace().Log(2, "Enter Zarn_M_Capture_Start(%d, %d, %d)", index, fingerCount, autoCapture);
    return Checked("Zarn_M_Capture_Start", index, [&] { return Zarn_Capture_Start(fingerCount, autoCapture); });
}
ZARN_M_CHECKED(Capture_Abort, Capture_Abort())
ZARN_M_CHECKED(Capture_TakeResultImage, Capture_TakeResultImage())
ZARN_M_CHECKED(Capture_AcquireResultImage, Capture_AcquireResultImage())
ZARN_M_CHECKED(Capture_SetCaptureOK, Capture_SetCaptureOK())
ZARN_M_CHECKED(Capture_SetStartRollingFlag, Capture_SetStartRollingFlag(rolling), int rolling)
ZARN_M_CHECKED(Capture_Calibration, Capture_Calibration())
ZARN_M_CHECKED(Capture_GetRollParameters, Capture_GetRollParameters(parameters), int* parameters)
ZARN_M_CHECKED(Capture_SetRollParameters, Capture_SetRollParameters(maxFrames, slideDetection, slidingPixels, slidingPercent, p5, rollBack, p7),
               int maxFrames, int slideDetection, int slidingPixels, float slidingPercent, int p5, int rollBack, int p7)
ZARN_M_CHECKED(Capture_GetImageMask, Capture_GetImageMask(mask), uint8_t* mask)
ZARN_M_CHECKED(Capture_SetAutoCapInfo, Capture_SetAutoCapInfo(a, b, c, d, e, f, g, h, i), int a, int b, double c, int d,
               int e, int f, int g, int h, int i)
ZARN_M_CHECKED(Capture_SetAutoCapArea, Capture_SetAutoCapArea(enable, x, y, width, height), int enable, int x, int y,
               int width, int height)
ZARN_M_CHECKED(Capture_SetAutoCapFinMask, Capture_SetAutoCapFinMask(mask), int mask)
ZARN_M_CHECKED(Controls_SetStateLEDs, Controls_SetStateLEDs(imageType, state), int imageType, const uint8_t state[8])
ZARN_M_CHECKED(Controls_Beeper, Controls_Beeper(pattern), int pattern)
ZARN_M_CHECKED(Controls_RegisterFootSwitchInfo, Controls_RegisterFootSwitchInfo(window, message), void* window, int message)
ZARN_M_CHECKED(Controls_SetLEDs, Controls_SetLEDs(group, value), int group, int value)
ZARN_M_CHECKED(Controls_GetLEDs, Controls_GetLEDs(group, value), int group, int* value)
ZARN_M_CHECKED(Capture_RegisterCallbackPreviewImage, Capture_RegisterCallbackPreviewImage(callback, context),
               ZarnCallbackPreviewImage callback, void* context)
ZARN_M_CHECKED(Capture_RegisterCallbackTakingResultImage, Capture_RegisterCallbackTakingResultImage(callback, context),
               ZarnCallbackTakingResultImage callback, void* context)
ZARN_M_CHECKED(Capture_RegisterCallbackResultImage, Capture_RegisterCallbackResultImage(callback, context),
               ZarnCallbackResultImage callback, void* context)
ZARN_M_CHECKED(Capture_RegisterCallbackFootSwitch, Capture_RegisterCallbackFootSwitch(callback, context),
               ZarnCallbackFootSwitch callback, void* context)
ZARN_M_CHECKED(Capture_RegisterCallbackKeypad, Capture_RegisterCallbackKeypad(callback, context),
               ZarnCallbackKeypad callback, void* context)
ZARN_M_CHECKED(Capture_RegisterCallbackObjectQuality, Capture_RegisterCallbackObjectQuality(callback, context),
               ZarnCallbackObjectQuality callback, void* context)
ZARN_M_CHECKED(Capture_RegisterCallbackDeviceIsConnected, Capture_RegisterCallbackDeviceIsConnected(callback, context),
               ZarnCallbackDeviceIsConnected callback, void* context)
#undef ZARN_M_CHECKED

}  // extern "C"
