// Progress on standard error while the segmentation runs: one line per
// stage, with its level or iteration and the seconds elapsed, updated in
// place on a terminal. Standard output is never touched.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>

#include "vela_plane.h"

namespace velaseg {

struct ProgressState;

// Shows progress while it lives. `toTerminal`: update one line in place
// (and clear it whenever standard output writes to the same terminal);
// otherwise every report is a line of its own. `startMs` is the clock the
// seconds count from.
class ProgressLine {
public:
    ProgressLine(std::int64_t startMs, bool toTerminal);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // The callback to hand to the segmentation.
    VELA::ProgressCallback callback() const;

private:
    std::shared_ptr<ProgressState> state_;
    std::unique_ptr<std::streambuf> clearing_;
    std::streambuf* standardOutput_ = nullptr;
};

// True when standard error is a terminal.
bool standardErrorIsTerminal();

}  // namespace velaseg
