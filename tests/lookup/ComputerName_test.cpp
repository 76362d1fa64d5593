// Reverse look-ups inside a namespace whose only names are the test's hosts file and
// whose name server does not answer, so nothing leaves the machine.
#include <gtest/gtest.h>

#include <chrono>

#include "LookupTestSupport.h"
#include "lookup/ComputerName.h"
#include "support/NetNamespace.h"

TEST(ComputerNameTest, HostsFileNamesAreFoundAndOtherAddressesFailAtOnce) {
    if (const std::string why = NamespaceUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
    ResolverSandbox sandbox("127.0.0.1\tofficial.tolvara.test alias.tolvara.test\n10.77.0.5 ten.tolvara.test\n");
    ASSERT_EQ(sandbox.error(), "");

    // The official name is the line's first name, not an alias.
    EXPECT_EQ(ComputerNameResultText("127.0.0.1"),
              "IP 주소 127.0.0.1에 설정된 컴퓨터 이름은 official.tolvara.test 입니다.");
    EXPECT_EQ(ComputerNameResultText("10.77.0.5"), "IP 주소 10.77.0.5에 설정된 컴퓨터 이름은 ten.tolvara.test 입니다.");

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ComputerNameResultText("127.0.0.9"), "IP 주소 127.0.0.9의 컴퓨터 이름을 알 수 없습니다.");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));

    // Text that is no address is never looked up, and comes back as given.
    std::string name = "unchanged";
    EXPECT_FALSE(LookUpComputerName("127.0.0.256", name));
    EXPECT_FALSE(LookUpComputerName("", name));
    EXPECT_EQ(name, "unchanged");
}
