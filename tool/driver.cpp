#include "driver.h"

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "cloud_view.h"
#include "display.h"
#include "executable_path.h"
#include "las_reader.h"
#include "parameter_file.h"
#include "result_file.h"
#include "vela_plane.h"
#include "wall_clock.h"

namespace velaseg {
namespace {

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

// The type is the text from the last '.' to the end, compared in full and
// case-sensitively: "scan.PCD" and "a.b/scan" are neither type.
std::string inputType(const std::string& pcFile)
{
    const std::size_t dot = pcFile.find_last_of('.');
    return dot == std::string::npos ? std::string() : pcFile.substr(dot);
}

void showPlanes(const Planes& planes)
{
    pcl::PointCloud<pcl::PointXYZRGB>::Ptr cloud = makeViewerCloud(planes);
    if (cloud->points.empty()) return;  // the viewer would return at once
    if (!displayAvailable()) {
        std::cerr << "velaseg: no display could be opened; the viewer is skipped" << std::endl;
        return;
    }
    CLOUDVIEW_NS::CloudView view;
    view.visual_pc(cloud);
}

}  // namespace

int runVelaseg(int argc, char** argv, std::int64_t startMs)
{
    if (argc < 2) {
        printUsage();
        return 1;
    }

    const std::string pcFile = argv[1];
    VELA::VELA_Plane segmenter;
    std::vector<VELA::SVPoint3d> points;

    const std::string type = inputType(pcFile);
    if (type == ".pcd") {
        std::cout << "input file type: pcd" << std::endl;
        segmenter.set_points(pcFile, points);
    } else if (type == ".las") {
        std::cout << "input file type: las" << std::endl;
        readLasFile(pcFile, points);
    }

    const double mu = segmenter.get_mu(points);
    segmenter.set_parameters(mu);
    VELA::tag_VELAParameter para = segmenter.get_para();
    if (!readParameterFile(parameterFilePath(executablePath()), para))
        std::cout << "no configuration file loaded, use default parameters" << std::endl;
    segmenter.set_parameters(para);
    if (argc > 2) segmenter.set_iter(std::atoi(argv[2]));

    Planes planes;
    {
        std::vector<VELA::SVPoint3d> others;
        std::vector<VELA::tag_PCoefficient> coefficients;
        segmenter.VELA_PlaneSegmentation(points, planes, others, coefficients);
    }

    const std::string resultFile = resultFileName(pcFile);
    showPlanes(planes);
    if (!writeResultFile(resultFile, planes))
        std::cerr << "velaseg: could not create the result file " << resultFile
                  << "; no result written" << std::endl;

    std::cout << "Total time is: " << secondsBetween(startMs, millisecondClock()) << "s"
              << std::endl;
    return 0;
}

}  // namespace velaseg
