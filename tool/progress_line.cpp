#include "progress_line.h"

#include <cstdio>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>

#include <unistd.h>

#include "wall_clock.h"

namespace velaseg {

struct ProgressState {
    std::int64_t startMs = 0;
    bool toTerminal = false;
    bool shown = false;  // a line is on the terminal, the cursor at its end
    std::string stage;

    void clear()
    {
        if (!shown) return;
        std::cerr << "\r\033[K" << std::flush;
        shown = false;
    }
};

namespace {

// Passes standard output through unchanged, clearing the progress line first
// when both share a terminal, so that no message lands behind it.
class ClearingBuffer : public std::streambuf {
public:
    ClearingBuffer(std::streambuf* target, std::shared_ptr<ProgressState> state)
        : target_(target), state_(std::move(state))
    {
    }

protected:
    int overflow(int c) override
    {
        state_->clear();
        return c == traits_type::eof() ? traits_type::not_eof(c) : target_->sputc(static_cast<char>(c));
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        state_->clear();
        return target_->sputn(s, n);
    }
    int sync() override { return target_->pubsync(); }

private:
    std::streambuf* target_;
    std::shared_ptr<ProgressState> state_;
};

std::string lineOf(const VELA::tag_Progress& p, double seconds)
{
    std::ostringstream line;
    line << "velaseg: " << p.stage;
    if (p.iteration > 0) line << ", iteration " << p.iteration;
    if (p.level > 0) line << ", level " << p.level;
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, ", %.1f s", seconds);
    line << elapsed;
    return line.str();
}

}  // namespace

ProgressLine::ProgressLine(std::int64_t startMs, bool toTerminal) : state_(std::make_shared<ProgressState>())
{
    state_->startMs = startMs;
    state_->toTerminal = toTerminal;
    if (toTerminal && ::isatty(STDOUT_FILENO)) {
        standardOutput_ = std::cout.rdbuf();
        clearing_ = std::make_unique<ClearingBuffer>(standardOutput_, state_);
        std::cout.rdbuf(clearing_.get());
    }
}

ProgressLine::~ProgressLine()
{
    std::cout.flush();
    if (standardOutput_) std::cout.rdbuf(standardOutput_);
    if (state_->shown) std::cerr << std::endl;  // the last stage's line stays
}

VELA::ProgressCallback ProgressLine::callback() const
{
    std::shared_ptr<ProgressState> state = state_;
    return [state](const VELA::tag_Progress& p) {
        const std::string line = lineOf(p, secondsBetween(state->startMs, millisecondClock()));
        if (!state->toTerminal) {
            std::cerr << line << std::endl;
            return;
        }
        // A new stage keeps the previous one's last line above it.
        if (state->shown && state->stage != p.stage) std::cerr << '\n';
        std::cerr << "\r\033[K" << line << std::flush;
        state->shown = true;
        state->stage = p.stage;
    };
}

bool standardErrorIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

}  // namespace velaseg
