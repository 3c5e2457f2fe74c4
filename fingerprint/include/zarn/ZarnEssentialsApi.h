#ifndef ZARN_ZARNESSENTIALSAPI_H
#define ZARN_ZARNESSENTIALSAPI_H
/*
 * The exported single-device interface of the fingerprint capture library libZarnEssentialsApi.so.
 * Every function works on the library's one current scanner, created by Zarn_Main_Initialize and
 * destroyed by Zarn_Main_DeInitialize, and returns a ZarnErrorCode (0 success). Callers must not
 * call the functions from several threads at once; the callbacks arrive on library threads (the
 * result callback also on the thread that calls Zarn_Capture_AcquireResultImage).
 */

#include "zarn/ZarnTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZARN_API __attribute__((visibility("default")))
#else
#define ZARN_API
#endif

/* Lifetime and queries. */
ZARN_API int Zarn_Main_GetAPIVersion(ZarnApiVersion* version);
ZARN_API int Zarn_Main_Initialize(int scannerType);
ZARN_API int Zarn_Main_DeInitialize(void);
ZARN_API int Zarn_Main_GetDeviceInfo(ZarnDeviceInfo* info);
ZARN_API int Zarn_Main_GetRunningInfo(ZarnRunningInfo* info);
ZARN_API int Zarn_Main_FastStartup(int scannerType);
ZARN_API int Zarn_Main_StandBy(void);
ZARN_API int Zarn_Main_GetConnectedScanner(ZarnConnectedScanners* scanners);

/* Capture. */
ZARN_API int Zarn_Capture_SetMode(int imageType, int ppi, int liveDetect, int modeArgument, int* width, int* height,
                                  int* xResolution, int* yResolution);
ZARN_API int Zarn_Capture_Start(int fingerCount, int autoCapture);
ZARN_API int Zarn_Capture_Abort(void);
ZARN_API int Zarn_Capture_TakeResultImage(void);
ZARN_API int Zarn_Capture_GetContrast(int* contrast);
ZARN_API int Zarn_Capture_SetContrast(int contrast);
ZARN_API int Zarn_Capture_OptimizeContrast(void);
ZARN_API int Zarn_Capture_SetCaptureOK(void);
ZARN_API int Zarn_Capture_SetStartRollingFlag(int rolling);
ZARN_API int Zarn_Capture_Calibration(void);
/* Seven values; the fourth holds the bits of the float sliding percentage. */
ZARN_API int Zarn_Capture_GetRollParameters(int* parameters);
ZARN_API int Zarn_Capture_SetRollParameters(int maxFrames, int slideDetection, int slidingPixels, float slidingPercent,
                                            int p5, int rollBack, int p7);
/* Copies the sliding mask of the last roll that slid: one byte per pixel of the model's roll
   result (600,000 bytes on the Plover models); the buffer must hold that many. */
ZARN_API int Zarn_Capture_GetImageMask(uint8_t* mask);
ZARN_API int Zarn_Capture_AcquireResultImage(void);
ZARN_API int Zarn_Capture_SetAutoCapInfo(int a, int b, double c, int d, int e, int f, int g, int h, int i);
ZARN_API int Zarn_Capture_RegisterCallbackPreviewImage(ZarnCallbackPreviewImage callback, void* context);
ZARN_API int Zarn_Capture_RegisterCallbackTakingResultImage(ZarnCallbackTakingResultImage callback, void* context);
ZARN_API int Zarn_Capture_RegisterCallbackResultImage(ZarnCallbackResultImage callback, void* context);
ZARN_API int Zarn_Capture_RegisterCallbackFootSwitch(ZarnCallbackFootSwitch callback, void* context);
ZARN_API int Zarn_Capture_RegisterCallbackObjectQuality(ZarnCallbackObjectQuality callback, void* context);
ZARN_API int Zarn_Capture_RegisterCallbackKeypad(ZarnCallbackKeypad callback, void* context);
ZARN_API int Zarn_Capture_SetAutoCapArea(int enable, int x, int y, int width, int height);
ZARN_API int Zarn_Capture_RegisterCallbackDeviceIsConnected(ZarnCallbackDeviceIsConnected callback, void* context);
ZARN_API int Zarn_Capture_SetAutoCapFinMask(int mask);
ZARN_API int Zarn_Capture_SaveRollingFrame(void);

/* LEDs, beeper and foot switch. */
ZARN_API int Zarn_Controls_SetStateLEDs(int imageType, const uint8_t state[8]);
ZARN_API int Zarn_Controls_Beeper(int pattern);
/* The foot switch is also reported as `message` to `sink(window, message, ...)` when a sink is
   registered for the scanner; a null window clears it. */
ZARN_API int Zarn_Controls_RegisterFootSwitchInfo(void* window, int message);
ZARN_API int Zarn_Controls_SetLEDs(int group, int value);
ZARN_API int Zarn_Controls_GetLEDs(int group, int* value);

/* Always -3. Zarn_Set_VideoProp records property 100 (value != 0) for the algorithm calls. */
ZARN_API int Zarn_LateralCutAdjust(void);
ZARN_API int Zarn_Set_VideoProp(int property, int value);

/*
 * The device-indexed family: up to ten scanners in one process, device index 0..9. Each function
 * checks its index, makes that device the current scanner and calls the function of the same name
 * above. Zarn_M_Main_GetConnectedScanner fills 23 ints: [0] the attached devices, [1]..[12] the
 * devices per model family (ZarnConnectedScanners order), [13]..[22] the scanner type of device
 * index 0..9, -1 where there is none. Zarn_M_Capture_SetMode makes its device the current one; the
 * capture and control functions refuse a device that is not current with -619, an index outside
 * 0..9 or an empty slot with -618.
 */
ZARN_API int Zarn_M_Main_GetAPIVersion(ZarnApiVersion* version);
ZARN_API int Zarn_M_Main_Initialize(int index, int* openedIndex);
ZARN_API int Zarn_M_Main_DeInitialize(int index);
ZARN_API int Zarn_M_Main_GetDeviceInfo(int index, ZarnDeviceInfo* info);
ZARN_API int Zarn_M_Main_GetRunningInfo(int index, ZarnRunningInfo* info);
ZARN_API int Zarn_M_Main_IsInitialized(int index);
ZARN_API int Zarn_M_Main_DeInitializeAll(void);
ZARN_API int Zarn_M_Main_GetConnectedScanner(int* list);
ZARN_API int Zarn_M_Capture_SetMode(int index, int imageType, int ppi, int liveDetect, int modeArgument, int* width,
                                    int* height, int* xResolution, int* yResolution);
ZARN_API int Zarn_M_Capture_Start(int index, int fingerCount, int autoCapture);
ZARN_API int Zarn_M_Capture_Abort(int index);
ZARN_API int Zarn_M_Capture_TakeResultImage(int index);
ZARN_API int Zarn_M_Capture_AcquireResultImage(int index);
ZARN_API int Zarn_M_Capture_SetCaptureOK(int index);
ZARN_API int Zarn_M_Capture_SetStartRollingFlag(int index, int rolling);
ZARN_API int Zarn_M_Capture_Calibration(int index);
ZARN_API int Zarn_M_Capture_GetRollParameters(int index, int* parameters);
ZARN_API int Zarn_M_Capture_SetRollParameters(int index, int maxFrames, int slideDetection, int slidingPixels,
                                              float slidingPercent, int p5, int rollBack, int p7);
ZARN_API int Zarn_M_Capture_GetImageMask(int index, uint8_t* mask);
ZARN_API int Zarn_M_Capture_SetAutoCapInfo(int index, int a, int b, double c, int d, int e, int f, int g, int h, int i);
ZARN_API int Zarn_M_Capture_SetAutoCapArea(int index, int enable, int x, int y, int width, int height);
ZARN_API int Zarn_M_Capture_SetAutoCapFinMask(int index, int mask);
ZARN_API int Zarn_M_Controls_SetStateLEDs(int index, int imageType, const uint8_t state[8]);
ZARN_API int Zarn_M_Controls_Beeper(int index, int pattern);
ZARN_API int Zarn_M_Controls_RegisterFootSwitchInfo(int index, void* window, int message);
ZARN_API int Zarn_M_Controls_SetLEDs(int index, int group, int value);
ZARN_API int Zarn_M_Controls_GetLEDs(int index, int group, int* value);
ZARN_API int Zarn_M_Capture_RegisterCallbackPreviewImage(int index, ZarnCallbackPreviewImage callback, void* context);
ZARN_API int Zarn_M_Capture_RegisterCallbackTakingResultImage(int index, ZarnCallbackTakingResultImage callback,
                                                              void* context);
ZARN_API int Zarn_M_Capture_RegisterCallbackResultImage(int index, ZarnCallbackResultImage callback, void* context);
ZARN_API int Zarn_M_Capture_RegisterCallbackFootSwitch(int index, ZarnCallbackFootSwitch callback, void* context);
ZARN_API int Zarn_M_Capture_RegisterCallbackKeypad(int index, ZarnCallbackKeypad callback, void* context);
ZARN_API int Zarn_M_Capture_RegisterCallbackObjectQuality(int index, ZarnCallbackObjectQuality callback, void* context);
ZARN_API int Zarn_M_Capture_RegisterCallbackDeviceIsConnected(int index, ZarnCallbackDeviceIsConnected callback,
                                                              void* context);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_ZARNESSENTIALSAPI_H */
