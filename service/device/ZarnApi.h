#pragma once
// The service's binding to the two capture libraries: one table of function pointers per library,
// filled from the linked library by name, or by tests with scripted fakes. The device objects and
// device detection call the libraries only through these tables.

#include "zarn/ZarnTypes.h"

// The fingerprint capture library's functions that the service uses.
struct ZarnFpApi {
    int (*Zarn_Main_GetAPIVersion)(ZarnApiVersion* out);
    int (*Zarn_Main_Initialize)(int modelCode);
    int (*Zarn_Main_DeInitialize)();
    int (*Zarn_Main_GetDeviceInfo)(ZarnDeviceInfo* out);
    int (*Zarn_Main_GetRunningInfo)(ZarnRunningInfo* out);
    int (*Zarn_Main_GetConnectedScanner)(ZarnConnectedScanners* out);
    int (*Zarn_Capture_SetMode)(int imageType, int ppi, int liveDetect, int modeArg, int* width, int* height,
                                int* xres, int* yres);
    int (*Zarn_Capture_Start)(int fingerCount, int autoCapture);
    int (*Zarn_Capture_Abort)();
    int (*Zarn_Capture_TakeResultImage)();
    int (*Zarn_Capture_SetCaptureOK)();
    int (*Zarn_Capture_Calibration)();
    int (*Zarn_Controls_Beeper)(int pattern);
    int (*Zarn_Capture_SetRollParameters)(int maxFrames, int slideDetection, int slidingPixels, float slidingPercent,
                                          int p5, int rollBack, int p7);
    // Finishes the result and calls the result callback on the caller's thread before it returns.
    int (*Zarn_Capture_AcquireResultImage)();
    int (*Zarn_Capture_SetAutoCapInfo)(int a, int b, double c, int d, int e, int f, int g, int h, int i);
    int (*Zarn_Capture_RegisterCallbackPreviewImage)(ZarnCallbackPreviewImage callback, void* context);
    int (*Zarn_Capture_RegisterCallbackTakingResultImage)(ZarnCallbackTakingResultImage callback, void* context);
    int (*Zarn_Capture_RegisterCallbackResultImage)(ZarnCallbackResultImage callback, void* context);
    int (*Zarn_Capture_RegisterCallbackFootSwitch)(ZarnCallbackFootSwitch callback, void* context);
    int (*Zarn_Capture_RegisterCallbackObjectQuality)(ZarnCallbackObjectQuality callback, void* context);
    int (*Zarn_Capture_RegisterCallbackDeviceIsConnected)(ZarnCallbackDeviceIsConnected callback, void* context);
};

// The iris capture library's functions that the service uses. Sides: 1 left, 2 right (callback
// registrations also take 0 for left); eye modes: 0 or 1 left, 2 right, 3 both.
struct ZarnIrisApi {
    int (*Zarn_IRIS_Main_GetAPIVersion)(ZarnApiVersion* out);
    int (*Zarn_IRIS_Main_Initialize)();
    int (*Zarn_IRIS_Main_DeInitialize)();
    int (*Zarn_IRIS_Main_GetDeviceInfo)(ZarnDeviceInfo* out);
    int (*Zarn_IRIS_Main_GetConnectedDevice)(int* count);
    int (*Zarn_IRIS_Main_GetRunningInfo)(int side, ZarnRunningInfo* out);
    int (*Zarn_IRIS_Capture_SetMode)(int eyeMode, int quality, int autoCapture, int extra);
    int (*Zarn_IRIS_Capture_Start)();
    int (*Zarn_IRIS_Capture_Abort)();
    int (*Zarn_IRIS_Capture_Calibration)(int eyeMode);
    int (*Zarn_IRIS_Controls_Beeper)(int pattern);
    // Delivers the current result of the selected camera(s) through the result callback on the
    // caller's thread.
    int (*Zarn_IRIS_Capture_TakeResultImage)(int eyeMode);
    int (*Zarn_IRIS_Capture_AcquireResultImage)();
    int (*Zarn_IRIS_Capture_RegisterCallbackPreviewImage)(int side, ZarnCallbackPreviewImage callback, void* context);
    int (*Zarn_IRIS_Capture_RegisterCallbackResultImage)(int side, ZarnIrisCallbackResultImage callback,
                                                         void* context);
    int (*Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected)(ZarnCallbackDeviceIsConnected callback,
                                                               void* context);
};

// Installs the table the service calls; null restores the table of an absent library, whose
// functions find no device and report every other call as not initialised. The table must stay
// valid while it is installed.
void InstallZarnFpApi(const ZarnFpApi* table);
void InstallZarnIrisApi(const ZarnIrisApi* table);

// The installed tables.
const ZarnFpApi& FpApi();
const ZarnIrisApi& IrisApi();

// True when every entry of a table is set.
bool IsCompleteZarnFpApi(const ZarnFpApi& table);
bool IsCompleteZarnIrisApi(const ZarnIrisApi& table);
