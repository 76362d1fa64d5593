// The services table: which file is read, how its lines are judged, and lookups.
#include "ports/CPortNameTable.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "support/TestSupport.h"

namespace {

std::string Missing(const TempDir& dir) { return dir.file("no-such-file"); }

// A table loaded from the given text alone, names shown.
struct TableFromText {
    TempDir dir;
    std::unique_ptr<CPortNameTable> table;
    explicit TableFromText(const std::string& text) {
        WriteWholeFile(dir.file("services"), text);
        table = std::make_unique<CPortNameTable>(dir.file("services"), Missing(dir));
        table->SetShowNames(1);
    }
    std::string Name(int port) const { return table->PortName(port); }
};

// A local file and a system file, names shown.
struct LocalAndSystem {
    TempDir dir;
    std::unique_ptr<CPortNameTable> table;
    LocalAndSystem(const std::string& local, const std::string& system) {
        WriteWholeFile(dir.file("services"), local);
        WriteWholeFile(dir.file("system"), system);
        table = std::make_unique<CPortNameTable>(dir.file("services"), dir.file("system"));
        table->SetShowNames(1);
    }
};

int OpenDescriptorCount() {
    int count = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++count;
        closedir(d);
    }
    return count;
}

}  // namespace

TEST(PortNameTableFiles, LocalFileOfCommentsOnlyFallsBackToSystemFile) {
    LocalAndSystem t("# nothing here\n#ftp 21/tcp\n\n", "ftp 21/tcp\n");
    EXPECT_EQ(t.table->EntryCount(), 1);
    EXPECT_EQ(t.table->PortName(21), "ftp");
}

TEST(PortNameTableFiles, LocalFileWithAnEntryIsUsedAlone) {
    LocalAndSystem t("myftp 21/tcp\n", "ftp 21/tcp\nssh 22/tcp\n");
    EXPECT_EQ(t.table->EntryCount(), 1);
    EXPECT_EQ(t.table->PortName(21), "myftp");
    EXPECT_EQ(t.table->PortName(22), "22");
}

TEST(PortNameTableFiles, NoFileAtAllGivesNumbers) {
    TempDir dir;
    CPortNameTable table(Missing(dir), Missing(dir));
    table.SetShowNames(1);
    EXPECT_EQ(table.EntryCount(), 0);
    EXPECT_EQ(table.Entries(), nullptr);
    EXPECT_EQ(table.PortName(44444), "44444");
    EXPECT_EQ(table.PortName(80), "80");
    EXPECT_EQ(table.PortName(-1), "-1");
}

TEST(PortNameTableFiles, EntryLinesThatAllFailCountAsEmpty) {
    LocalAndSystem t("noslash 21\nnoport /tcp\n", "ftp 21/tcp\n");
    EXPECT_EQ(t.table->PortName(21), "ftp");
}

TEST(PortNameTableFiles, DefaultConstructionReadsServicesInCurrentDirectory) {
    TempDir dir;
    WriteWholeFile(dir.file("services"), "here 7777/tcp\n");
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    CPortNameTable table;
    ASSERT_EQ(chdir(old), 0);
    table.SetShowNames(1);
    EXPECT_EQ(table.EntryCount(), 1);
    EXPECT_EQ(table.PortName(7777), "here");
}

TEST(PortNameTableFiles, EveryLoadPathClosesTheFile) {
    TempDir dir;
    WriteWholeFile(dir.file("comments"), "# only\n");
    WriteWholeFile(dir.file("good"), "ftp 21/tcp\n");
    WriteWholeFile(dir.file("bad"), "noslash 21\n");
    const int before = OpenDescriptorCount();
    for (int i = 0; i < 20; ++i) {
        CPortNameTable missing(Missing(dir), Missing(dir));
        CPortNameTable comments(dir.file("comments"), dir.file("comments"));
        CPortNameTable good(dir.file("good"), Missing(dir));
        CPortNameTable bad(dir.file("bad"), dir.file("good"));
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(PortNameTableFiles, OnlyRegularFilesAreReadAndOnlyUpToTheBounds) {
    TempDir dir;
    WriteWholeFile(dir.file("system"), "ftp 21/tcp\n");
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", dir.file("zero").c_str()), 0);
    const std::string huge = dir.file("huge");  // sparse: 64 GiB of NUL bytes
    WriteWholeFile(huge, "");
    ASSERT_EQ(::truncate(huge.c_str(), 64ll << 30), 0);
    ::alarm(10);  // a read that blocks or never ends kills the test instead of hanging it
    EXPECT_EQ(CPortNameTable(dir.file("fifo"), dir.file("system")).EntryCount(), 1);
    EXPECT_EQ(CPortNameTable(dir.file("zero"), dir.file("system")).EntryCount(), 1);
    EXPECT_EQ(CPortNameTable(huge, huge).EntryCount(), 0);
    ::alarm(0);

    const std::string text = "# comments do not count\nftp 21/tcp\nnoport\nssh 22/tcp\ntelnet 23/tcp\n";
    WriteWholeFile(dir.file("services"), text);
    auto names = [&](ServicesFileLimits limits) {
        CPortNameTable table(dir.file("services"), Missing(dir), limits);
        table.SetShowNames(1);
        return table.PortName(21) + " " + table.PortName(22) + " " + table.PortName(23);
    };
    EXPECT_EQ(names({}), "ftp ssh telnet");
    EXPECT_EQ(names({text.size(), 3}), "ftp ssh 23");  // "noport" is an entry line too
    EXPECT_EQ(names({text.find("ssh") + 6, 100}), "ftp 22 23");  // "ssh 22" cut before its end
}

TEST(PortNameTableLookup, AnswersAreTheFirstEntryInFileOrderForEveryPort) {
    std::string text;  // many names per port, in no order, some ports outside 0..65535
    for (uint32_t i = 0, seed = 1; i < 20000; ++i, seed = seed * 1103515245u + 12345u)
        text += "s" + std::to_string(i) + " " + std::to_string(int(seed >> 8) % 70000 - 1000) + "/tcp\n";
    TableFromText t(text);
    std::map<int, std::string> first;
    for (int i = t.table->EntryCount() - 1; i >= 0; --i) first[t.table->Entries()[i].port] = t.table->Entries()[i].name;
    first[44444] = "Tolvara";
    for (int port = -1000; port < 69000; ++port) {
        const auto found = first.find(port);
        ASSERT_EQ(t.Name(port), found == first.end() ? std::to_string(port) : found->second) << "port " << port;
    }
}

TEST(PortNameTableLookup, MessagePortIsTheProgramsNameWhenNamesAreShown) {
    TableFromText t("tolvaraport 44444/udp\nftp 21/tcp\n");
    EXPECT_EQ(t.Name(44444), "Tolvara");
    t.table->SetShowNames(0);
    EXPECT_EQ(t.Name(44444), "44444");
}

TEST(PortNameTableLookup, NamesOffGiveNumbersAndOnAgainGivesNames) {
    TableFromText t("ftp 21/tcp\n");
    t.table->SetShowNames(0);
    EXPECT_EQ(t.Name(21), "21");
    t.table->SetShowNames(1);
    EXPECT_EQ(t.Name(21), "ftp");
    EXPECT_EQ(t.Name(22), "22");
}

TEST(PortNameTableLookup, FirstLineForAPortWinsWhateverTheProtocol) {
    TableFromText t("domain 53/tcp\ndns 53/udp\n");
    EXPECT_EQ(t.Name(53), "domain");
}

TEST(PortNameTableLookup, WritesIntoTheCallersTwentyFourBytesOnly) {
    TableFromText t(std::string(40, 'n') + " 9/tcp\n");
    char out[PORT_NAME_SIZE + 8];
    std::memset(out, '#', sizeof out);
    t.table->GetPortName(9, out);
    EXPECT_EQ(std::string(out), std::string(23, 'n'));
    for (size_t i = PORT_NAME_SIZE; i < sizeof out; ++i) EXPECT_EQ(out[i], '#');
}

TEST(PortNameTableLines, OnlyLinesBeginningWithALetterAreEntries) {
    TableFromText t(" blank 1/tcp\n\ttab 2/tcp\n3com 3/tcp\n#hash 4/tcp\n_under 5/tcp\n"
                    "smtp 25/tcp mail # mail transfer\n");
    EXPECT_EQ(t.table->EntryCount(), 1);
    EXPECT_EQ(t.Name(25), "smtp");
    for (int port : {1, 2, 3, 4, 5}) EXPECT_EQ(t.Name(port), std::to_string(port));
}

TEST(PortNameTableLines, FieldsOfAnEntry) {
    TableFromText t("ftp 21/tcp\nbootps\t67/udp  # comment\n");
    ASSERT_EQ(t.table->EntryCount(), 2);
    const ServiceEntry* e = t.table->Entries();
    EXPECT_STREQ(e[0].name, "ftp");
    EXPECT_EQ(e[0].port, 21);
    EXPECT_EQ(e[0].protocolLetter, 't');
    EXPECT_STREQ(e[1].name, "bootps");
    EXPECT_EQ(e[1].port, 67);
    EXPECT_EQ(e[1].protocolLetter, 'u');
}

TEST(PortNameTableLines, LongNameIsCutAndNeverSpillsIntoTheNextEntry) {
    const std::string name30 = "abcdefghijklmnopqrstuvwxyz0123";
    TableFromText t(name30 + " 5000/tcp\nnext 5001/tcp\n");
    ASSERT_EQ(t.table->EntryCount(), 2);
    EXPECT_EQ(t.Name(5000), name30.substr(0, 23));
    EXPECT_EQ(t.Name(5001), "next");
    EXPECT_EQ(t.table->Entries()[0].port, 5000);
}

TEST(PortNameTableLines, LinesWithoutSlashOrPortGiveNoEntryAndDoNotStopTheLoad) {
    TableFromText t("noslash 21\nnoport /tcp\nletters abc/tcp\nhuge 99999999999999999999/tcp\nlater 8080/tcp\n");
    EXPECT_EQ(t.table->EntryCount(), 1);
    EXPECT_EQ(t.Name(8080), "later");
    EXPECT_EQ(t.Name(21), "21");
    EXPECT_EQ(t.Name(0), "0");
}

TEST(PortNameTableLines, LongLinesAreJudgedInPiecesOf159) {
    // The second piece starts exactly at character 160.
    const std::string comment159 = "#" + std::string(158, 'x');
    const std::string comment158 = "#" + std::string(157, 'x');
    TableFromText t(comment159 + "web 8080/tcp\n" + comment158 + "wab 8081/tcp\n" + comment159 + "9 digit/tcp\n");
    EXPECT_EQ(t.table->EntryCount(), 2);
    EXPECT_EQ(t.Name(8080), "web");
    EXPECT_EQ(t.Name(8081), "ab");
}

TEST(PortNameTableLines, WindowsLineEndsReadTheSame) {
    const std::string lines[] = {"ftp 21/tcp", "# c", "ssh 22/tcp # x", "proto 23/", "#" + std::string(158, 'x') + "ab 9/tcp"};
    std::string lf, crlf;
    for (const std::string& l : lines) {
        lf += l + "\n";
        crlf += l + "\r\n";
    }
    TableFromText a(lf), b(crlf);
    ASSERT_EQ(a.table->EntryCount(), b.table->EntryCount());
    for (int i = 0; i < a.table->EntryCount(); ++i) {
        EXPECT_STREQ(a.table->Entries()[i].name, b.table->Entries()[i].name);
        EXPECT_EQ(a.table->Entries()[i].port, b.table->Entries()[i].port);
        EXPECT_EQ(a.table->Entries()[i].protocolLetter, b.table->Entries()[i].protocolLetter);
    }
    EXPECT_EQ(b.Name(9), "ab");
    EXPECT_EQ(b.Name(23), "proto");
}
