// The hand-over between worker threads and a window: posts arrive on the window's
// thread in order, posts to a window that is gone are dropped, a window may go while
// a worker keeps posting, and a ThreadLink carries text and status across.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "platform/PostedQueue.h"
#include "platform/ThreadLink.h"

namespace {

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "posted-test";
    static char* argv[] = {name, nullptr};
    static auto* app = new QCoreApplication(argc, argv);
    return *app;
}

// A window's receiving end.
class Receiver : public QObject {
public:
    Receiver() : handle(MakeWindowRef(queue)) {
        DeliverPostedMessages(this, queue, [this](PostedMessage& m) {
            threads.push_back(std::this_thread::get_id());
            if (onMessage) onMessage(m);
            received.push_back(std::move(m));
        });
    }
    ~Receiver() override { handle.Invalidate(); }

    std::shared_ptr<PostedQueue> queue = std::make_shared<PostedQueue>();
    WindowRef handle;
    std::vector<PostedMessage> received;
    std::vector<std::thread::id> threads;
    std::function<void(const PostedMessage&)> onMessage;
};

bool ProcessUntil(const std::function<bool()>& done, int limitMs = 5000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < limitMs) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

}  // namespace

TEST(PostedMessages, ArriveOnTheWindowThreadInTheOrderPosted) {
    App();
    Receiver window;
    constexpr int kCount = 2000;
    std::thread worker([h = window.handle] {
        for (int i = 0; i < kCount; ++i) ASSERT_TRUE(h.PostMessage(WM_CONN_EVENT, i, std::to_string(i)));
    });
    EXPECT_TRUE(ProcessUntil([&] { return window.received.size() == kCount; }));
    worker.join();
    ASSERT_EQ(window.received.size(), static_cast<size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(window.received[i].wParam, i);
        EXPECT_EQ(window.received[i].payload, std::to_string(i));
        EXPECT_EQ(window.threads[i], std::this_thread::get_id());
    }
    // A burst that waited whole (the connections found at start) comes whole, in order.
    constexpr int kBurst = 12000;
    for (int i = 0; i < kBurst; ++i) ASSERT_TRUE(window.handle.PostMessage(WM_CONN_EVENT, i, std::to_string(i)));
    ASSERT_TRUE(ProcessUntil([&] { return window.received.size() == kCount + kBurst; }));
    for (int i = 0; i < kBurst; ++i) ASSERT_EQ(window.received[kCount + i].payload, std::to_string(i));
}

TEST(PostedMessages, PostsToAWindowThatIsGoneAreDropped) {
    App();
    WindowRef kept;
    {
        Receiver window;
        kept = window.handle;
        EXPECT_TRUE(kept.IsWindow());
    }
    EXPECT_FALSE(kept.IsWindow());
    EXPECT_FALSE(kept.PostMessage(WM_PING_RESULT, 0, "12ms"));
    QCoreApplication::processEvents();  // nothing is left to deliver to the freed object
}

TEST(PostedMessages, AWindowMayGoWhileAWorkerKeepsPosting) {
    App();
    for (int round = 0; round < 20; ++round) {
        auto window = std::make_unique<Receiver>();
        std::atomic<bool> refused{false};
        std::atomic<int> posted{0};
        std::thread worker([h = window->handle, &refused, &posted] {
            while (!refused) {
                if (h.PostMessage(WM_CONN_EVENT, 0, "C 10.0.0.5 23 1025")) ++posted;
                else refused = true;
            }
        });
        ProcessUntil([&] { return posted > 50; }, 1000);
        window.reset();  // mid-stream: some posts are still queued
        worker.join();
        QCoreApplication::processEvents();
        EXPECT_TRUE(refused);
    }
}

TEST(PostedMessages, AThreadLinkHandsTextAndStatusOver) {
    App();
    Receiver window;
    auto link = std::make_shared<ThreadLink>();
    link->hwnd = window.handle;
    const std::vector<std::string> texts = {"first", "second", "third"};
    std::vector<std::string> shown;
    // The window's side: takes the handed text, then hands the block back.
    window.onMessage = [&](const PostedMessage&) {
        EXPECT_EQ(link->State(), WorkerState::Handed);
        shown.push_back(*link->text + "@" + link->address);
        link->text.reset();
        link->TakeBack();
    };
    std::thread worker([link, &texts] {
        for (const std::string& t : texts) {
            std::snprintf(link->address, sizeof link->address, "10.0.0.%zu", t.size());
            ASSERT_TRUE(link->HandOver(WM_PEER_MESSAGE, t));
            ASSERT_TRUE(link->WaitUntilTakenBack(std::chrono::milliseconds(1)));
        }
    });
    EXPECT_TRUE(ProcessUntil([&] { return shown.size() == texts.size(); }));
    worker.join();
    EXPECT_EQ(shown, (std::vector<std::string>{"first@10.0.0.5", "second@10.0.0.6", "third@10.0.0.5"}));
}

TEST(PostedMessages, AHandlerInANestedLoopStillGetsTheNextMessage) {
    App();
    Receiver window;
    std::vector<intptr_t> order;
    // The first message's handler waits in a loop of its own, as a message box does.
    window.onMessage = [&](const PostedMessage& m) {
        order.push_back(m.wParam);
        if (m.wParam == 1) {
            ProcessUntil([&] { return order.size() == 3; }, 2000);
            order.push_back(-1);  // the box closes
        }
    };
    for (int i = 1; i <= 3; ++i) window.handle.PostMessage(WM_CONN_EVENT, i);
    EXPECT_TRUE(ProcessUntil([&] { return order.size() == 4; }));
    EXPECT_EQ(order, (std::vector<intptr_t>{1, 2, 3, -1}));
}

TEST(PostedMessages, ATurnDeliversWhatWaitsWithinItsTimeAndTheRestFollow) {
    App();
    Receiver window;
    for (int i = 0; i < 500; ++i) window.handle.PostMessage(WM_CONN_EVENT, i);
    // A pass of the loop hands every waiting message over (a few passes where the
    // machine takes the time away), not one message a pass.
    int passes = 0;
    for (; window.received.size() < 500 && passes < 500; ++passes) QCoreApplication::processEvents();
    EXPECT_EQ(window.received.size(), 500u);
    EXPECT_LE(passes, 10);

    // Slow handlers, one that works and one that waits: the turn stops at its bound,
    // and later turns go on in order.
    auto busy = [](const PostedMessage&) {
        const std::clock_t until = std::clock() + CLOCKS_PER_SEC * 2 * POSTED_BATCH_TIME.count() / 1000;
        while (std::clock() < until) {
        }
    };
    auto waiting = [](const PostedMessage&) { std::this_thread::sleep_for(POSTED_BATCH_WAIT * 2); };
    using Handler = std::function<void(const PostedMessage&)>;
    for (const Handler& slow : {Handler(busy), Handler(waiting)}) {
        window.received.clear();
        window.onMessage = slow;
        for (int i = 0; i < 3; ++i) window.handle.PostMessage(WM_CONN_EVENT, i);
        QCoreApplication::processEvents();
        EXPECT_EQ(window.received.size(), 1u);
        EXPECT_TRUE(ProcessUntil([&] { return window.received.size() == 3; }));
        for (int i = 0; i < 3; ++i) EXPECT_EQ(window.received[static_cast<size_t>(i)].wParam, i);
    }
}

TEST(PostedMessages, ANestedLoopMidBatchDeliversTheRestOfItOnceInOrder) {
    App();
    Receiver window;
    std::vector<intptr_t> order;
    // The second message of a batch opens a loop of its own, which sees the rest of the
    // batch and a message posted while it runs; the outer turn then delivers nothing twice.
    window.onMessage = [&](const PostedMessage& m) {
        order.push_back(m.wParam);
        if (m.wParam == 2) {
            window.handle.PostMessage(WM_CONN_EVENT, 6);
            ProcessUntil([&] { return order.size() == 6; }, 2000);
            order.push_back(-1);
        }
    };
    for (int i = 1; i <= 5; ++i) window.handle.PostMessage(WM_CONN_EVENT, i);
    QCoreApplication::processEvents();
    ProcessUntil([] { return false; }, 50);
    EXPECT_EQ(order, (std::vector<intptr_t>{1, 2, 3, 4, 5, 6, -1}));
}
