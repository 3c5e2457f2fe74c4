// Block geometry record and the interface entries kept without an effect.
#include <cstring>

#include "MosaicInternal.h"

namespace LiveScanAlg {

int InitializeRectangleBlockInfo(int height, int width, int blockWidth, int blockHeight,
                                 RectangleBlockInfoType* info)
{
    if (height < 1) return 2;
    if (width < 1) return 3;
    if (blockWidth < 1) return 4;
    if (blockHeight < 1) return 5;
    if (IsMissing(info)) return 6;
    std::memset(info, 0, sizeof *info);
    info->ImageHeight = height;
    info->ImageWidth = width;
    info->BlockWidth = blockWidth;
    info->BlockHeight = blockHeight;
    info->BlockLeftHalf = blockWidth / 2;
    info->BlockRightHalf = (blockWidth - 1) / 2;
    info->BlockTopHalf = blockHeight / 2;
    info->BlockBottomHalf = (blockHeight - 1) / 2;
    // Ceilings written so that they cannot overflow near INT_MAX.
    info->BlockRows = height / blockHeight + (height % blockHeight != 0);
    info->BlockColumns = width / blockWidth + (width % blockWidth != 0);
    const long long count = static_cast<long long>(info->BlockRows) * info->BlockColumns;
    info->BlockCount = count > 0x7fffffffLL ? 0x7fffffff : static_cast<int32_t>(count);
    return 0;
}

int ConstructImage1000DPI(int*, int, int, unsigned char*, unsigned char*, unsigned char*,
                          unsigned char*, RectangleBlockInfoType*)
{
    return 0;
}

int CalibrateOpticalDistortion0(unsigned char*, int*)
{
    return 0;
}

int EvaluateCalibrateResult1(int, int, const unsigned char*, float*, float*, float*)
{
    return 0;
}

}  // namespace LiveScanAlg

CMorwenMosaic& CMorwenMosaic::operator=(const CMorwenMosaic&)
{
    return *this;
}
