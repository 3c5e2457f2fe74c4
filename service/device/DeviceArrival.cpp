#include "device/DeviceArrival.h"

#include "runtime/Log.h"
#include "runtime/StringUtils.h"
#include "xml/XmlMessage.h"

int CDeviceArrival::ConvertStringToBOOL(const std::string& text, int current, int logModule) {
    if (text == "true") return 1;
    if (text == "false") return 0;
    TSK_LOG(LOGLEVEL_ERROR, logModule,
            "CDeviceArrival::ConvertStringToBOOL: Invalid BOOL string" << text << ", must be either true or false.");
    return current;
}

int CDeviceArrival::ConvertPixelFormat(const std::string& text) {
    if (text == "Gray8") return 0;
    if (text == "RGB24") return 1;
    return 2;
}

int CDeviceArrival::ConvertPixelResolution(const std::string& text) {
    if (text == "250ppi") return 250;
    if (text == "1000ppi") return 1000;
    return 500;
}

void CDeviceArrival::ConvertSize(const std::string& text, int& width, int& height) {
    std::vector<std::string> parts = SplitString(text, ",");
    width = parts.size() > 0 ? ParseDecimal(parts[0]) : 0;
    height = parts.size() > 1 ? ParseDecimal(parts[1]) : 0;
}
