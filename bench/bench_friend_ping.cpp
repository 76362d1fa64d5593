// A ping pass over 20 friends that never answer, driven as the main window drives it:
// one worker at a time, each next one started from the posted result on the event-loop
// thread, while a 50 ms timer ticks on that same thread. Prints how long the pass took
// and the largest gap between two ticks (the window's worst stall during the pass).
//
// Runs in a network namespace of its own, where an nft rule drops echo requests to
// 127.0.1.1 .. 127.0.1.20, so every ping waits out its full second. Needs root.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "friends/PingWorker.h"
#include "platform/Messages.h"
#include "platform/PostedQueue.h"

namespace {

constexpr int kFriends = 20;
constexpr int kTickMs = 50;

// The main window's part in a pass: the ping block, the friend rows and the results.
class PassWindow : public QObject {
public:
    PassWindow() : hwnd_(MakeWindowRef(queue_)) {
        for (int i = 1; i <= kFriends; ++i) rows_.push_back("127.0.1." + std::to_string(i));
        DeliverPostedMessages(this, queue_, [this](PostedMessage& m) {
            if (m.message == WM_PING_RESULT) OnPingResult(m);
        });
    }
    ~PassWindow() override { hwnd_.Invalidate(); }

    void OnPing() { BeginPingPass(block_, hwnd_, RowCount(), AddressOf()); }
    const std::vector<std::string>& results() const { return results_; }

private:
    int RowCount() const { return static_cast<int>(rows_.size()); }
    FriendAddressOf AddressOf() const {
        return [this](int row) { return rows_[static_cast<size_t>(row)]; };
    }
    void OnPingResult(const PostedMessage& m) {
        results_.push_back(m.payload);
        if (!ContinuePingPass(block_, RowCount(), AddressOf())) QCoreApplication::quit();
    }

    std::shared_ptr<PostedQueue> queue_ = std::make_shared<PostedQueue>();
    WindowRef hwnd_;
    std::shared_ptr<PingBlock> block_ = std::make_shared<PingBlock>();
    std::vector<std::string> rows_;
    std::vector<std::string> results_;
};

}  // namespace

int main(int argc, char** argv) {
    if (::geteuid() != 0) {
        std::printf("bench_friend_ping: skipped, needs root to make a network namespace\n");
        return 0;
    }
    // Entered before anything else starts, so every worker is born in it.
    bench::PrivateNamespace ns("tv-bench-ping-",
                               {"nft add table ip t", "nft 'add chain ip t in { type filter hook input priority 0; }'",
                                "nft add rule ip t in ip daddr 127.0.1.0/24 icmp type echo-request drop"});
    if (!ns.ok()) {
        std::printf("bench_friend_ping: skipped, could not set up the namespace (ip, nft)\n");
        return 0;
    }

    QCoreApplication app(argc, argv);
    PassWindow window;
    QElapsedTimer clock;
    qint64 lastTick = -1, largestGap = 0;
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (lastTick >= 0 && now - lastTick > largestGap) largestGap = now - lastTick;
        lastTick = now;
        ++ticks;
    });
    QTimer::singleShot(60000, &app, &QCoreApplication::quit);  // a stalled pass still ends

    clock.start();
    ticker.start(kTickMs);
    window.OnPing();
    app.exec();
    const qint64 passMs = clock.elapsed();

    std::map<std::string, int> words;
    for (const std::string& r : window.results()) ++words[r];
    std::printf("friends pinged:      %zu of %d\n", window.results().size(), kFriends);
    for (const auto& [word, count] : words) std::printf("  %-18s %d\n", (word + ":").c_str(), count);
    std::printf("pass time:           %.2f s (%.0f ms per friend)\n", passMs / 1000.0,
                static_cast<double>(passMs) / kFriends);
    std::printf("timer ticks:         %d every %d ms\n", ticks, kTickMs);
    std::printf("largest tick gap:    %lld ms\n", static_cast<long long>(largestGap));
    return window.results().size() == static_cast<size_t>(kFriends) ? 0 : 1;
}
