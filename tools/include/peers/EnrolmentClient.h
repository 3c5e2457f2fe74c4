#pragma once
// An enrolment client for tests and demos: connects to a device's channel (its deviceURI), runs
// one capture with StartCapture, reads previews with GetFrame while it waits for CaptureComplete,
// fetches the sample with GetSample before it acknowledges the event, and can send ForceCapture
// and StopCapture on the way.

#include <cstdint>
#include <string>
#include <vector>

#include "peers/XmlPeer.h"

namespace peers {

// The first finger view of an ISO/IEC 19794-4 record.
struct FirView {
    int position = -1;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};
// Reads the record header and first view; position -1 when the record is not a finger record or
// is shorter than its view says.
FirView ReadFirstFirView(const std::vector<uint8_t>& record);

// The images of an ISO/IEC 19794-6 iris record, in record order, each with its subtype (1 right
// eye, 2 left eye) and the record's raw width and height.
struct IirImage {
    int subtype = 0;
    std::vector<uint8_t> pixels;
};
struct IirView {
    bool valid = false;  // an iris record whose blocks all lie inside it
    int width = 0;
    int height = 0;
    std::vector<IirImage> images;
};
IirView ReadIirRecord(const std::vector<uint8_t>& record);

struct CaptureOptions {
    std::string biometricPosition = "RightSlap";
    std::string missing;         // comma-separated MissingBiometric positions
    int forceAfterFrames = -1;   // send ForceCapture after this many previews; negative: never
    int stopAfterFrames = -1;    // send StopCapture after this many previews; negative: never
    int disconnectAfterFrames = -1;  // drop the device connection after this many previews
    int timeoutMs = 20000;       // longest wait for the capture to complete
    int startWaitMs = 5000;      // longest wait for the StartCapture answer (the capture library
                                 // may set the scanner's mode and check the platen first)
    double previewRate = 0;      // GetFrame requests a second; 0: at the device's own preview pace
};

struct CaptureResult {
    std::string startReason;     // failureReason of the StartCapture answer ("Success" when started)
    std::string forceReason;     // of the ForceCapture answer, when one was sent
    std::string stopReason;      // of the StopCapture answer, when one was sent
    bool completed = false;      // CaptureComplete arrived and the sample was fetched
    bool deviceClosed = false;   // the service closed the device channel (the device went away)
    int previews = 0;            // GetFrame answers with a record
    int distinctPreviews = 0;    // answers whose record differs from the answer before
    int frameRequests = 0;       // GetFrame requests sent
    std::vector<uint8_t> sample;       // the GetSample record
    std::vector<uint8_t> lastPreview;  // the last GetFrame record
};

class CEnrolmentClient {
public:
    // Connects to "ip:port"; false when the device channel cannot be reached.
    bool Connect(const std::string& deviceURI);
    void Close() { device_.Close(); }
    CaptureResult Capture(const CaptureOptions& options);
    // Sends one command and returns the failureReason of its answer (empty when none came).
    std::string Command(const std::string& body, std::string* answer = nullptr, int waitMs = 5000);

private:
    // Reads documents until the answer of `requestId`; events met on the way are queued.
    std::string ReadAnswer(const std::string& requestId, int timeoutMs);
    std::string NextId();

    XmlPeer device_;
    std::vector<std::string> events_;
    int nextId_ = 0;
};

// When to ask for the next preview. The service answers GetFrame with the latest preview it holds,
// the same one again until the device delivers a new one, and not at all before the first. At the
// device's pace the next request goes out a little before the next preview is due, judged from the
// intervals between the new previews seen so far, and a request answered with the preview already
// seen is repeated after a short wait; a rate set by the user spaces the requests evenly instead.
class PreviewPacer {
public:
    explicit PreviewPacer(double requestsPerSecond = 0) : rate_(requestsPerSecond) {}
    // Milliseconds from a request sent at `nowMs` to the next, given what its answer was.
    int64_t Next(int64_t nowMs, bool answered, bool newPreview);

private:
    double rate_;
    int64_t periodMs_ = 0;
    int64_t lastNewMs_ = -1;
    bool sawOld_ = false;  // a request since the last new preview was answered with that preview
};

// One image request (GetFrame: code 1, GetSample: code 0) on a connected image channel; the
// record of its answer, empty when none came in time. `carry` keeps the bytes read past an answer
// (or of an answer that came too late) for the next request on the same channel. With `anyAnswer`
// the answer of an earlier request on the channel is taken too; otherwise it is skipped.
std::vector<uint8_t> FetchImageRecord(XmlPeer& peer, long code, const std::string& requestId, int timeoutMs,
                                      std::string* carry = nullptr, bool anyAnswer = false);
// A request id of a letter and a number, "F12". Built by appending: GCC 12 warns falsely
// (-Wrestrict) at "F" + std::to_string(n) in an optimised build.
std::string NumberedId(char prefix, long long number);
// "ip:port" split; false when the text is not of that form.
bool SplitUri(const std::string& uri, std::string& ip, int& port);

}  // namespace peers
