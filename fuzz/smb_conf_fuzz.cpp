// smb.conf as this computer's NetBIOS names come from it: whatever the file holds, each
// name is one the datagrams can carry.
#include <string>

#include "FuzzSupport.h"
#include "messaging/ComputerName.h"
#include "messaging/NetbiosDatagram.h"
#include "platform/TextUtil.h"

namespace {

void CheckName(const std::string& name) {
    FUZZ_CHECK(name.size() <= NETBIOS_NAME_MAX);
    FUZZ_CHECK(Cp949PrefixLength(name, NETBIOS_NAME_MAX) == name.size());
    FUZZ_CHECK(NetbiosUpper(name) == name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile file;
    file.Set(data, size);
    const NetbiosNames names = ReadNetbiosNames(file.Path());
    CheckName(names.computer);
    CheckName(names.workgroup);
    FUZZ_CHECK(!names.workgroup.empty());
    return 0;
}
