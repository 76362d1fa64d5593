#pragma once
// Network namespaces of a test's own: hosts whose addresses exist only inside them,
// so traffic between them never reaches a real network. Making them needs root (CI
// runs as root); tests skip with a clear message otherwise.
#include <functional>
#include <string>

// Empty when the process can make namespaces; otherwise why it cannot, for GTEST_SKIP.
std::string NamespaceUnavailableReason();

// A named network namespace (ip netns), loopback up, deleted with the object.
class TestNetns {
public:
    explicit TestNetns(const std::string& tag);
    ~TestNetns();
    TestNetns(const TestNetns&) = delete;
    TestNetns& operator=(const TestNetns&) = delete;

    const std::string& name() const { return name_; }
    // Runs a shell command inside the namespace and returns its exit status.
    int Exec(const std::string& command) const;
    // Runs fn on a thread that has entered the namespace; sockets it opens live there.
    // Returns after fn has returned.
    void Run(const std::function<void()>& fn) const;
    // Enters the namespace on the calling thread for the object's lifetime.
    class Inside {
    public:
        explicit Inside(const TestNetns& ns);
        ~Inside();
        Inside(const Inside&) = delete;
        Inside& operator=(const Inside&) = delete;

    private:
        int home_ = -1;
    };

private:
    std::string name_;
};

// A veth pair joining two namespaces, with an address (CIDR form, "10.77.0.1/24") on
// each end. The pair goes with the namespaces.
void LinkVeth(const TestNetns& a, const std::string& addressA, const TestNetns& b, const std::string& addressB);

// Output of a shell command (stderr dropped), for tools the tests drive.
std::string ShellOutput(const std::string& command);
