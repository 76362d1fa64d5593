#pragma once
// This computer's NetBIOS names, read as Samba reads them so both answer to the same
// NAME<03>: `netbios name` and `workgroup` from smb.conf's global section, else the host
// name's first label and WORKGROUP.
#include <string>

inline constexpr const char* DEFAULT_SMB_CONF = "/etc/samba/smb.conf";

// CP949 bytes, upper case, at most 15 bytes each; the computer name is empty only when
// the host has no name at all.
struct NetbiosNames {
    std::string computer;
    std::string workgroup;
};

NetbiosNames ReadNetbiosNames(const std::string& smbConfPath = DEFAULT_SMB_CONF);
