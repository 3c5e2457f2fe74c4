#ifndef ZARN_ZARNTYPES_H
#define ZARN_ZARNTYPES_H
/*
 * Records, result codes, image-type codes and callback types that cross the exported boundary of
 * both capture libraries (fingerprint and iris) and that the service reads. One definition for all
 * three; the exported Zarn_* functions have C linkage, so this header is valid C as well as C++.
 *
 * Records without pointers keep their byte layout exactly (checked below). ZarnImageInfo holds a
 * pointer and keeps its field order in the native 64-bit layout, which is 56 bytes as well.
 */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define ZARN_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define ZARN_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define ZARN_TEXT_LENGTH 128

/* Version record: three NUL-terminated texts, zero-filled before writing (384 bytes). */
typedef struct ZarnApiVersion {
    char productName[ZARN_TEXT_LENGTH];      /* "Tessik Scanner" or "Tessik Iris" */
    char libraryVersion[ZARN_TEXT_LENGTH];   /* "%d.%d.%d.%d" */
    char algorithmVersion[ZARN_TEXT_LENGTH]; /* version text of the algorithm library */
} ZarnApiVersion;

/* Device record, zero-filled before the library fills it (900 bytes). */
typedef struct ZarnDeviceInfo {
    uint32_t resolution;                  /* native resolution, ppi */
    char vendor[ZARN_TEXT_LENGTH];        /* "Tessik Systems" */
    char model[ZARN_TEXT_LENGTH];         /* model (product) name */
    char interfaceType[ZARN_TEXT_LENGTH]; /* "USB2.0" or "1394b" */
    char serialNumber[ZARN_TEXT_LENGTH];
    /* Most models store a 32-bit hardware word from the device text here; the service reads the
       field as the NUL-terminated firmware text (some models write text, and the word's bytes are
       ASCII on the others). The rest of the 128 bytes stays zero. */
    union {
        uint32_t hardwareWord;
        char firmware[ZARN_TEXT_LENGTH];
    };
    char firstDate[ZARN_TEXT_LENGTH];  /* "%04d%02d%02d" */
    char secondDate[ZARN_TEXT_LENGTH]; /* "%04d%02d%02d" */
} ZarnDeviceInfo;

/* Running state: nine 32-bit words copied out for one device. The two libraries keep different
   state in the same nine words, so each has its own named view; a library writes only its view and
   the service reads the view of the library it called. */
typedef struct ZarnFingerprintRunningInfo {
    int32_t initialised;    /* 1 after a successful Zarn_Main_Initialize */
    int32_t captureStarted; /* set by Start, cleared by a successful take and by Abort */
    int32_t finished;       /* set by Abort and by a successful acquire (result delivered) */
    int32_t liveDetection;  /* third argument of SetMode, cleared by Abort */
    int32_t modeArgument;   /* fourth argument of SetMode, stored and reported only */
    int32_t modeSet;        /* 1 when SetMode succeeded */
    int32_t resultTaken;    /* set by a successful take and by Abort */
    int32_t rollingStarted; /* Zarn_Capture_SetStartRollingFlag, cleared by Abort */
    int32_t captureStatus;  /* 0, or the last error of the frame pipeline (e.g. -622) */
} ZarnFingerprintRunningInfo;

typedef struct ZarnIrisRunningInfo {
    int32_t initialised;    /* 1 after a successful Zarn_IRIS_Main_Initialize */
    int32_t armed;          /* 1 by SetMode; 0 by Abort and when the result was delivered */
    int32_t captureRunning; /* same setters as armed */
    int32_t aborted;        /* 0 by SetMode, 1 by Abort */
    int32_t autoCapture;    /* third argument of SetMode; 0 by Abort */
    int32_t modeArgument;   /* fourth argument of SetMode */
    int32_t modeSet;        /* SetMode sets it to 1; only the object's creation clears it */
    int32_t done;           /* 0 by SetMode; 1 by Abort and when the result was delivered */
    int32_t reserved;       /* always 0 */
} ZarnIrisRunningInfo;

typedef struct ZarnRunningInfo {
    union {
        ZarnFingerprintRunningInfo fingerprint;
        ZarnIrisRunningInfo iris;
        int32_t words[9];
    };
} ZarnRunningInfo;

/* Scanner families found by the fingerprint enumeration: [0] the number of devices whose
   description matched a model, then one 0/1 flag per family in this order. */
enum ZarnScannerFamily {
    ZARN_FAMILY_PLOVER_B = 1,
    ZARN_FAMILY_PLOVER_A = 2,
    ZARN_FAMILY_VIREO_A = 3,
    ZARN_FAMILY_TANAGER_A = 4,
    ZARN_FAMILY_LINNET_A = 5,
    ZARN_FAMILY_PLOVER_C = 6,
    ZARN_FAMILY_KESTREL_B = 7, /* KestrelB, KestrelC and KestrelD */
    ZARN_FAMILY_FINCH = 8,
    ZARN_FAMILY_VIREO_B = 9,
    ZARN_FAMILY_KESTREL_A = 10,
    ZARN_FAMILY_SISKIN_B = 11,
    ZARN_FAMILY_SISKIN_A = 12
};

typedef struct ZarnConnectedScanners {
    int32_t entries[13]; /* [0] count, [ZarnScannerFamily] flags */
} ZarnConnectedScanners;

/* Image record handed by value to the preview and result callbacks. The pixels stay owned by the
   library: a preview image is valid during the call, a result image until the next capture. */
typedef struct ZarnImageInfo {
    uint8_t* image;       /* 8-bit grey, one byte per pixel, rows of width bytes */
    int32_t width;        /* pixels */
    int32_t height;       /* pixels */
    double xResolution;   /* ppi */
    double yResolution;   /* ppi */
    double typeValue;     /* fingerprint: 10.0 rolled types, 3.0 flat types; iris: 30.0 */
    int32_t rowOrder;     /* negative: rows stored bottom-up (fingerprint -1); iris 1 (top-down) */
    uint8_t bitsPerPixel; /* 8 */
    int32_t reserved;     /* 0 */
    int32_t isResult;     /* 1 full-size result image, 0 preview image */
} ZarnImageInfo;

/* Result codes of the capture libraries (int; 0 success). Where the two libraries give a code
   different meanings, both names are listed. */
enum ZarnErrorCode {
    ZARN_OK = 0,
    ZARN_ERR_BAD_ARGUMENT = -1,
    ZARN_ERR_MEM_ALLOC = -2, /* also the iris library's enumeration failure */
    ZARN_ERR_NOT_SUPPORTED = -3,
    ZARN_ERR_FILE_OPEN = -4,
    ZARN_ERR_THREAD_CREATE = -7,
    ZARN_ERR_EVENT_CREATE = -8,
    ZARN_ERR_DEBUG_LEVEL = -9,         /* a debug dump was skipped: the debug level is too low */
    ZARN_ERR_DEBUG_FOLDER_INDEX = -10, /* debug folder index outside 0..5 */
    ZARN_ERR_DEBUG_FOLDER_CREATE = -11,
    ZARN_ERR_CONTROL_INTERFACE = -12,  /* iris: the camera's control interface is missing */
    ZARN_ERR_SET_PROPERTY = -13,       /* iris: setting a camera property failed */
    ZARN_ERR_INIT_VIDEO_MODE = -600,   /* fingerprint: the initial video mode cannot be set up */
    ZARN_ERR_NO_CAMERA = -600,         /* iris: no camera present */
    ZARN_ERR_GRAPH_STATE = -601,       /* iris: graph state query, run or stop failed */
    ZARN_ERR_CAMERA_STEP = -602,       /* fingerprint: a video-mode or calibration step failed */
    ZARN_ERR_NO_FIRST_FRAME = -602,    /* iris: no first frame within 50 polls */
    ZARN_ERR_NO_SCANNER = -603,
    ZARN_ERR_NOT_INITIALIZED = -606,
    ZARN_ERR_ALREADY_INITIALIZED = -607,
    ZARN_ERR_SENSOR_TYPE = -610,       /* iris: the sensor type is unreadable */
    ZARN_ERR_IRIS_CALIBRATION = -614,  /* iris: calibration failed */
    ZARN_ERR_CAPTURE_STATE = -615,     /* the call does not fit the capture state; iris: busy */
    ZARN_ERR_UNKNOWN_SCANNER_TYPE = -616,
    ZARN_ERR_TOO_MANY_DEVICES = -617,
    ZARN_ERR_DEVICE_INDEX = -618,
    ZARN_ERR_NOT_CURRENT_DEVICE = -619,
    ZARN_ERR_LIVE_SEGMENTATION = -620,
    ZARN_ERR_CAPTURE_FINISHED = -621,
    ZARN_ERR_CAPTURE_PALMMOVING = -622,
    ZARN_ERR_STREAM_RUN_STOP = -623,
    ZARN_ERR_GRAPH_BUILD = -624,
    ZARN_ERR_GRAPH_RERUN = -625,
    ZARN_ERR_CALIBRATION = -627,
    ZARN_ERR_ENUMERATION = -628,
    ZARN_ERR_ALGORITHM_BASE = -800 /* error r of an algorithm library becomes -(800 + r) */
};

/* Maps error r of an algorithm library to the capture libraries' code -(800 + r). */
static inline int ZarnAlgorithmError(int r) {
    return -(800 + r);
}

/* Image-type codes (fingerprint). 33 and above are refused with ZARN_ERR_NOT_SUPPORTED. */
enum ZarnImageType {
    ZARN_IMAGE_ROLLED = 0,
    ZARN_IMAGE_FLAT_SINGLE = 1,
    ZARN_IMAGE_SLAP_RIGHT = 2, /* right four fingers */
    ZARN_IMAGE_SLAP_LEFT = 3,  /* left four fingers */
    ZARN_IMAGE_TWO_THUMBS = 4,
    ZARN_IMAGE_MODEL_FIRST = 7, /* 7..14: only on the models that define them */
    ZARN_IMAGE_MODEL_LAST = 14,
    ZARN_IMAGE_ROLLED_FIRST = 15, /* 15..22 rolled */
    ZARN_IMAGE_ROLLED_LAST = 22,
    ZARN_IMAGE_FLAT_FINGER_FIRST = 23, /* 22 + finger position: 23 right thumb .. 32 left little */
    ZARN_IMAGE_FLAT_FINGER_LAST = 32,
    ZARN_IMAGE_TYPE_COUNT = 33
};

static inline int ZarnIsRolledImageType(int type) {
    return type == 0 || type == 5 || type == 6 ||
           (type >= ZARN_IMAGE_ROLLED_FIRST && type <= ZARN_IMAGE_ROLLED_LAST);
}
static inline int ZarnIsFlatSingleImageType(int type) {
    return type == ZARN_IMAGE_FLAT_SINGLE ||
           (type >= ZARN_IMAGE_FLAT_FINGER_FIRST && type <= ZARN_IMAGE_FLAT_FINGER_LAST);
}
static inline int ZarnIsSlapImageType(int type) {
    return type == ZARN_IMAGE_SLAP_RIGHT || type == ZARN_IMAGE_SLAP_LEFT;
}

/* Callback types. Every callback gets the context word of its library object first (one context
   shared by all registrations of an object; the last registration wins). Return values are not
   used. */
typedef void (*ZarnCallbackPreviewImage)(void* context, ZarnImageInfo image);
typedef void (*ZarnCallbackResultImage)(void* context, int status, ZarnImageInfo image, int imageType,
                                        int reserved);
typedef void (*ZarnIrisCallbackResultImage)(void* context, int status, ZarnImageInfo image);
typedef void (*ZarnCallbackTakingResultImage)(void* context); /* stored, never called */
typedef void (*ZarnCallbackObjectQuality)(void* context, int state, int* quality /* 4 ints */, int found);
typedef void (*ZarnCallbackFootSwitch)(void* context);
typedef void (*ZarnCallbackKeypad)(void* context, int key);
typedef void (*ZarnCallbackDeviceIsConnected)(void* context, int connected);

/* Byte layouts. */
ZARN_STATIC_ASSERT(sizeof(ZarnApiVersion) == 384, "ZarnApiVersion is 384 bytes");
ZARN_STATIC_ASSERT(offsetof(ZarnApiVersion, libraryVersion) == 128, "ZarnApiVersion layout");
ZARN_STATIC_ASSERT(offsetof(ZarnApiVersion, algorithmVersion) == 256, "ZarnApiVersion layout");

ZARN_STATIC_ASSERT(sizeof(ZarnDeviceInfo) == 900, "ZarnDeviceInfo is 900 bytes");
ZARN_STATIC_ASSERT(offsetof(ZarnDeviceInfo, vendor) == 4, "ZarnDeviceInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnDeviceInfo, model) == 132, "ZarnDeviceInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnDeviceInfo, interfaceType) == 260, "ZarnDeviceInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnDeviceInfo, serialNumber) == 388, "ZarnDeviceInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnDeviceInfo, hardwareWord) == 516, "ZarnDeviceInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnDeviceInfo, firmware) == 516, "ZarnDeviceInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnDeviceInfo, firstDate) == 644, "ZarnDeviceInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnDeviceInfo, secondDate) == 772, "ZarnDeviceInfo layout");

ZARN_STATIC_ASSERT(sizeof(ZarnRunningInfo) == 36, "ZarnRunningInfo is nine 32-bit words");
ZARN_STATIC_ASSERT(offsetof(ZarnFingerprintRunningInfo, finished) == 2 * 4, "ZarnRunningInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnFingerprintRunningInfo, resultTaken) == 6 * 4, "ZarnRunningInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnFingerprintRunningInfo, captureStatus) == 8 * 4, "ZarnRunningInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnIrisRunningInfo, aborted) == 3 * 4, "ZarnRunningInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnIrisRunningInfo, done) == 7 * 4, "ZarnRunningInfo layout");

ZARN_STATIC_ASSERT(sizeof(ZarnConnectedScanners) == 13 * 4, "ZarnConnectedScanners is 13 words");

ZARN_STATIC_ASSERT(sizeof(void*) == 8, "the capture boundary is built for 64-bit");
ZARN_STATIC_ASSERT(sizeof(ZarnImageInfo) == 56, "ZarnImageInfo is 56 bytes");
ZARN_STATIC_ASSERT(offsetof(ZarnImageInfo, width) == 8, "ZarnImageInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnImageInfo, height) == 12, "ZarnImageInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnImageInfo, xResolution) == 16, "ZarnImageInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnImageInfo, yResolution) == 24, "ZarnImageInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnImageInfo, typeValue) == 32, "ZarnImageInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnImageInfo, rowOrder) == 40, "ZarnImageInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnImageInfo, bitsPerPixel) == 44, "ZarnImageInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnImageInfo, reserved) == 48, "ZarnImageInfo layout");
ZARN_STATIC_ASSERT(offsetof(ZarnImageInfo, isResult) == 52, "ZarnImageInfo layout");

#ifdef __cplusplus
}
#endif

#undef ZARN_STATIC_ASSERT

#endif /* ZARN_ZARNTYPES_H */
