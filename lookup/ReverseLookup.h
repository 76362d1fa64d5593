#pragma once
#include <string>

// Reverse look-up of an IPv4 or IPv6 address (with an optional zone) through the
// system resolver. Blocks until the resolver answers. False for every failure: no name
// registered, no answer, or a text that is no address.
bool LookUpComputerName(const std::string& address, std::string& name);

std::string ComputerNameFoundText(const std::string& address, const std::string& name);
std::string ComputerNameNotFoundText(const std::string& address);

// The line the computer-name dialog shows for an address, found or not.
std::string ComputerNameResultText(const std::string& address);
