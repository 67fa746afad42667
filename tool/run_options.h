// The command line of velaseg: pc_file [iter_type] as ever, with options
// before or after them ("--" ends the options).
#pragma once

#include <string>
#include <vector>

namespace velaseg {

struct RunOptions {
    std::string pcFile;
    bool hasIterType = false;
    std::string iterType;  // converted like atoi
    bool noViewer = false;
    bool progress = false;            // also when standard error is no terminal
    std::string configFile;           // empty: the file beside the executable
    std::vector<std::string> settings;  // KEY=VALUE, checked, in order
    std::string labelsFile;
    std::string planesFile;
};

// Exit statuses of a run.
constexpr int kExitDone = 0;
constexpr int kExitUsage = 1;        // no argument at all
constexpr int kExitRefused = 2;      // bad options or arguments, unreadable input
constexpr int kExitNotWritten = 3;   // segmented, but an output could not be written

// The twelve lines printed when no argument is given.
void printUsage();

// True when the run goes on with `options`. False when the process ends
// with `exitStatus`: after the help or the version (0) or after a one-line
// refusal on standard error (2).
bool parseCommandLine(int argc, char** argv, RunOptions& options, int& exitStatus);

}  // namespace velaseg
