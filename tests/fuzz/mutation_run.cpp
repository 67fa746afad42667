// velaseg-fuzz: a deterministic mutation run over the seed inputs, each
// input in a child process watched for a crash, a sanitizer report, a time
// limit and a memory bound; and single inputs in this process, to reproduce
// a failure or to serve a coverage-guided fuzzer.
//
//   velaseg-fuzz run [--count N] [--seed S] [--first I] [--batch B]
//                    [--time-limit SEC] [--memory-limit MB] [--failures DIR]
//   velaseg-fuzz one las|pcd|ply|xyz|ini FILE
//   velaseg-fuzz seeds DIR
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fuzz/fuzz_target.h"
#include "fuzz/mutator.h"
#include "fuzz/seeds.h"

namespace {

using Clock = std::chrono::steady_clock;

struct RunOptions {
    std::uint64_t count = 1500;
    std::uint64_t seed = 20240612;
    std::uint64_t first = 0;
    double timeLimit = 20.0;
    long memoryLimitMb = 768;
    std::size_t batch = 8;  // inputs per child
    std::string failures = "fuzz-failures";
};

void writeBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Resident memory of a process in megabytes; 0 once it is gone.
long residentMb(pid_t pid)
{
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    long size = 0, resident = 0;
    if (!(statm >> size >> resident)) return 0;
    return resident * (sysconf(_SC_PAGESIZE) / 1024) / 1024;
}

// One mutated input of the run.
struct Input {
    std::uint64_t index;
    const fuzz::Seed* seed;
    std::string bytes;
};

struct ChildRun {
    std::string failure;  // empty when every input ran through
    double seconds = 0.0;
    long grownMb = 0;     // largest memory growth seen
};

std::string scratchFile(const std::string& scratch, const Input& input)
{
    return scratch + "/input" + fuzz::extensionOf(input.seed->kind);
}

// Runs `inputs` one after the other in a child and watches it: a child per
// batch spares most of the cost of starting one. The child's standard output
// is dropped and its standard error (where the sanitizers report) kept in `log`.
ChildRun runChild(const std::vector<Input>& inputs, const std::string& scratch, const std::string& log,
                  const std::vector<VELA::SVPoint3d>& scene, const RunOptions& options, long baseMb)
{
    ChildRun run;
    const pid_t pid = fork();
    if (pid < 0) {
        run.failure = std::string("fork failed: ") + std::strerror(errno);
        return run;
    }
    if (pid == 0) {
        const int out = open("/dev/null", O_WRONLY);
        const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        for (const Input& input : inputs) {
            writeBytes(scratchFile(scratch, input), input.bytes);
            fuzz::runInput(input.seed->kind, scratchFile(scratch, input), scene);
        }
        std::fflush(nullptr);
        _exit(0);
    }
    const Clock::time_point start = Clock::now();
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (done == pid) {
            if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
                run.failure = "exit status " + std::to_string(WEXITSTATUS(status));
            if (WIFSIGNALED(status)) run.failure = std::string("killed by signal ") + strsignal(WTERMSIG(status));
            return run;
        }
        run.grownMb = std::max(run.grownMb, residentMb(pid) - baseMb);
        if (run.seconds > options.timeLimit)
            run.failure = "still running after " + std::to_string(options.timeLimit) + " s";
        if (run.grownMb > options.memoryLimitMb)
            run.failure = "memory grew by " + std::to_string(run.grownMb) + " MB, beyond " +
                          std::to_string(options.memoryLimitMb) + " MB";
        if (!run.failure.empty()) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return run;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

void printLogHead(const std::string& log)
{
    std::istringstream lines(readBytes(log));
    std::string line;
    for (int i = 0; i < 30 && std::getline(lines, line); ++i) std::cout << "    " << line << "\n";
}

// Keeps the input beside the run; returns where.
std::string keep(const Input& input, const RunOptions& options)
{
    mkdir(options.failures.c_str(), 0755);
    const fuzz::Seed& seed = *input.seed;
    const std::string kept = options.failures + "/" + std::to_string(input.index) + "-" +
                             seed.name.substr(0, seed.name.rfind('.')) + fuzz::extensionOf(seed.kind);
    writeBytes(kept, input.bytes);
    return kept;
}

// The statistics of a run.
struct Tally {
    std::uint64_t perKind[fuzz::kInputKinds] = {};
    int failures = 0;
    double slowest = 0.0;  // of the batches
    long mostGrown = 0;
};

// Runs one batch; when it fails, each of its inputs again on its own, so
// that the culprit is named.
void runBatch(const std::vector<Input>& batch, const std::string& scratch, const std::vector<VELA::SVPoint3d>& scene,
              const RunOptions& options, long baseMb, const char* self, Tally& tally)
{
    const std::string log = scratch + "/stderr.log";
    const ChildRun run = runChild(batch, scratch, log, scene, options, baseMb);
    tally.slowest = std::max(tally.slowest, run.seconds);
    tally.mostGrown = std::max(tally.mostGrown, run.grownMb);
    for (const Input& input : batch) ++tally.perKind[static_cast<int>(input.seed->kind)];
    if (run.failure.empty()) return;
    bool named = false;
    for (const Input& input : batch) {
        const ChildRun alone = runChild({input}, scratch, log, scene, options, baseMb);
        if (alone.failure.empty()) continue;
        named = true;
        ++tally.failures;
        const std::string kept = keep(input, options);
        std::cout << "FAIL input " << input.index << " (from " << input.seed->name << "): " << alone.failure
                  << "\n  kept as " << kept << "; again: " << self << " one "
                  << (fuzz::extensionOf(input.seed->kind) + 1) << " " << kept << "\n";
        printLogHead(log);
    }
    if (!named) {
        ++tally.failures;
        for (const Input& input : batch) keep(input, options);
        std::cout << "FAIL inputs " << batch.front().index << " to " << batch.back().index
                  << " together, none alone: " << run.failure << "\n  kept in " << options.failures
                  << "; again: " << self << " run --seed " << options.seed << " --first " << batch.front().index
                  << " --count " << batch.size() << " --batch " << batch.size() << "\n";
    }
}

int runMutations(const RunOptions& options, const char* self)
{
    const std::vector<fuzz::Seed> seeds = fuzz::makeSeeds();
    for (const fuzz::Seed& seed : seeds) {
        if (seed.bytes.empty()) {
            std::cout << "velaseg-fuzz: the seed " << seed.name << " could not be made\n";
            return 1;
        }
    }
    const std::vector<VELA::SVPoint3d> scene = fuzz::seedScene();
    char pattern[] = "/tmp/velaseg-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string scratch = pattern;
    const long baseMb = residentMb(getpid());

    const Clock::time_point start = Clock::now();
    Tally tally;
    const std::uint64_t end = options.first + options.count;
    for (std::uint64_t i = options.first; i < end && tally.failures < 10;) {
        std::vector<Input> batch;
        for (; i < end && batch.size() < options.batch; ++i) {
            const fuzz::Seed& seed = seeds[i % seeds.size()];
            batch.push_back(Input{i, &seed, fuzz::mutate(seed, options.seed, i)});
        }
        runBatch(batch, scratch, scene, options, baseMb, self, tally);
    }
    for (const char* name : {"/stderr.log", "/input.las", "/input.pcd", "/input.ini"})
        std::remove((scratch + name).c_str());
    rmdir(scratch.c_str());

    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::uint64_t* k = tally.perKind;
    std::cout << "velaseg-fuzz: " << k[0] + k[1] + k[2] + k[3] + k[4] << " mutated inputs (" << k[0] << " LAS, "
              << k[1] << " PCD, " << k[2] << " PLY, " << k[3] << " XYZ, " << k[4] << " parameter files; seed "
              << options.seed << ") in " << seconds
              << " s, the slowest batch of " << options.batch << " " << tally.slowest
              << " s, memory grown by at most " << tally.mostGrown << " MB: " << tally.failures << " failed"
              << std::endl;
    return tally.failures == 0 ? 0 : 1;
}

int writeSeeds(const std::string& dir)
{
    mkdir(dir.c_str(), 0755);
    for (const fuzz::Seed& seed : fuzz::makeSeeds()) {
        const std::string kind = fuzz::extensionOf(seed.kind) + 1;
        mkdir((dir + "/" + kind).c_str(), 0755);
        writeBytes(dir + "/" + kind + "/" + seed.name, seed.bytes);
    }
    return 0;
}

int usage()
{
    std::cerr << "usage: velaseg-fuzz run [--count N] [--seed S] [--first I] [--batch B] [--time-limit SEC]"
                 " [--memory-limit MB] [--failures DIR]\n"
                 "       velaseg-fuzz one las|pcd|ply|xyz|ini FILE\n"
                 "       velaseg-fuzz seeds DIR\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "one" && argc == 4) {
        fuzz::InputKind kind;
        if (!fuzz::kindNamed(argv[2], kind)) return usage();
        fuzz::runInput(kind, argv[3], kind == fuzz::InputKind::ini ? fuzz::seedScene() : std::vector<VELA::SVPoint3d>());
        return 0;
    }
    if (mode == "seeds" && argc == 3) return writeSeeds(argv[2]);
    if (mode != "run") return usage();
    RunOptions options;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--count") options.count = std::strtoull(value, nullptr, 10);
        else if (name == "--seed") options.seed = std::strtoull(value, nullptr, 10);
        else if (name == "--first") options.first = std::strtoull(value, nullptr, 10);
        else if (name == "--time-limit") options.timeLimit = std::atof(value);
        else if (name == "--memory-limit") options.memoryLimitMb = std::atol(value);
        else if (name == "--failures") options.failures = value;
        else if (name == "--batch") options.batch = std::max<std::size_t>(1, std::strtoull(value, nullptr, 10));
        else return usage();
    }
    if (argc % 2 != 0) return usage();
    return runMutations(options, argv[0]);
}
