// The ends of a group of threads, made visible: each thread marks its own end
// as its last act, and another thread waits for a number of them with a
// time limit, which std::thread::join cannot do. A shutdown that must end in
// bounded time waits here, and joins only the threads known to have ended.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

class ThreadEnds {
public:
    void mark_one();
    // True once `count` threads have ended; waits at most `limit` for it.
    bool wait_for(std::size_t count, std::chrono::milliseconds limit);

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::size_t ended_ = 0;
};

// Marks one end when its scope ends, however the thread's body leaves.
class ThreadEndScope {
public:
    explicit ThreadEndScope(ThreadEnds& ends) : ends_(ends) {}
    ~ThreadEndScope() { ends_.mark_one(); }
    ThreadEndScope(const ThreadEndScope&) = delete;
    ThreadEndScope& operator=(const ThreadEndScope&) = delete;

private:
    ThreadEnds& ends_;
};
