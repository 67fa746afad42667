#include "run_options.h"

#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>

#include "parameter_file.h"

#ifndef VELASEG_VERSION
#define VELASEG_VERSION "unknown"
#endif

namespace velaseg {
namespace {

const char* const kFooterText =
    "pc_file may also be .laz, .ply, .xyz or .txt (x y z [r g b] per line). Options may stand before or after\n"
    "pc_file and iter_type; -- ends them.\n"
    "\n"
    "Exit status:\n"
    "  0  the run finished and every requested output was written (also when no plane was found)\n"
    "  1  no argument: the usage text was printed\n"
    "  2  bad options or arguments, or an input that could not be read; nothing was segmented\n"
    "  3  the segmentation ran, but an output could not be written (named on standard error)\n";

// The usage lines stand for the positionals; CLI11 lists only the options.
class OptionsOnlyFormatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App*, std::string) const override { return ""; }
};

bool endsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool hasExtension(const std::string& path, std::initializer_list<const char*> extensions)
{
    for (const char* e : extensions)
        if (endsWith(path, e)) return true;
    return false;
}

// Refusals that need no file: each one line naming the option.
std::string optionsProblem(const RunOptions& o)
{
    for (const std::string& s : o.settings) {
        const std::string problem = parameterSettingProblem(s);
        if (!problem.empty()) return "--set " + problem;
    }
    if (!o.labelsFile.empty() && !hasExtension(o.labelsFile, {".las", ".pcd", ".ply", ".csv", ".txt"}))
        return "--labels " + o.labelsFile + ": the name must end in .las, .pcd, .ply, .csv or .txt";
    if (!o.planesFile.empty() && !hasExtension(o.planesFile, {".csv", ".json"}))
        return "--planes " + o.planesFile + ": the name must end in .csv or .json";
    return "";
}

}  // namespace

void printUsage()
{
    std::cout << "usage:   exe   pc_file   (iter_type)" << std::endl;
    std::cout << "pc_file:   the path of input point cloud. (.las/.pcd)" << std::endl;
    std::cout << "iter_type: the iteration type of independent points reclassification. (0(default)/1)" << std::endl;
    std::cout << "parameter description: " << std::endl;
    std::cout << "kappa:     minimum planar point number." << std::endl;
    std::cout << "phic:      curvature threshold." << std::endl;
    std::cout << "tau:       distance tolerance value." << std::endl;
    std::cout << "epsilon:   threshold of NFA." << std::endl;
    std::cout << "gamma:     neighborhood search radius." << std::endl;
    std::cout << "delta:     distance threshold between p and RPS." << std::endl;
    std::cout << "phid:      distance threshold between two planes." << std::endl;
    std::cout << "theta:     angle threshold between two planes." << std::endl;
}

bool parseCommandLine(int argc, char** argv, RunOptions& options, int& exitStatus)
{
    CLI::App app;
    app.formatter(std::make_shared<OptionsOnlyFormatter>());
    app.get_formatter()->column_width(26);
    app.set_help_flag();
    bool help = false;
    bool version = false;
    std::vector<std::string> ignored;
    app.add_flag("-h,--help", help, "print this help and exit");
    app.add_flag("--version", version, "print the version and exit");
    app.add_option("pc_file", options.pcFile)->group("");
    app.add_option("iter_type", options.iterType)->group("");
    app.add_option("ignored", ignored)->group("");  // further positionals, ignored as ever
    app.add_flag("--no-viewer", options.noViewer, "never open the viewer window");
    app.add_option("--config", options.configFile,
                   "read this parameter file instead of the one beside the executable")
        ->type_name("FILE");
    app.add_option("--set", options.settings,
                   "set one threshold after the parameter file (repeatable): kappa, phic, tau, epsilon, gamma, "
                   "delta, phid, theta, rmin, rmax, rdelta")
        ->allow_extra_args(false)
        ->type_name("KEY=VALUE");
    app.add_option("--labels", options.labelsFile,
                   "write every input point with its plane id (1, 2, ... in the order of the result file): "
                   ".las, .pcd, .ply, .csv or .txt")
        ->type_name("FILE");
    app.add_option("--planes", options.planesFile,
                   "write one record per plane (equation, centroid, distances, bounds, hull area): .csv or .json")
        ->type_name("FILE");
    app.add_flag("--progress", options.progress,
                 "show progress on standard error even when it is not a terminal");
    app.footer(kFooterText);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        std::cerr << "velaseg: " << e.what() << " (see velaseg --help)" << std::endl;
        exitStatus = kExitRefused;
        return false;
    }
    if (help) {
        printUsage();
        std::cout << app.help() << std::flush;
        exitStatus = kExitDone;
        return false;
    }
    if (version) {
        std::cout << "velaseg " << VELASEG_VERSION << std::endl;
        exitStatus = kExitDone;
        return false;
    }
    options.hasIterType = app.count("iter_type") > 0;
    std::string problem = options.pcFile.empty() && app.count("pc_file") == 0 ? "no pc_file given" : optionsProblem(options);
    if (!problem.empty()) {
        std::cerr << "velaseg: " << problem << " (see velaseg --help)" << std::endl;
        exitStatus = kExitRefused;
        return false;
    }
    return true;
}

}  // namespace velaseg
