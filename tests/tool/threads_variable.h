// VELASEG_THREADS set for a scope, as the program's own parallel steps read
// it at each call; the earlier value comes back afterwards.
#pragma once

#include <cstdlib>
#include <string>

namespace toolsupport {

class ThreadsVariable {
public:
    explicit ThreadsVariable(const char* threads)
    {
        const char* old = std::getenv("VELASEG_THREADS");
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        setenv("VELASEG_THREADS", threads, 1);
    }
    ~ThreadsVariable()
    {
        if (hadOld_) setenv("VELASEG_THREADS", old_.c_str(), 1);
        else unsetenv("VELASEG_THREADS");
    }
    ThreadsVariable(const ThreadsVariable&) = delete;
    ThreadsVariable& operator=(const ThreadsVariable&) = delete;

private:
    bool hadOld_ = false;
    std::string old_;
};

// The counts every parallel step of the program is checked on: one, two,
// and more threads than this machine has cores.
constexpr const char* kThreadCounts[] = {"1", "2", "7"};

}  // namespace toolsupport
