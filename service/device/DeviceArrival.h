#pragma once
// A device's capability record: the texts it announces in Arrival and what the capability file
// says the model can do.

#include <memory>
#include <string>
#include <vector>

struct CFrameType {
    std::string biometricPosition;
    int width = 0;
    int height = 0;
    int pixelFormat = 2;        // 0 "Gray8", 1 "RGB24", 2 anything else
    int pixelResolution = 500;  // 250, 500 or 1000
};

struct CVideoFormat {
    std::string videoFormatId;
    std::string modality;
    std::vector<CFrameType> frameTypes;
};

struct CSampleFormat {
    std::string formatId;
    std::string format;
    int views = 0;
    int width = 0;
    int height = 0;
    int pixelResolution = 500;
};

class CDeviceArrival {
public:
    virtual ~CDeviceArrival() = default;

    // "true" 1, "false" 0; any other text keeps `current` and logs the invalid word.
    static int ConvertStringToBOOL(const std::string& text, int current, int logModule);
    // "Gray8" 0, "RGB24" 1, anything else 2.
    static int ConvertPixelFormat(const std::string& text);
    // "250ppi" 250, "1000ppi" 1000, anything else 500.
    static int ConvertPixelResolution(const std::string& text);
    // "width,height"; a missing part reads as 0.
    static void ConvertSize(const std::string& text, int& width, int& height);

    std::string vdmName;
    std::string deviceURI;
    std::string modality;
    std::string deviceMake;
    std::string deviceModel;
    std::string hardwareRev;
    std::string firmwareRev;
    std::string serialNumber;
    int detection = 1;
    int video = 1;
    int autoCapture = 1;
    int disableAutoCapture = 1;
    int userFeedback = 1;
    int graphicalFeedback = 0;
    std::vector<std::unique_ptr<CVideoFormat>> videoFormats;
    std::vector<std::unique_ptr<CSampleFormat>> sampleFormats;
};
