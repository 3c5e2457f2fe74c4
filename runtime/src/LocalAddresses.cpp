// This machine's IPv4 addresses and the normalisation of address texts.

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "runtime/Log.h"
#include "runtime/SocketUtils.h"

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool IsPrivate(const std::string& address) {
    if (StartsWith(address, "10.") || StartsWith(address, "169.254.") || StartsWith(address, "192.168.")) return true;
    if (StartsWith(address, "172.")) {
        int second = std::atoi(address.c_str() + 4);
        return second >= 16 && second <= 31;
    }
    return false;
}

}  // namespace

std::vector<std::string> ClassifyLocalAddresses(const std::vector<std::string>& addresses) {
    std::vector<std::string> result, privateList, loopbackList;
    bool sawLocalhost = false;
    for (const std::string& address : addresses) {
        if (address == "127.0.0.1") sawLocalhost = true;
        if (StartsWith(address, "127.")) {
            loopbackList.push_back(address);
        } else if (IsPrivate(address)) {
            privateList.push_back(address);
        } else if (!StartsWith(address, "0.")) {
            // Everything else that is a real address is public, 172.x outside 16-31 included.
            result.push_back(address);
        }
    }
    result.insert(result.end(), privateList.begin(), privateList.end());
    result.insert(result.end(), loopbackList.begin(), loopbackList.end());
    if (sawLocalhost) result.emplace_back("127.0.0.1");
    return result;
}

std::string ChooseHostAddress(const std::string& resolved, const std::vector<std::string>& list) {
    if (std::find(list.begin(), list.end(), resolved) != list.end()) return resolved;
    if (!list.empty()) return list.front();
    return resolved;
}

int CSocketUtils::CSGetLocalIpList(std::vector<std::string>& list) {
    // The interfaces' addresses: on Linux the host name usually resolves to a loopback address
    // from /etc/hosts, so the resolver would not show the machine's network addresses.
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0) return -1;
    std::vector<std::string> found;
    for (ifaddrs* it = interfaces; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET || !(it->ifa_flags & IFF_UP)) continue;
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr, text, sizeof text);
        found.emplace_back(text);
    }
    ::freeifaddrs(interfaces);
    list = ClassifyLocalAddresses(found);
    for (const std::string& address : list) {
        TSK_LOG(LOGLEVEL_DBG1, 0, "CSocketUtils::CSGetLocalIpList: Detected IP Address = " << address);
    }
    return 0;
}

std::string CSocketUtils::CSGetHostAddress() {
    char name[65] = {};
    std::string resolved;
    if (::gethostname(name, sizeof name - 1) == 0) {
        uint32_t address = 0;
        if (NetResolve(name, &address, nullptr) == 0) {
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &address, text, sizeof text);
            resolved = text;
        }
    }
    std::vector<std::string> list;
    if (CSGetLocalIpList(list) != 0) list.clear();
    return ChooseHostAddress(resolved, list);
}

std::string CSocketUtils::NormaliseAddress(std::string address) {
    for (char& c : address) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (address == "hostname") return CSGetHostAddress();
    if (address.empty()) return "localhost";
    return address;
}
