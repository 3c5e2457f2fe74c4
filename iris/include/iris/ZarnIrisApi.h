#ifndef IRIS_ZARNIRISAPI_H
#define IRIS_ZARNIRISAPI_H
/*
 * Exported interface of the iris capture library (libZarnIrisApi.so): the two-eye iris camera, one
 * camera unit per eye. Every function returns 0 for success or a negative ZarnErrorCode; -606 means
 * that the library is not initialised.
 *
 * Sides: 1 left, 2 right (callback registrations also take 0 for left). Eye modes: 0 or 1 left,
 * 2 right, 3 both.
 */

#include "zarn/ZarnTypes.h"

#define ZARN_IRIS_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Seven auto-capture thresholds (defaults 34, 60, 70, 10, 0, 0, 90). */
typedef struct ZarnIrisAutoCapParams {
    int32_t minIrisQuality;  /* a: a frame is stored when its iris-quality score is at least this */
    int32_t minDetection;    /* b: eye-detection confidence must be above */
    int32_t minUsableIris;   /* c: usable-iris share must be above */
    int32_t minQuality;      /* d: rounded quality score must be above */
    int32_t minScleraIris;   /* e: sclera-iris contrast must be above */
    int32_t minIrisPupil;    /* f: iris-pupil contrast must be above */
    int32_t minIrisRadius;   /* g: iris radius in pixels must be above */
} ZarnIrisAutoCapParams;

ZARN_IRIS_API int Zarn_IRIS_Main_GetAPIVersion(ZarnApiVersion* version);
ZARN_IRIS_API int Zarn_IRIS_Main_Initialize(void);
ZARN_IRIS_API int Zarn_IRIS_Main_DeInitialize(void);
ZARN_IRIS_API int Zarn_IRIS_Main_GetDeviceInfo(ZarnDeviceInfo* info);
ZARN_IRIS_API int Zarn_IRIS_Capture_SetMode(int eyeMode, int quality, int autoCapture, int extra);
ZARN_IRIS_API int Zarn_IRIS_Capture_Start(void);
ZARN_IRIS_API int Zarn_IRIS_Capture_Abort(void);
ZARN_IRIS_API int Zarn_IRIS_Capture_Calibration(int eyeMode);
ZARN_IRIS_API int Zarn_IRIS_Controls_Beeper(int pattern);
ZARN_IRIS_API int Zarn_IRIS_Capture_TakeResultImage(int eyeMode);
ZARN_IRIS_API int Zarn_IRIS_Capture_AcquireResultImage(void);
ZARN_IRIS_API int Zarn_IRIS_Main_GetConnectedDevice(int* count);
ZARN_IRIS_API int Zarn_IRIS_Main_GetRunningInfo(int side, ZarnRunningInfo* info);
ZARN_IRIS_API int Zarn_IRIS_Capture_RegisterCallbackPreviewImage(int side, ZarnCallbackPreviewImage callback,
                                                                 void* context);
ZARN_IRIS_API int Zarn_IRIS_Capture_RegisterCallbackResultImage(int side, ZarnIrisCallbackResultImage callback,
                                                                void* context);
ZARN_IRIS_API int Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected(ZarnCallbackDeviceIsConnected callback,
                                                                      void* context);
ZARN_IRIS_API int Zarn_IRIS_Capture_SetAutoCapParams(int a, int b, int c, int d, int e, int f, int g);
/* The ten ranked frames of the side's last automatic capture, best first: 10 frame sizes of
   pixels, 8 quality bytes and 4 geometry words (pupil x, y, radius, iris radius) per frame. */
ZARN_IRIS_API int Zarn_IRIS_GetImageAddr(int side, uint8_t* frames, uint8_t* quality, uint16_t* geometry);

#ifdef __cplusplus
}
#endif

#endif /* IRIS_ZARNIRISAPI_H */
