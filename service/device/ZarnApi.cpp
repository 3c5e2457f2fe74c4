#include "device/ZarnApi.h"

#include <atomic>

namespace {

int NotInitialised() { return ZARN_ERR_NOT_INITIALIZED; }
template <typename... A>
int NotInitialisedWith(A...) { return ZARN_ERR_NOT_INITIALIZED; }

const ZarnFpApi kAbsentFp = {
    NotInitialisedWith<ZarnApiVersion*>,
    NotInitialisedWith<int>,
    NotInitialised,
    NotInitialisedWith<ZarnDeviceInfo*>,
    NotInitialisedWith<ZarnRunningInfo*>,
    [](ZarnConnectedScanners*) { return static_cast<int>(ZARN_ERR_NO_SCANNER); },
    NotInitialisedWith<int, int, int, int, int*, int*, int*, int*>,
    NotInitialisedWith<int, int>,
    NotInitialised,
    NotInitialised,
    NotInitialised,
    NotInitialised,
    NotInitialisedWith<int>,
    NotInitialisedWith<int, int, int, float, int, int, int>,
    NotInitialised,
    NotInitialisedWith<int, int, double, int, int, int, int, int, int>,
    NotInitialisedWith<ZarnCallbackPreviewImage, void*>,
    NotInitialisedWith<ZarnCallbackTakingResultImage, void*>,
    NotInitialisedWith<ZarnCallbackResultImage, void*>,
    NotInitialisedWith<ZarnCallbackFootSwitch, void*>,
    NotInitialisedWith<ZarnCallbackObjectQuality, void*>,
    NotInitialisedWith<ZarnCallbackDeviceIsConnected, void*>,
};

const ZarnIrisApi kAbsentIris = {
    NotInitialisedWith<ZarnApiVersion*>,
    NotInitialised,
    NotInitialised,
    NotInitialisedWith<ZarnDeviceInfo*>,
    [](int*) { return static_cast<int>(ZARN_ERR_NO_CAMERA); },
    NotInitialisedWith<int, ZarnRunningInfo*>,
    NotInitialisedWith<int, int, int, int>,
    NotInitialised,
    NotInitialised,
    NotInitialisedWith<int>,
    NotInitialisedWith<int>,
    NotInitialisedWith<int>,
    NotInitialised,
    NotInitialisedWith<int, ZarnCallbackPreviewImage, void*>,
    NotInitialisedWith<int, ZarnIrisCallbackResultImage, void*>,
    NotInitialisedWith<ZarnCallbackDeviceIsConnected, void*>,
};

std::atomic<const ZarnFpApi*> installedFp{&kAbsentFp};
std::atomic<const ZarnIrisApi*> installedIris{&kAbsentIris};

template <typename Table>
bool AllSet(const Table& table) {
    // Every member is a function pointer of the same size.
    using Entry = void (*)();
    static_assert(sizeof(Table) % sizeof(Entry) == 0);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&table);
    for (size_t offset = 0; offset < sizeof(Table); offset += sizeof(Entry)) {
        Entry entry;
        __builtin_memcpy(&entry, bytes + offset, sizeof entry);
        if (entry == nullptr) return false;
    }
    return true;
}

}  // namespace

void InstallZarnFpApi(const ZarnFpApi* table) {
    installedFp.store(table != nullptr ? table : &kAbsentFp);
}

void InstallZarnIrisApi(const ZarnIrisApi* table) {
    installedIris.store(table != nullptr ? table : &kAbsentIris);
}

const ZarnFpApi& FpApi() {
    return *installedFp.load();
}

const ZarnIrisApi& IrisApi() {
    return *installedIris.load();
}

bool IsCompleteZarnFpApi(const ZarnFpApi& table) {
    return AllSet(table);
}

bool IsCompleteZarnIrisApi(const ZarnIrisApi& table) {
    return AllSet(table);
}
