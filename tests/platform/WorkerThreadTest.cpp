#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Trace.h"
#include "platform/WorkerThread.h"

namespace {

std::mutex g_linesMutex;
std::vector<std::string> g_lines;

void CollectLine(const char* line) {
    std::lock_guard lock(g_linesMutex);
    g_lines.emplace_back(line);
}

class TraceCapture {
  public:
    TraceCapture() {
        std::lock_guard lock(g_linesMutex);
        g_lines.clear();
        platform::SetTraceSink(&CollectLine);
    }
    ~TraceCapture() { platform::SetTraceSink(nullptr); }
    std::vector<std::string> Lines() {
        std::lock_guard lock(g_linesMutex);
        return g_lines;
    }
};

// Counts its passes and returns a chosen exit code; loops until stopped unless `passLimit`.
class CCountingWorker : public CWorkerThread {
  public:
    explicit CCountingWorker(unsigned exitCode = 0, int passLimit = -1)
        : m_exitCode(exitCode), m_passLimit(passLimit) {}
    ~CCountingWorker() override = default;
    unsigned Run() override {
        m_runs.fetch_add(1);
        // Holds the first poll until the test lets it go (bounded: 2 s).
        for (int i = 0; i < 2000 && m_gated.load(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        while (IsRunning()) {
            int passes = m_passes.fetch_add(1) + 1;
            if (m_passLimit >= 0 && passes >= m_passLimit) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return m_exitCode;
    }
    std::atomic<int> m_runs{0};
    std::atomic<int> m_passes{0};
    std::atomic<bool> m_gated{false};

  private:
    unsigned m_exitCode;
    int m_passLimit;
};

template <typename Predicate>
bool WaitUntil(Predicate predicate, int milliseconds = 2000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return predicate();
}

// Reads the name its thread carries, as `top -H` or perf would show it.
class CNamedWorker : public CWorkerThread {
  public:
    explicit CNamedWorker(const char* name) : CWorkerThread(name) {}
    unsigned Run() override {
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        m_seen = name;
        return 0;
    }
    std::string m_seen;  // written by the worker, read after Join
};

TEST(WorkerThread, TheThreadCarriesTheWorkersNameCutTo15Characters) {
    CNamedWorker named("injector");
    named.Launch();
    named.Join();
    EXPECT_EQ(named.m_seen, "injector");
    // The kernel keeps 15 characters: a longer name is cut, not refused (which would leave the
    // process's name on the thread).
    CNamedWorker longer("a worker with a long name");
    longer.Launch();
    longer.Join();
    EXPECT_EQ(longer.m_seen, "a worker with a");
}

TEST(WorkerThread, JoinWithoutLaunchOnlyTracesAndReturns) {
    TraceCapture trace;
    CCountingWorker worker;
    worker.Join();
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"Waiting for 0x0\n", "Wait done\n"}));
    EXPECT_EQ(worker.m_runs.load(), 0);
}

TEST(WorkerThread, StopRightAfterLaunchEndsAtFirstPoll) {
    CCountingWorker worker;
    worker.m_gated = true;
    worker.Launch();
    worker.RequestStop();
    worker.m_gated = false;
    worker.Join();
    EXPECT_EQ(worker.m_runs.load(), 1);
    EXPECT_EQ(worker.m_passes.load(), 0);
    worker.Join();  // a second Join returns at once
}

TEST(WorkerThread, StopBeforeLaunchIsForgotten) {
    CCountingWorker worker;
    worker.RequestStop();
    worker.Launch();
    ASSERT_TRUE(WaitUntil([&] { return worker.m_passes.load() >= 3; }));
    EXPECT_TRUE(worker.IsRunning());
    worker.RequestStop();
    worker.Join();
}

TEST(WorkerThread, ExitCodeIsRunsResultAndRelaunchAfterJoinStartsANewThread) {
    CCountingWorker worker(7, 5);
    worker.Launch();
    unsigned first = worker.GetThreadIdentifier();
    unsigned code = 0;
    ASSERT_TRUE(WaitUntil([&] { return worker.GetExitCode(&code); }));
    EXPECT_EQ(code, 7u);
    // Ended but not joined: Launch joins the old thread and starts a new one.
    worker.Launch();
    EXPECT_NE(worker.GetThreadIdentifier(), first);
    ASSERT_TRUE(WaitUntil([&] { return worker.m_runs.load() == 2; }));
    worker.RequestStop();
    worker.Join();
    EXPECT_EQ(worker.m_runs.load(), 2);
    EXPECT_NE(worker.GetThreadIdentifier(), 0u);  // the identifier survives Join
}

}  // namespace
