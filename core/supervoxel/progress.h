// Progress of the segmentation call running on this thread. The stages say
// where they are; the call that listens hands it to its caller. Reports never
// change a result, and with no listener they cost a test of one pointer.
#pragma once

#include <functional>

namespace vela {

struct ProgressReport {
    const char* stage = "";
    int level = 0;      // of the multi-scale cut running, from 1; 0 before the first
    int iteration = 0;  // of the re-segmentation, from 1; 0 outside it
};

using ProgressListener = std::function<void(const ProgressReport&)>;

// Hands this thread's reports to `listener` (none when null) while it lives.
class ProgressListening {
public:
    explicit ProgressListening(const ProgressListener* listener);
    ~ProgressListening();
    ProgressListening(const ProgressListening&) = delete;
    ProgressListening& operator=(const ProgressListening&) = delete;

private:
    const ProgressListener* previous_;
};

// A stage starts: its level and iteration start again from 0.
void reportStage(const char* stage);
// A level of a multi-scale cut starts.
void reportLevel(int level);
// A re-segmentation iteration starts; levels count again within it.
void reportIteration(int iteration);

}  // namespace vela
