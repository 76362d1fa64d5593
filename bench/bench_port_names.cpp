// Port names for one refresh against a services file of 6.5 million entries: the
// linear search in file order against the table's index, with the same answers.
//
// The file names ports 0..49151 over and over, so the ephemeral ports a connection's
// local end has are in none of its lines. One refresh names both ports of 100 TCP
// rows: a local ephemeral port (a whole pass for the linear search) and a remote
// well-known one (found in the file's first lines).
//
//   load      the whole file read and indexed (bounds lifted for the benchmark)
//   linear    200 look-ups by a pass over the entries in file order
//   index     the same 200 look-ups through CPortNameTable::GetPortName
//   bounded   the same file loaded with the default bounds
#include "bench/BenchSupport.h"
#include "ports/CPortNameTable.h"

#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kEntries = 6500000;

using bench::Median;
using bench::Milliseconds;

// The search the table made before it had an index.
void LinearName(const CPortNameTable& table, int port, char* output) {
    const ServiceEntry* e = table.Entries();
    for (int i = 0; i < table.EntryCount(); ++i) {
        if (e[i].port == port) {
            std::snprintf(output, PORT_NAME_SIZE, "%s", e[i].name);
            return;
        }
    }
    std::snprintf(output, PORT_NAME_SIZE, "%d", port);
}

long MaxRssMiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

}  // namespace

int main() {
    char dir[] = "/tmp/bench_port_names.XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string path = std::string(dir) + "/services";
    {
        FILE* f = std::fopen(path.c_str(), "w");
        if (!f) {
            std::perror(path.c_str());
            return 1;
        }
        for (int i = 0; i < kEntries; ++i) std::fprintf(f, "svc%d %d/tcp\n", i, i % 49152);
        std::fclose(f);
    }
    const std::string missing = std::string(dir) + "/none";

    std::vector<int> ports;
    const int remote[] = {80, 443, 22, 25, 993, 8080, 3389, 5432, 110, 143};
    for (int row = 0; row < 100; ++row) {
        ports.push_back(49152 + row * 97);
        ports.push_back(remote[row % 10]);
    }

    CPortNameTable* table = nullptr;
    const double load = Milliseconds([&] { table = new CPortNameTable(path, missing, {SIZE_MAX, INT_MAX}); });
    table->SetShowNames(1);
    std::printf("entries %d, load %.0f ms, peak RSS %ld MiB\n", table->EntryCount(), load, MaxRssMiB());

    char a[PORT_NAME_SIZE], b[PORT_NAME_SIZE];
    int differ = 0;
    for (int port : ports) {
        LinearName(*table, port, a);
        table->GetPortName(port, b);
        if (std::strcmp(a, b) != 0) ++differ;
    }

    std::vector<double> linear, indexed;
    for (int run = 0; run < 3; ++run) {
        linear.push_back(Milliseconds([&] {
            for (int port : ports) LinearName(*table, port, a);
        }));
    }
    for (int run = 0; run < 101; ++run) {
        indexed.push_back(Milliseconds([&] {
            for (int port : ports) table->GetPortName(port, b);
        }));
    }
    std::printf("one refresh (%zu look-ups): linear %.1f ms, index %.4f ms; answers that differ: %d\n",
                ports.size(), Median(linear), Median(indexed), differ);
    delete table;

    int bounded = 0;
    const double boundedLoad = Milliseconds([&] { bounded = CPortNameTable(path, missing).EntryCount(); });
    std::printf("default bounds: %d entries, load %.0f ms\n", bounded, boundedLoad);

    std::remove(path.c_str());
    rmdir(dir);
    return differ == 0 ? 0 : 1;
}
