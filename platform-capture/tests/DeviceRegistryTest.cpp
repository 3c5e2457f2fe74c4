// The device registry as the capture libraries walk it.

#include "CaptureRig.h"
#include "platform/DeviceRegistry.h"

namespace capturetest {
namespace {

using namespace platform::setup;

std::string Property(const DeviceInfoSet& set, const SP_DEVINFO_DATA& data, DWORD property, DWORD* type = nullptr) {
    DWORD required = 0;
    EXPECT_EQ(set.GetDeviceRegistryProperty(data, property, type, nullptr, 0, &required), ERROR_INSUFFICIENT_BUFFER);
    std::vector<uint8_t> buffer(required);
    // One byte short is still too small, and the buffer is left alone.
    if (required > 1) {
        buffer.assign(required, 0xAA);
        EXPECT_EQ(set.GetDeviceRegistryProperty(data, property, type, buffer.data(), required - 1, &required),
                  ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(buffer[0], 0xAA);
    }
    EXPECT_EQ(set.GetDeviceRegistryProperty(data, property, type, buffer.data(), DWORD(buffer.size()), &required),
              ERROR_SUCCESS);
    return std::string(buffer.begin(), buffer.end());
}

TEST(DeviceRegistry, ListsEveryDeviceAsAnImagingRecord) {
    Bus bus("device scanner PloverA period 200 pattern\n"
            "device old PloverE period 200 pattern\n"
            "device left IrisLeft period 200 pattern\n");
    DWORD error = 1;
    auto set = SetupDiGetClassDevs(nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, &error);
    ASSERT_TRUE(set);
    EXPECT_EQ(error, ERROR_SUCCESS);

    struct Expected {
        const char* description;
        const char* hardwareId;
    };
    const Expected expected[] = {{"Tessik PloverA", "USB\\VID_0547&PID_2150&REV_0000"},
                                 {"Tessik PloverA", "USB\\VID_0547&PID_2150&REV_0100"},
                                 {"Tessik Iris", "USB\\VID_0547&PID_2113&REV_0000"}};
    DWORD i = 0;
    SP_DEVINFO_DATA data;
    for (; set->EnumDeviceInfo(i, &data) == ERROR_SUCCESS; ++i) {
        ASSERT_LT(i, 3u);
        EXPECT_EQ(data.ClassGuid, GUID_DEVCLASS_IMAGE);
        EXPECT_TRUE(data.Present);
        DWORD type = 0;
        EXPECT_EQ(Property(*set, data, SPDRP_DEVICEDESC, &type), std::string(expected[i].description) + '\0');
        EXPECT_EQ(type, REG_SZ);
        EXPECT_EQ(Property(*set, data, SPDRP_HARDWAREID, &type), std::string(expected[i].hardwareId) + '\0' + '\0');
        EXPECT_EQ(type, REG_MULTI_SZ);
        EXPECT_EQ(Property(*set, data, SPDRP_CLASSGUID), std::string("{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}") + '\0');
        uint8_t small[4];
        EXPECT_EQ(set->GetDeviceRegistryProperty(data, 0x1F, nullptr, small, sizeof small, nullptr), ERROR_INVALID_DATA);
    }
    EXPECT_EQ(i, 3u);
    EXPECT_EQ(set->EnumDeviceInfo(i, &data), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(set->EnumDeviceInfo(1000, &data), ERROR_NO_MORE_ITEMS);

    // By class: the Imaging class holds them all.
    auto imaging = SetupDiGetClassDevs(&GUID_DEVCLASS_IMAGE, "USB", DIGCF_PRESENT, &error);
    ASSERT_TRUE(imaging);
    EXPECT_EQ(imaging->Records().size(), 3u);
    const platform::Guid other = {1, 2, 3, {4}};
    EXPECT_TRUE(SetupDiGetClassDevs(&other, nullptr, DIGCF_PRESENT)->Records().empty());
    EXPECT_EQ(SetupDiGetClassDevs(nullptr, nullptr, DIGCF_PRESENT, &error), nullptr);
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
}

TEST(DeviceRegistry, AnUnpluggedDeviceStaysListedAsNotPresent) {
    Bus bus("device a PloverB period 200 pattern\n"
            "device b VireoA period 200 pattern\n");
    ASSERT_EQ(SetupDiGetClassDevs(nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES)->Records().size(), 2u);
    bus.Device("a")->Unplug();
    ASSERT_TRUE(WaitUntil(
        [] { return SetupDiGetClassDevs(nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES)->Records().size() == 1; }));
    auto present = SetupDiGetClassDevs(nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    EXPECT_EQ(present->Records()[0].description, "Tessik VireoA");

    auto all = SetupDiGetClassDevs(nullptr, nullptr, DIGCF_ALLCLASSES);
    const DeviceInfoSet::Record* unplugged = nullptr;
    for (const auto& r : all->Records())
        if (r.description == "Tessik PloverB") unplugged = &r;
    ASSERT_NE(unplugged, nullptr);
    EXPECT_FALSE(unplugged->present);
    const DWORD devInst = unplugged->devInst;

    // Plugged in again, it takes its record back.
    bus.Device("a")->Replug();
    ASSERT_TRUE(WaitUntil(
        [] { return SetupDiGetClassDevs(nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES)->Records().size() == 2; }));
    bool found = false;
    auto again = SetupDiGetClassDevs(nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    for (const auto& r : again->Records())
        if (r.description == "Tessik PloverB") found = r.devInst == devInst && r.present;
    EXPECT_TRUE(found);
}

TEST(DeviceRegistry, InjectedFailuresReachTheCaller) {
    Bus bus("device a PloverA period 200 pattern\n");
    DWORD error = 0;
    SetRegistryFaults({ERROR_INVALID_DATA, -1, ERROR_GEN_FAILURE});
    EXPECT_EQ(SetupDiGetClassDevs(nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, &error), nullptr);
    EXPECT_EQ(error, ERROR_INVALID_DATA);
    SetRegistryFaults({ERROR_SUCCESS, 0, ERROR_GEN_FAILURE});
    auto set = SetupDiGetClassDevs(nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, &error);
    ASSERT_TRUE(set);
    SP_DEVINFO_DATA data;
    EXPECT_EQ(set->EnumDeviceInfo(0, &data), ERROR_GEN_FAILURE);
    SetRegistryFaults({});
    EXPECT_EQ(set->EnumDeviceInfo(0, &data), ERROR_SUCCESS);
}

}  // namespace
}  // namespace capturetest
