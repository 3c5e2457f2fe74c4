#include "peers/EnrolmentClient.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "ImageMessageCodec.h"
#include "peers/DmStub.h"

namespace peers {

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool IsEvent(const std::string& document) {
    return document.rfind("<DeviceEventRequest", 0) == 0;
}

}  // namespace

FirView ReadFirstFirView(const std::vector<uint8_t>& record) {
    // Record header 32 bytes, finger header 14 bytes, then the pixels of the first view.
    FirView view;
    if (record.size() < 46 || record[0] != 'F' || record[1] != 'I' || record[2] != 'R' || record[3] != 0) return view;
    const int width = record[41] << 8 | record[42];
    const int height = record[43] << 8 | record[44];
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (record.size() < 46 + count) return view;
    view.position = record[36];
    view.width = width;
    view.height = height;
    view.pixels.assign(record.begin() + 46, record.begin() + 46 + static_cast<std::ptrdiff_t>(count));
    return view;
}

IirView ReadIirRecord(const std::vector<uint8_t>& record) {
    // Record header 45 bytes (big-endian), then per subtype 3 bytes (subtype, image count) and per
    // image 11 bytes (number, quality, rotation, uncertainty, data length) before its pixels.
    IirView view;
    auto u16 = [&](size_t at) { return static_cast<uint32_t>(record[at] << 8 | record[at + 1]); };
    auto u32 = [&](size_t at) { return u16(at) << 16 | u16(at + 2); };
    if (record.size() < 45 || record[0] != 'I' || record[1] != 'I' || record[2] != 'R' || record[3] != 0) return view;
    if (u32(8) != record.size()) return view;
    const int subtypes = record[14];
    view.width = static_cast<int>(u16(23));
    view.height = static_cast<int>(u16(25));
    size_t at = 45;
    for (int s = 0; s < subtypes; ++s) {
        if (at + 3 > record.size()) return IirView{};
        const int subtype = record[at];
        const uint32_t count = u16(at + 1);
        at += 3;
        for (uint32_t i = 0; i < count; ++i) {
            if (at + 11 > record.size()) return IirView{};
            const uint32_t length = u32(at + 7);
            at += 11;
            if (length > record.size() - at) return IirView{};
            IirImage image;
            image.subtype = subtype;
            image.pixels.assign(record.begin() + static_cast<std::ptrdiff_t>(at),
                                record.begin() + static_cast<std::ptrdiff_t>(at + length));
            view.images.push_back(std::move(image));
            at += length;
        }
    }
    view.valid = at == record.size();
    return view;
}

std::string NumberedId(char prefix, long long number) {
    std::string id(1, prefix);
    id += std::to_string(number);
    return id;
}

bool SplitUri(const std::string& uri, std::string& ip, int& port) {
    const size_t colon = uri.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= uri.size()) return false;
    port = 0;
    for (size_t i = colon + 1; i < uri.size(); ++i) {
        if (uri[i] < '0' || uri[i] > '9' || port > 65535) return false;
        port = port * 10 + (uri[i] - '0');
    }
    ip = uri.substr(0, colon);
    return port > 0 && port <= 65535;
}

std::vector<uint8_t> FetchImageRecord(XmlPeer& peer, long code, const std::string& requestId, int timeoutMs,
                                      std::string* carry, bool anyAnswer) {
    std::vector<uint8_t> request;
    if (!image_messages::EncodeRequest(0, code, requestId, request) ||
        !peer.Send(std::string(request.begin(), request.end())))
        return {};
    std::string local;
    std::string& bytes = carry != nullptr ? *carry : local;
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        // Answers of earlier requests that came late are skipped, unless any answer will do.
        while (!bytes.empty()) {
            image_messages::DecodedResponse response;
            size_t consumed = 0;
            const auto status = image_messages::DecodeResponse(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                               bytes.size(), response, consumed);
            if (status == image_messages::DecodeStatus::NeedMore) break;
            if (status == image_messages::DecodeStatus::Failed || consumed == 0) {
                bytes.clear();
                return {};
            }
            bytes.erase(0, consumed);
            if (anyAnswer || response.requestId == requestId) return response.data;
        }
        if (NowMs() >= deadline) return {};
        pollfd p{peer.fd(), POLLIN, 0};
        if (::poll(&p, 1, 10) > 0) {
            char chunk[65536];
            const ssize_t n = ::recv(peer.fd(), chunk, sizeof chunk, 0);
            if (n <= 0) return {};
            bytes.append(chunk, static_cast<size_t>(n));
        }
    }
}

int64_t PreviewPacer::Next(int64_t nowMs, bool answered, bool newPreview) {
    if (rate_ > 0) return std::max<int64_t>(1, std::llround(1000.0 / rate_));
    if (newPreview) {
        if (lastNewMs_ >= 0) {
            const int64_t interval = std::max<int64_t>(1, nowMs - lastNewMs_);
            if (periodMs_ == 0) {
                periodMs_ = interval;
            } else if (sawOld_) {
                // The preview came between a request that saw the old one and this one: the interval
                // is the period, to within the last wait.
                periodMs_ = (periodMs_ + interval) / 2;
            } else {
                // Already new at the first request: the device may be faster than it seemed.
                periodMs_ = std::max<int64_t>(1, interval * 3 / 4);
            }
        }
        lastNewMs_ = nowMs;
        sawOld_ = false;
    } else if (answered) {
        sawOld_ = true;
    }
    // Until the pace is known (an empty platen gives the same preview again and again), and after
    // a request that was not answered, ask ten times a second.
    if (!answered || periodMs_ == 0) return 100;
    // The next preview is due a period after the last new one: ask at seven eighths of it; while
    // the answer is the preview already seen, ask again after an eighth of the period (or of the
    // time since the last new preview, when the device has become slower or the scene stands
    // still, but at least every quarter of a second).
    if (newPreview) return std::max<int64_t>(1, periodMs_ * 7 / 8);
    return std::clamp<int64_t>(std::max(periodMs_, nowMs - lastNewMs_) / 8, 5, 250);
}

bool CEnrolmentClient::Connect(const std::string& deviceURI) {
    std::string ip;
    int port = 0;
    events_.clear();
    return SplitUri(deviceURI, ip, port) && device_.Connect(port, ip.c_str());
}

std::string CEnrolmentClient::NextId() {
    return "EC-" + std::to_string(++nextId_);
}

std::string CEnrolmentClient::ReadAnswer(const std::string& requestId, int timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        const int left = static_cast<int>(deadline - NowMs());
        if (left <= 0) return {};
        std::string document = device_.Read(left);
        if (document.empty()) return {};
        if (IsEvent(document)) {
            events_.push_back(document);
            continue;
        }
        if (RequestIdOf(document) == requestId) return document;
    }
}

std::string CEnrolmentClient::Command(const std::string& body, std::string* answer, int waitMs) {
    const std::string id = NextId();
    if (!device_.Send("<DeviceCommandRequest requestId=\"" + id + "\">" + body + "</DeviceCommandRequest>")) return {};
    const std::string document = ReadAnswer(id, waitMs);
    if (answer != nullptr) *answer = document;
    return ElementAttribute(document, "Return", "failureReason");
}

CaptureResult CEnrolmentClient::Capture(const CaptureOptions& options) {
    CaptureResult result;
    Command("<Subscribe><Event eventCategory=\"CaptureCompletion\"/><Event eventCategory=\"UserFeedback\"/>"
            "</Subscribe>");
    std::string start = "<StartCapture biometricPosition=\"" + options.biometricPosition + "\"";
    if (options.missing.empty()) {
        start += "/>";
    } else {
        start += "><MissingBiometrics>";
        for (size_t at = 0; at <= options.missing.size();) {
            size_t end = options.missing.find(',', at);
            if (end == std::string::npos) end = options.missing.size();
            start += "<MissingBiometric biometricPosition=\"" + options.missing.substr(at, end - at) + "\"/>";
            at = end + 1;
        }
        start += "</MissingBiometrics></StartCapture>";
    }
    std::string answer;
    result.startReason = Command(start, &answer, options.startWaitMs);
    if (result.startReason != "Success") return result;

    std::string ip;
    int port = 0;
    XmlPeer preview;
    const bool previewOpen = SplitUri(ElementAttribute(answer, "Video", "videoURI"), ip, port) &&
                             preview.Connect(port, ip.c_str());
    const int64_t deadline = NowMs() + options.timeoutMs;
    int frame = 0;
    std::string carry;  // bytes of preview answers not used yet
    PreviewPacer pacer(options.previewRate);
    int64_t nextAsk = NowMs();
    while (NowMs() < deadline) {
        if (previewOpen && NowMs() >= nextAsk) {
            // No frame yet gets no answer: wait briefly, then ask again.
            // An answer to an earlier request is a preview as well: on a slow machine every
            // answer may come after the next request went out.
            const int64_t asked = NowMs();
            std::vector<uint8_t> record = FetchImageRecord(preview, 1, NumberedId('F', frame), 50, &carry, true);
            ++result.frameRequests;
            const bool answered = !record.empty();
            const bool newPreview = answered && record != result.lastPreview;
            if (answered) {
                if (newPreview) ++result.distinctPreviews;
                result.lastPreview = std::move(record);
                ++result.previews;
            }
            nextAsk = asked + pacer.Next(asked, answered, newPreview);
            ++frame;
        }
        if (options.disconnectAfterFrames >= 0 && result.previews >= options.disconnectAfterFrames) {
            device_.Close();
            return result;
        }
        if (options.forceAfterFrames >= 0 && result.previews >= options.forceAfterFrames && result.forceReason.empty())
            result.forceReason = Command("<ForceCapture/>");
        if (options.stopAfterFrames >= 0 && result.previews >= options.stopAfterFrames) {
            result.stopReason = Command("<StopCapture/>");
            return result;
        }
        std::string event;
        if (!events_.empty()) {
            event = events_.front();
            events_.erase(events_.begin());
        } else {
            event = device_.Read(10);
            if (device_.Ended()) {
                result.deviceClosed = true;
                return result;
            }
            if (!event.empty() && !IsEvent(event)) continue;
        }
        if (event.empty() || !HasElement(event, "CaptureComplete")) continue;
        // The sample first, then the acknowledgement: the service closes the result channel when
        // the event is acknowledged.
        XmlPeer sample;
        if (SplitUri(ElementAttribute(event, "CaptureComplete", "sampleURI"), ip, port) &&
            sample.Connect(port, ip.c_str()))
            result.sample = FetchImageRecord(sample, 0, "SAMPLE", 5000);
        device_.Send("<DeviceEventResponse requestId=\"" + RequestIdOf(event) +
                     "\"><Return value=\"Success\" failureReason=\"Success\"/></DeviceEventResponse>");
        result.completed = !result.sample.empty();
        return result;
    }
    return result;
}

}  // namespace peers
