#include "lookup/ReverseLookup.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "platform/TextUtil.h"

bool LookUpComputerName(const std::string& address, std::string& name) {
    uint32_t networkOrder = 0;
    if (!ParseDottedIPv4(address, networkOrder)) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = networkOrder;
    char host[NI_MAXHOST];
    // NI_NAMEREQD: an address without a name is a failure, never its own dotted form.
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
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
