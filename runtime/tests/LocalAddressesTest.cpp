#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/SocketUtils.h"

using List = std::vector<std::string>;

TEST(LocalAddresses, ClassificationOrdersPublicPrivateLoopback) {
    struct Case {
        List in;
        List out;
    };
    const Case cases[] = {
        {{"192.168.1.5", "8.8.4.4"}, {"8.8.4.4", "192.168.1.5"}},
        {{"127.0.0.1"}, {"127.0.0.1", "127.0.0.1"}},
        {{"127.0.1.1", "10.1.2.3"}, {"10.1.2.3", "127.0.1.1"}},
        {{"172.16.0.1", "172.31.255.1", "172.15.0.1", "172.32.0.1", "172.217.3.4"},
         {"172.15.0.1", "172.32.0.1", "172.217.3.4", "172.16.0.1", "172.31.255.1"}},
        {{"0.0.0.0", "169.254.7.7", "1.2.3.4"}, {"1.2.3.4", "169.254.7.7"}},
        {{"127.0.0.1", "192.168.0.9", "9.9.9.9", "10.0.0.1"},
         {"9.9.9.9", "192.168.0.9", "10.0.0.1", "127.0.0.1", "127.0.0.1"}},
        {{}, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(ClassifyLocalAddresses(c.in), c.out);
}

TEST(LocalAddresses, HostAddressPrefersTheResolvedAddressWhenLocal) {
    EXPECT_EQ(ChooseHostAddress("10.0.0.5", {"8.8.8.8", "10.0.0.5"}), "10.0.0.5");
    EXPECT_EQ(ChooseHostAddress("127.0.1.1", {"8.8.8.8", "10.0.0.5"}), "8.8.8.8");
    EXPECT_EQ(ChooseHostAddress("127.0.1.1", {}), "127.0.1.1");
    EXPECT_EQ(ChooseHostAddress("", {}), "");
}

TEST(LocalAddresses, ListOfThisMachineEndsWithLoopback) {
    List list;
    ASSERT_EQ(CSocketUtils::CSGetLocalIpList(list), 0);
    ASSERT_GE(list.size(), 2u);  // the loopback interface, listed twice
    EXPECT_EQ(list.back(), "127.0.0.1");
    for (const std::string& address : list) EXPECT_NE(address.rfind("0.", 0), 0u) << address;
}

TEST(LocalAddresses, NormalisationLowerCasesAndReplacesTheWords) {
    EXPECT_EQ(CSocketUtils::NormaliseAddress(""), "localhost");
    EXPECT_EQ(CSocketUtils::NormaliseAddress("LocalHost"), "localhost");
    EXPECT_EQ(CSocketUtils::NormaliseAddress("127.0.0.1"), "127.0.0.1");
    const std::string host = CSocketUtils::CSGetHostAddress();
    EXPECT_FALSE(host.empty());
    EXPECT_EQ(CSocketUtils::NormaliseAddress("hostname"), host);
    EXPECT_EQ(CSocketUtils::NormaliseAddress("HostName"), host);
}
