#include "lookup/ReverseLookup.h"

#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>

#include "platform/TextUtil.h"

bool LookUpComputerName(const std::string& address, std::string& name) {
    sockaddr_storage storage{};
    socklen_t length;
    uint32_t networkOrder = 0;
    uint8_t bytes[16];
    std::string zone;
    if (ParseDottedIPv4(address, networkOrder)) {
        auto& sa = reinterpret_cast<sockaddr_in&>(storage);
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = networkOrder;
        length = sizeof sa;
    } else if (ParseIPv6(address, bytes, &zone)) {
        auto& sa = reinterpret_cast<sockaddr_in6&>(storage);
        sa.sin6_family = AF_INET6;
        std::memcpy(&sa.sin6_addr, bytes, sizeof bytes);
        // A zone is an interface's name or number.
        if (!zone.empty()) {
            sa.sin6_scope_id = ::if_nametoindex(zone.c_str());
            if (sa.sin6_scope_id == 0) sa.sin6_scope_id = static_cast<uint32_t>(SaturatingAtoi(zone));
        }
        length = sizeof sa;
    } else {
        return false;
    }
    char host[NI_MAXHOST];
    // NI_NAMEREQD: an address without a name is a failure, never its own address text.
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&storage), length, host, sizeof host, nullptr, 0,
                      NI_NAMEREQD) != 0)
        return false;
    name = host;
    return true;
}

std::string ComputerNameFoundText(const std::string& address, const std::string& name) {
    return "IP 주소 " + address + "에 설정된 컴퓨터 이름은 " + name + " 입니다.";
}

std::string ComputerNameNotFoundText(const std::string& address) {
    return "IP 주소 " + address + "의 컴퓨터 이름을 알 수 없습니다.";
}

std::string ComputerNameResultText(const std::string& address) {
    std::string name;
    return LookUpComputerName(address, name) ? ComputerNameFoundText(address, name)
                                             : ComputerNameNotFoundText(address);
}
