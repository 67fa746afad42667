#include "driver.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cloud_view.h"
#include "display.h"
#include "executable_path.h"
#include "label_writer.h"
#include "las_records.h"
#include "parameter_file.h"
#include "plane_table.h"
#include "point_input.h"
#include "profile_file.h"
#include "progress_line.h"
#include "result_file.h"
#include "run_options.h"
#include "vela_large_pages.h"
#include "vela_plane.h"
#include "wall_clock.h"

namespace velaseg {
namespace {

// What the segmentation gave back.
struct Segmentation {
    Planes planes;
    std::vector<std::vector<std::size_t>> planeIndices;  // into the input points
};

bool samePath(const std::string& a, const std::string& b)
{
    std::error_code error;
    if (std::filesystem::equivalent(a, b, error)) return true;
    std::error_code errorA;
    std::error_code errorB;
    const std::filesystem::path canonicalA = std::filesystem::weakly_canonical(a, errorA);
    const std::filesystem::path canonicalB = std::filesystem::weakly_canonical(b, errorB);
    return !errorA && !errorB && canonicalA == canonicalB;
}

// An output may never replace the input or another output.
std::string outputClash(const RunOptions& o, const std::string& resultFile)
{
    const std::pair<const char*, const std::string*> outputs[] = {{"--labels", &o.labelsFile},
                                                                  {"--planes", &o.planesFile}};
    for (const auto& [option, path] : outputs) {
        if (path->empty()) continue;
        if (samePath(*path, o.pcFile)) return std::string(option) + " " + *path + " is the input file";
        if (samePath(*path, resultFile)) return std::string(option) + " " + *path + " is the result file";
    }
    if (!o.labelsFile.empty() && !o.planesFile.empty() && samePath(o.labelsFile, o.planesFile))
        return "--labels and --planes name the same file " + o.labelsFile;
    return "";
}

// The --config file, read before the input so that a bad one stops the run
// early; it is applied where the file beside the executable would be.
bool loadConfig(const RunOptions& o, ProfileFile& config)
{
    if (o.configFile.empty()) return true;
    std::string problem;
    config = loadProfileFile(o.configFile, &problem);
    if (problem.empty()) return true;
    std::cerr << "velaseg: --config " << o.configFile << ": " << problem << std::endl;
    return false;
}

void setParameters(const RunOptions& o, const ProfileFile& config, double mu, VELA::VELA_Plane& segmenter)
{
    segmenter.set_parameters(mu);
    VELA::tag_VELAParameter para = segmenter.get_para();
    if (!o.configFile.empty()) applyParameterFile(config, o.configFile, para);
    else if (!readParameterFile(parameterFilePath(executablePath()), para))
        std::cout << "no configuration file loaded, use default parameters" << std::endl;
    for (const std::string& setting : o.settings) applyParameterSetting(setting, para);
    segmenter.set_parameters(para);
    if (o.hasIterType) segmenter.set_iter(std::atoi(o.iterType.c_str()));
}

// get_mu takes the points by value: its copy is made on large pages, which
// a plain copy of a large cloud pays for in page faults longer than the
// spacing takes.
double spacingOf(const std::vector<VELA::SVPoint3d>& points, const VELA::VELA_Plane& segmenter)
{
    std::vector<VELA::SVPoint3d> copy;
    vela::reserveOnLargePages(copy, points.size());
    copy.assign(points.begin(), points.end());
    return segmenter.get_mu(std::move(copy));
}

void reportNotWritten(const std::string& what, const std::string& path, const std::string& error)
{
    std::cerr << "velaseg: could not write " << what << " " << path << ": " << error
              << "; any earlier file of that name is kept" << std::endl;
}

// Writes every output; false when any could not be written (each named).
bool writeOutputs(const RunOptions& o, const InputCloud& input, const Segmentation& s, const std::string& resultFile)
{
    bool all = true;
    std::string error;
    if (!writeResultFile(resultFile, s.planes, error)) {
        reportNotWritten("the result file", resultFile, error);
        all = false;
    }
    if (!o.labelsFile.empty()) {
        const LabelledRows rows = labelRows(input.points, &input.skipped, s.planes, s.planeIndices, input.hasColour);
        const LasLabelSource las{o.pcFile, lasInputRecords(o.pcFile)};
        const bool fromLas = input.type == "las" || input.type == "laz";
        error.clear();
        if (!writeLabels(o.labelsFile, rows, fromLas ? &las : nullptr, error)) {
            reportNotWritten("the labels", o.labelsFile, error);
            all = false;
        }
    }
    if (!o.planesFile.empty()) {
        error.clear();
        if (!writePlaneTable(o.planesFile, o.pcFile, describePlanes(s.planes), error)) {
            reportNotWritten("the plane table", o.planesFile, error);
            all = false;
        }
    }
    return all;
}

void showPlanes(const Planes& planes)
{
    bool anyPoint = false;
    for (const auto& plane : planes) anyPoint |= !plane.empty();
    if (!anyPoint) return;  // the viewer would return at once
    // Asked before the viewer's cloud is made: without a display that copy
    // of every point would be made for nothing.
    if (!displayAvailable()) {
        std::cerr << "velaseg: no display could be opened; the viewer is skipped" << std::endl;
        return;
    }
    pcl::PointCloud<pcl::PointXYZRGB>::Ptr cloud = makeViewerCloud(planes);
    CLOUDVIEW_NS::CloudView view;
    view.visual_pc(cloud);
}

}  // namespace

int runVelaseg(int argc, char** argv, std::int64_t startMs)
{
    if (argc < 2) {
        printUsage();
        return kExitUsage;
    }
    RunOptions options;
    int exitStatus = kExitDone;
    if (!parseCommandLine(argc, argv, options, exitStatus)) return exitStatus;
    const std::string resultFile = resultFileName(options.pcFile);
    const std::string clash = outputClash(options, resultFile);
    if (!clash.empty()) {
        std::cerr << "velaseg: " << clash << "; nothing is segmented" << std::endl;
        return kExitRefused;
    }
    ProfileFile config;
    if (!loadConfig(options, config)) return kExitRefused;

    VELA::VELA_Plane segmenter;
    InputCloud input;
    if (!readInput(options.pcFile, segmenter, input)) return kExitRefused;

    setParameters(options, config, spacingOf(input.points, segmenter), segmenter);

    Segmentation segmentation;
    {
        std::unique_ptr<ProgressLine> progress;
        if (options.progress || standardErrorIsTerminal())
            progress = std::make_unique<ProgressLine>(startMs, standardErrorIsTerminal());
        std::vector<VELA::SVPoint3d> others;
        std::vector<VELA::tag_PCoefficient> coefficients;
        // The segmenter takes the points by value; only the labels need them
        // afterwards, so without labels they are handed over, not copied.
        segmenter.VELA_PlaneSegmentation(options.labelsFile.empty() ? std::move(input.points) : input.points,
                                         segmentation.planes, others, coefficients,
                                         segmentation.planeIndices,
                                         progress ? progress->callback() : VELA::ProgressCallback());
    }

    // Written before the window opens: a viewer that dies loses nothing.
    const bool written = writeOutputs(options, input, segmentation, resultFile);
    if (!options.noViewer) showPlanes(segmentation.planes);

    std::cout << "Total time is: " << secondsBetween(startMs, millisecondClock()) << "s"
              << std::endl;
    return written ? kExitDone : kExitNotWritten;
}

}  // namespace velaseg
