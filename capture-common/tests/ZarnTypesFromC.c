/* Compiles the boundary header as C, as a C caller of the capture libraries would, and reports the
   layout the C compiler sees so the C++ test can compare it. */
#include "zarn/ZarnTypes.h"

size_t ZarnTypesCLayout(int which) {
    switch (which) {
        case 0: return sizeof(ZarnImageInfo);
        case 1: return offsetof(ZarnImageInfo, rowOrder);
        case 2: return sizeof(ZarnDeviceInfo);
        case 3: return offsetof(ZarnDeviceInfo, firmware);
        case 4: return sizeof(ZarnRunningInfo);
        case 5: return sizeof(ZarnApiVersion);
        default: return 0;
    }
}
