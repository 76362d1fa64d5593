#pragma once
// Which process holds a socket. The kernel names only the socket's inode; the process
// is found among the "socket:[INODE]" links in /proc/PID/fd. Reading every process's
// links costs a microsecond or two a descriptor, too much for every refresh of a busy
// desktop, so what was found is kept by inode and only what is new is looked for:
// processes whose descriptor count changed (st_size of /proc/PID/fd) are read again,
// and all of them at most every few seconds. Everything under /proc is read as
// untrusted input: bounded, and parsed strictly.
//
// A process can close a socket and open another between two reads, leaving its count
// as it was. The kernel gives a new descriptor the lowest free number, so a new socket
// is looked for first at the descriptors of the sockets that left the caller's table
// since its last lookup, then in the processes that held the asked sockets, the one
// that last gained one first; the search stops once every asked socket is found.
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

namespace mib {

class SocketOwners {
public:
    // How long an inode nobody could be found for is believed ownerless, and how often
    // every process may be read whatever its descriptor count says.
    static constexpr int64_t kFullScanMs = 3000;

    explicit SocketOwners(const char* procRoot = "/proc");
    ~SocketOwners();
    SocketOwners(const SocketOwners&) = delete;
    SocketOwners& operator=(const SocketOwners&) = delete;

    // Callers that each ask for the sockets of one table, the whole table each time.
    static constexpr unsigned kTables = 4;

    // pids[i] = the process that holds inodes[i]; 0 for inode 0 and for a socket whose
    // holder cannot be seen. nowMs is a monotonic clock in milliseconds; table, below
    // kTables, names the caller's table.
    void Find(const uint32_t* inodes, uint32_t* pids, size_t count, int64_t nowMs, unsigned table = 0);

    // What the lookups cost so far, for tests and the benchmark.
    struct Work {
        uint64_t passes = 0;        // walks over the process list
        uint64_t processReads = 0;  // descriptor folders read
        uint64_t links = 0;         // descriptor links read, freed ones included
        uint64_t freedLinks = 0;    // links read at descriptors of sockets that left a table
    };
    const Work& work() const { return work_; }

    // Counts the changes to what is known of any socket's holder: a caller who asks
    // for the same sockets again, with no change since and every holder it was told
    // still alive, would get the same answers.
    uint64_t Edits() const { return edits_; }
    bool AllAlive(const uint32_t* pids, size_t count);

private:
    // Twelve bytes: one is kept for every socket of the machine.
    struct Owner {
        uint32_t pid;        // 0: looked for and not found
        uint32_t askedCall;  // the last Find that asked for it; 0 for none
        uint32_t checkedMs;  // when it was found or last looked for (see Since)
    };
    // Milliseconds from a stamp of the clock's low 32 bits to now: right for spans
    // under 24 days, and a socket nobody asks for is forgotten within a minute.
    static int64_t Since(int64_t nowMs, uint32_t stamp) {
        return static_cast<int32_t>(static_cast<uint32_t>(nowMs) - stamp);
    }
    struct Process {
        int64_t fdSize = -1;     // st_size of its fd folder when last read
        int64_t readMs = 0;
        int64_t foundMs = INT64_MIN;  // when it was last found holding a socket looked for
        uint64_t seenPass = 0;   // the last pass over /proc that listed it
        uint64_t aliveCall = 0;  // the last Find that saw it alive
        uint64_t readCall = 0;   // the last Find that read it
        bool hidden = false;     // its descriptors are not ours to read (another user's)
        // Its descriptors that held sockets at its last reading, by number.
        std::vector<std::pair<uint32_t, uint32_t>> sockets;
    };
    enum class Scope { Changed, Holders, Every };

    bool Alive(uint32_t pid);
    std::vector<uint32_t> Holders() const;
    void SearchFreed(int64_t nowMs, uint64_t tableCall);
    void Search(int64_t nowMs, Scope scope);
    void SearchHolders(int64_t nowMs);
    void ReadProcess(uint32_t pid, Process& process, int64_t nowMs, bool everyLink);
    // Notes that the process holds the socket, unless another was found holding it first.
    void Hold(uint32_t pid, Process& process, uint32_t inode, int64_t nowMs);
    void Prune(int64_t nowMs);

    int procFd_ = -1;
    std::unordered_map<uint32_t, Owner> owners_;
    std::unordered_map<uint32_t, Process> processes_;
    // Asked sockets the search has yet to find: sorted once asked, a found one marked.
    // Flat lists, as a lookup may ask for tens of thousands nobody can be seen holding.
    class Wanted {
    public:
        void clear() {
            inodes_.clear();
            found_.clear();
            left_ = 0;
        }
        void insert(uint32_t inode) { inodes_.push_back(inode); }
        void Seal();
        bool erase(uint32_t inode);  // true when it was wanted
        bool empty() const { return left_ == 0; }

    private:
        std::vector<uint32_t> inodes_;
        std::vector<uint8_t> found_;
        size_t left_ = 0;
    };
    Wanted wanted_;
    int64_t lastFullScanMs_;
    int64_t lastPruneMs_ = 0;
    uint64_t pruneCalls_[3] = {};  // the calls of the last three prunes, oldest first
    uint64_t calls_ = 0;
    uint64_t tableCalls_[kTables] = {};  // each table's last Find
    struct AliveMark {
        uint32_t pid = 0;
        uint64_t call = 0;  // the Find that saw it alive
    };
    AliveMark aliveMarks_[64];
    uint64_t edits_ = 0;
    Work work_;
};

// The agent's one cache over /proc.
void FindSocketOwners(const uint32_t* inodes, uint32_t* pids, size_t count, int64_t nowMs, unsigned table);
uint64_t SocketOwnerEdits();
bool SocketOwnersAlive(const uint32_t* pids, size_t count);

// hrSWRunName (the Name: line of /proc/PID/status) and hrSWRunPath (the executable's
// path, else the first word of its command line) of a process: the length written,
// at most capacity; 0 when unreadable, or, for the path, when it does not fit.
size_t ReadProcessName(uint32_t pid, char* out, size_t capacity);
size_t ReadProcessPath(uint32_t pid, char* out, size_t capacity);

}  // namespace mib
