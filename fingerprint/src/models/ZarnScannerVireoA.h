#pragma once
// VireoA (type 401): the single-finger USB scanner whose 1600 x 1200 frames carry sync bytes and a
// 1496 x 945 finger window, for single flat fingers, two thumbs and rolled fingers at 500 ppi.

#include "ZarnScannerBase.h"

class ZarnScannerVireoA : public ZarnScannerBase {
public:
    ZarnScannerVireoA();
    int GetImageTypeInfo(int imageType, ZarnImageInfo* info, int halfFlag) override;
    // Refuses a frame without its sync bytes (-1); cuts the window and turns it top to bottom.
    int FilterStream(uint8_t* buffer, long* length) override;
    int FillDeviceInfo(ZarnDeviceInfo* info) override;
};
