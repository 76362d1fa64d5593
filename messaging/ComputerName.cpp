#include "messaging/ComputerName.h"

#include <unistd.h>

#include <cctype>
#include <fstream>
#include <string_view>

#include "messaging/NetbiosDatagram.h"
#include "platform/TextUtil.h"

namespace {

std::string Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

// Samba ignores case and every blank in section and parameter names.
std::string Canonical(std::string_view name) {
    std::string out;
    for (char c : name)
        if (!std::isspace(static_cast<unsigned char>(c)))
            out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return out;
}

// smb.conf is UTF-8; the name travels in CP949, upper case, at most 15 bytes.
std::string NetbiosForm(std::string_view utf8) {
    std::string name = NetbiosUpper(Utf8ToCp949(utf8));
    name.resize(Cp949PrefixLength(name, NETBIOS_NAME_MAX));
    return name;
}

void ReadSmbConf(const std::string& path, std::string& netbiosName, std::string& workgroup) {
    std::ifstream in(path);
    std::string line, logical;
    bool global = true;  // settings before any section are global
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.back() == '\\') {
            line.pop_back();
            logical += line;
            continue;
        }
        logical += line;
        const std::string text = Trim(logical);
        logical.clear();
        if (text.empty() || text[0] == '#' || text[0] == ';') continue;
        if (text[0] == '[') {
            const size_t close = text.find(']');
            global = close != std::string::npos && Canonical(text.substr(1, close - 1)) == "global";
            continue;
        }
        const size_t equals = text.find('=');
        if (!global || equals == std::string::npos) continue;
        const std::string key = Canonical(text.substr(0, equals));
        const std::string value = Trim(text.substr(equals + 1));
        if (key == "netbiosname")
            netbiosName = value;
        else if (key == "workgroup")
            workgroup = value;
    }
}

}  // namespace

NetbiosNames ReadNetbiosNames(const std::string& smbConfPath) {
    std::string netbiosName, workgroup;
    ReadSmbConf(smbConfPath, netbiosName, workgroup);
    if (netbiosName.empty()) {
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) == 0) {
            const std::string_view name(host);
            netbiosName = std::string(name.substr(0, name.find('.')));
        }
    }
    if (workgroup.empty()) workgroup = "WORKGROUP";
    return NetbiosNames{NetbiosForm(netbiosName), NetbiosForm(workgroup)};
}
