// Our echo requests, sent through either socket kind, as tshark decodes them on the
// loopback of a namespace of the test's own.
#include "friends/PingWorker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "friends/Icmp.h"
#include "support/NetNamespace.h"
#include "support/TestSupport.h"

namespace {

TEST(PingCapture, TsharkDecodesWellFormedEchoRequests) {
    const std::string why = NamespaceUnavailableReason();
    if (!why.empty()) GTEST_SKIP() << why;
    TestNetns ns("pcap");
    ASSERT_EQ(ns.Exec("sysctl -qw net.ipv4.ping_group_range=\"0 2147483647\""), 0);
    TempDir dir;
    const std::string pcap = dir.file("ping.pcapng");
    // Two requests and their two replies end the capture.
    std::thread capture([&] { ns.Exec("timeout 30 tshark -q -i lo -f icmp -c 4 -w " + pcap + " >/dev/null 2>&1"); });
    for (int i = 0; i < 200 && !(std::filesystem::exists(pcap) && std::filesystem::file_size(pcap) > 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ns.Run([] {
        EXPECT_NE(PingOnce("127.0.0.1", PingSocketKind::Raw), PING_FAILED);
        EXPECT_NE(PingOnce("127.0.0.1", PingSocketKind::Ping), PING_FAILED);
    });
    capture.join();

    std::istringstream lines(ShellOutput("tshark -r " + pcap + " -Y icmp.type==8 -T fields -e icmp.type -e icmp.code"
                                         " -e icmp.checksum.status -e icmp.ident_le -e icmp.seq -e ip.len -e data.data"));
    // Type, code, checksum good, our identifier, sequence 0, 20 + 44 bytes; the data:
    // four bytes of send time, then 32 bytes of 0x45.
    const std::string head = "8\t0\t1\t" + std::to_string(EchoIdentifier()) + "\t0\t64\t";
    std::string tail;
    for (int i = 0; i < 32; ++i) tail += "45";
    int requests = 0;
    for (std::string line; std::getline(lines, line); ++requests) {
        ASSERT_EQ(line.size(), head.size() + 8 + tail.size()) << line;
        EXPECT_EQ(line.substr(0, head.size()), head);
        EXPECT_EQ(line.substr(head.size() + 8), tail);
    }
    EXPECT_EQ(requests, 2);
}

}  // namespace
