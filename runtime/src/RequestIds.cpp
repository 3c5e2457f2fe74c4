#include "runtime/RequestIds.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <random>

namespace {

RequestIdMap* Received(CSocketUtils* daemon, int channel) {
    SocketChannel* entry = daemon != nullptr ? daemon->ChannelAt(channel) : nullptr;
    return entry != nullptr ? &entry->receivedIds : nullptr;
}

RequestIdMap* Sent(CSocketUtils* daemon, int channel) {
    SocketChannel* entry = daemon != nullptr ? daemon->ChannelAt(channel) : nullptr;
    return entry != nullptr ? &entry->sentIds : nullptr;
}

void FillRandom(unsigned char* bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::getrandom(bytes + done, count - done, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            // No kernel source (very old kernel): the library's own random device.
            std::random_device device;
            for (; done < count; ++done) bytes[done] = static_cast<unsigned char>(device());
        }
    }
}

void Prune(RequestIdMap& map, int64_t now) {
    for (auto it = map.begin(); it != map.end();) {
        double age = static_cast<double>(now - it->second.time);
        if (age > kRequestIdMaxAgeSeconds) {
            it = map.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

int64_t RequestIdNow() {
    return static_cast<int64_t>(std::time(nullptr));
}

std::string GenerateRequestId() {
    unsigned char b[16];
    FillRandom(b, sizeof b);
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // variant 1
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

bool AddReceivedRequestId(CSocketUtils* daemon, int channel, const std::string& requestId, MessageId messageId,
                          int64_t now) {
    RequestIdMap* map = Received(daemon, channel);
    return map != nullptr && map->emplace(requestId, RequestIdRecord{messageId, now}).second;
}

bool AddSentRequestId(CSocketUtils* daemon, int channel, const std::string& requestId, MessageId messageId,
                      int64_t now) {
    RequestIdMap* map = Sent(daemon, channel);
    return map != nullptr && map->emplace(requestId, RequestIdRecord{messageId, now}).second;
}

bool RemoveSentRequestId(CSocketUtils* daemon, int channel, const std::string& requestId) {
    RequestIdMap* map = Sent(daemon, channel);
    return map != nullptr && map->erase(requestId) == 1;
}

bool RemoveReceivedRequestId(CSocketUtils* daemon, int channel, const std::string& requestId) {
    RequestIdMap* map = Received(daemon, channel);
    return map != nullptr && map->erase(requestId) == 1;
}

MessageId FindSentRequestId(CSocketUtils* daemon, int channel, const std::string& requestId) {
    RequestIdMap* map = Sent(daemon, channel);
    if (map == nullptr) return MID_Unknown;
    auto it = map->find(requestId);
    return it != map->end() ? it->second.messageId : MID_Unknown;
}

bool FindReceivedRequestId(CSocketUtils* daemon, int channel, const std::string& requestId) {
    RequestIdMap* map = Received(daemon, channel);
    return map != nullptr && map->count(requestId) != 0;
}

void CleanRequestIds(CSocketUtils* daemon, int64_t now) {
    if (daemon == nullptr) return;
    for (SocketChannel& entry : daemon->channels) {
        if (entry.socket < 0) continue;
        Prune(entry.sentIds, now);
        Prune(entry.receivedIds, now);
    }
}
