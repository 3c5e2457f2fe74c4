#pragma once
// Request ids: generation, and the per-channel records of sent and received ids kept in a channel
// daemon. The record functions take no lock; callers hold the endpoint's table lock (or use the
// locking members of CSocketController).

#include <cstdint>
#include <string>

#include "runtime/SocketUtils.h"

// Age in seconds beyond which CleanRequestIds drops a record.
inline constexpr double kRequestIdMaxAgeSeconds = 180.0;

// Seconds since the epoch, the time stamp of new records.
int64_t RequestIdNow();

// A new request id: 36 upper-case characters, hexadecimal groups 8-4-4-4-12 separated by hyphens,
// from 128 random bits of the kernel (a version-4 UUID).
std::string GenerateRequestId();

// Records an id on a channel; false when it is already there (the first record stays) or the
// channel is outside the table.
bool AddReceivedRequestId(CSocketUtils* daemon, int channel, const std::string& requestId, MessageId messageId,
                          int64_t now = RequestIdNow());
bool AddSentRequestId(CSocketUtils* daemon, int channel, const std::string& requestId, MessageId messageId,
                      int64_t now = RequestIdNow());

// True when one record was erased.
bool RemoveSentRequestId(CSocketUtils* daemon, int channel, const std::string& requestId);
bool RemoveReceivedRequestId(CSocketUtils* daemon, int channel, const std::string& requestId);

// Kind recorded with a sent id, MID_Unknown when absent.
MessageId FindSentRequestId(CSocketUtils* daemon, int channel, const std::string& requestId);
// True when the id was received on the channel and not yet answered or aged out.
bool FindReceivedRequestId(CSocketUtils* daemon, int channel, const std::string& requestId);

// Drops records older than 180 s from the channels in use (free entries keep theirs).
void CleanRequestIds(CSocketUtils* daemon, int64_t now);
