// The Messenger message bytes, the box a received one is shown in, and this computer's
// NetBIOS names as read from smb.conf.
#include "messaging/MessengerMessage.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "messaging/ComputerName.h"
#include "messaging/NetbiosDatagram.h"
#include "platform/TextUtil.h"
#include "support/TestSupport.h"

namespace {

using namespace std::string_literals;

const std::string kGa = Utf8ToCp949("가");  // two bytes

std::string Box(std::string_view message) {
    return FormatMessengerBoxText(LocalTime{2001, 3, 4, 12, 5, 9}, message).value_or("<none>");
}
std::string Shown(const char* sender, const char* recipient, const char* text) {
    return "2001년 3월 4일 12:05:09에 "s + sender + "이(가) " + recipient + "에게 보낸 메시지\n\n " + text;
}

NetbiosNames NamesFrom(const std::string& conf) {
    TempDir dir;
    WriteWholeFile(dir.file("smb.conf"), conf);
    return ReadNetbiosNames(dir.file("smb.conf"));
}

}  // namespace

TEST(MessengerMessage, NulSeparatedAndCutOnWholeCharacters) {
    EXPECT_EQ(FormMessengerMessage("PC1", "PC2", "hi"), "PC1\0PC2\0hi"s);
    EXPECT_EQ(FormMessengerMessage("PC1", "PC2", "a\tb"), "PC1\0PC2\0a\0b"s);  // the receiver shows "a"
    std::string text;
    while (text.size() < 1100) text += kGa;
    const std::string cut = FormMessengerMessage("PC1", "PC2", text);  // 8 bytes of names first
    EXPECT_EQ(cut.size(), 1022u);
    EXPECT_EQ(cut.substr(1020), kGa);
    EXPECT_EQ(FormMessengerMessage("PC1", "PC2", std::string(2000, 'x')).size(), 1023u);
}

TEST(MessengerMessage, BoxTextFromTheThreeParts) {
    EXPECT_EQ(Box("PC1\0PC2\0hello"s), Shown("PC1", "PC2", "hello"));
    EXPECT_EQ(Box("PC1\0PC2\0hello\0"s), Shown("PC1", "PC2", "hello"));
    EXPECT_EQ(Box("PC1\0PC2"s), Shown("PC1", "PC2", ""));
    EXPECT_EQ(Box("PC1"s), Shown("PC1", "", ""));
    EXPECT_EQ(Box("\0PC2\0hello"s), "<none>");
    EXPECT_EQ(Box(Utf8ToCp949("김철수") + "\0PC2\0"s + Utf8ToCp949("안녕")), Shown("김철수", "PC2", "안녕"));
    EXPECT_EQ(Box("PC1\0PC2\0a\xFF"
                  "b"s),
              Shown("PC1", "PC2", "a\uFFFDb"));  // never dropped
    std::string text;
    while (text.size() < 1100) text += kGa;
    const std::string longBox = Utf8ToCp949(Box("PC1\0PC2\0"s + text));
    EXPECT_EQ(longBox.size(), 1022u);
    EXPECT_EQ(longBox.substr(1020), kGa);
}

TEST(ComputerName, SambaSettingsElseTheHostName) {
    auto names = NamesFrom(
        "# x\n[global]\n   NetBIOS  Name = pc-seoul\r\n\tworkgroup = \\\n office\n"
        "[share]\n   netbios name = other\n   workgroup = other\n");
    EXPECT_EQ(names.computer, "PC-SEOUL");
    EXPECT_EQ(names.workgroup, "OFFICE");
    EXPECT_EQ(NamesFrom("netbiosname = a-name-well-over-fifteen\n").computer, "A-NAME-WELL-OVE");
    EXPECT_EQ(NamesFrom("netbios name = 서울사무실컴퓨터\n").computer, Utf8ToCp949("서울사무실컴퓨"));

    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    const std::string label(host, std::min(std::strcspn(host, "."), size_t{15}));
    names = NamesFrom("[global]\n  server string = x\n");
    EXPECT_EQ(names.computer, NetbiosUpper(label));
    EXPECT_EQ(names.workgroup, "WORKGROUP");
}
