#include "supervoxel/progress.h"

namespace vela {
namespace {

// Per thread, so that calls on several threads report to their own callers.
thread_local const ProgressListener* listening = nullptr;
thread_local ProgressReport current;

void tell()
{
    if (listening) (*listening)(current);
}

}  // namespace

ProgressListening::ProgressListening(const ProgressListener* listener) : previous_(listening)
{
    listening = listener;
    current = ProgressReport();
}

ProgressListening::~ProgressListening() { listening = previous_; }

void reportStage(const char* stage)
{
    current = ProgressReport{stage, 0, 0};
    tell();
}

void reportLevel(int level)
{
    current.level = level;
    tell();
}

void reportIteration(int iteration)
{
    current.iteration = iteration;
    current.level = 0;
    tell();
}

}  // namespace vela
