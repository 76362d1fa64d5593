// Our Messenger datagrams on the wire, as Wireshark's dissectors read them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "MessengerNetns.h"

TEST(MessengerTshark, DecodesAsMailslotWritesToMessenger) {
    if (const std::string why = NamespaceUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
    if (ShellOutput("command -v tshark").empty()) GTEST_SKIP() << "needs tshark";
    TwoComputers lan;
    const std::string capture = lan.dir.file("messenger.pcapng"), log = lan.dir.file("tshark.log");
    // "7: vb123x0@if8: <BROADCAST,..." names PC2's end of the link.
    const std::string link = ShellOutput("ip -n " + lan.ns[1].name() + " -o link show type veth");
    const std::string veth = link.substr(link.find(": ") + 2, link.find('@') - link.find(": ") - 2);
    std::thread tshark([&] {
        (void)!std::system(("ip netns exec " + lan.ns[1].name() + " tshark -i " + veth +
                            " -f 'udp port 138' -c 2 -a duration:30 -w " + capture + " >" + log + " 2>&1")
                               .c_str());
    });
    for (int i = 0; i < 400 && ReadWholeFile(log).find("Capturing on") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));

    lan.Send(1, "PC2", "hi", 20);
    lan.Send(1, "WORKGROUP", "hi");
    tshark.join();

    EXPECT_EQ(ShellOutput("tshark -r " + capture +
                          " -T fields -e nbdgm.type -e nbdgm.flags -e nbdgm.source_name -e nbdgm.destination_name"
                          " -e smb.cmd -e mailslot.opcode -e mailslot.class -e mailslot.name -e data.data"),
              "16\t0x02\tPC1<00>\tPC2<03>\t0x25\t1\t2\t\\MAILSLOT\\MESSNGR\t50433100504332006869\n"
              "17\t0x02\tPC1<00>\tWORKGROUP<00>\t0x25\t1\t2\t\\MAILSLOT\\MESSNGR\t50433100574f524b47524f5550006869\n")
        << ReadWholeFile(log);
}
