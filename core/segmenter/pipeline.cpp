// The exported segmentation methods: parameter block, working cloud, stages,
// statistics and timing, and the conversion of the results back to the
// caller's input points (through the index each working point carries).
#include <iostream>

#include "growing/region_growing.h"
#include "growing/rps_optimization.h"
#include "growing/segment_merging.h"
#include "planar/rps_generation.h"
#include "segmenter/millisecond_clock.h"
#include "segmenter/pipeline.h"
#include "segmenter/work_cloud.h"
#include "supervoxel/multiscale.h"
#include "supervoxel/plane_fit.h"
#include "supervoxel/populated_pages.h"
#include "supervoxel/progress.h"
#include "supervoxel/supervoxel_set.h"
#include "supervoxel/thread_pool.h"
#include "vela_base_offset.h"
#include "vela_plane.h"

namespace vela {
namespace {

void printParameterBlock(const VELA::tag_VELAParameter& p)
{
    std::cout << "parameters: " << std::endl;
    std::cout << "---rmin: " << p.rmin << " " << std::endl;
    std::cout << "---rmax: " << p.rmax << " " << std::endl;
    std::cout << "---rdelta: " << p.rdelta << " " << std::endl;
    std::cout << "---kappa: " << p.kappa << " " << std::endl;
    std::cout << "---phic: " << p.phic << " " << std::endl;
    std::cout << "---tau: " << p.tau << " " << std::endl;
    std::cout << "---epsilon: " << p.epsilon << " " << std::endl;
    std::cout << "---gamma: " << p.gamma << " " << std::endl;
    std::cout << "---delta: " << p.delta << " " << std::endl;
    std::cout << "---phid: " << p.phid << " " << std::endl;
    std::cout << "---theta: " << p.theta << " " << std::endl;
    std::cout << std::endl;
}

void printElapsed(std::int64_t startMs)
{
    std::cout << "VELA time is: " << secondsBetween(startMs, millisecondClock()) << "s" << std::endl;
}

template <typename Set>
void printCounts(const Set& set)
{
    std::cout << "planar supervoxels number: " << set.planarCount << std::endl;
    std::cout << "nonplanar supervoxels number: " << set.nonplanarCount << std::endl;
}

// Statistics block after each stage; independent points are those of the
// first independent record.
void printStatistics(const SupervoxelSet& set, std::size_t n)
{
    const std::size_t independent = set.independent.empty() ? 0 : set.independent[0].cloud->points.size();
    const std::uint64_t planar = static_cast<std::uint64_t>(n - independent);
    printCounts(set);
    std::cout << "planar points number: " << planar << std::endl;
    std::cout << "planar points ratio: " << static_cast<double>(planar) / static_cast<double>(n) << std::endl;
    std::cout << std::endl;
}

// The caller's point behind a working point (found by the index each working
// point carries), in the given colour.
VELA::SVPoint3d inputRecord(const InputCoordinates& input, const WorkPoint& p, const ColourRGB& colour)
{
    const cl::Point3D<double>& source = input[inputIndex(p)];
    VELA::SVPoint3d point(source.x, source.y, source.z);
    point.r = colour.r;
    point.g = colour.g;
    point.b = colour.b;
    return point;
}

// Appends the caller's points behind a working cloud in the given colour.
void appendInputPoints(const InputCoordinates& input, const pcl::PointCloud<WorkPoint>& cloud,
                       const ColourRGB& colour, std::vector<VELA::SVPoint3d>& out)
{
    for (const WorkPoint& p : cloud.points) out.push_back(inputRecord(input, p, colour));
}

// The same for every member record of a segment, in member order.
void appendInputPoints(const InputCoordinates& input, const std::vector<Supervoxel>& records,
                       const PlaneSegment& segment, std::vector<VELA::SVPoint3d>& out)
{
    for (int m : segment.members)
        appendInputPoints(input, *records[static_cast<std::size_t>(m)].cloud, segment.descriptor.colour, out);
}

VELA::tag_PCoefficient coefficientOf(const PlaneDescriptor& d)
{
    return VELA::tag_PCoefficient{d.normal.a, d.normal.b, d.normal.c, d.d};
}

// The working cloud of a call, or nothing when no point can take part.
struct Work {
    BaseOffset offset;
    WorkCloud cloud;
};

// Says on stderr what the frame could not hold: the points left out of a
// call's `total`, and coordinates of the frame's point too large for an offset.
void reportFrame(const char* method, std::size_t total, std::size_t kept, const VELA::SVPoint3d* first)
{
    if (kept < total)
        std::cerr << method << ": left out " << total - kept << " of " << total
                  << " points whose coordinates are not finite in the single-precision working frame" << std::endl;
    if (first != nullptr && beyondOffsetRange(*first))
        std::cerr << method << ": coordinates of 9.2e18 or more cannot be shifted near the origin;"
                  << " the single-precision working frame keeps only their leading digits" << std::endl;
}

Work prepare(const std::vector<VELA::SVPoint3d>& points, const char* method)
{
    Work work;
    work.offset = baseOffsetOf(points);
    work.cloud = buildWorkCloud(points, work.offset);
    reportFrame(method, points.size(), work.cloud->points.size(), framePoint(points));
    return work;
}

// Whether any point can take part; when points were given but none can,
// stderr says so.
bool hasWork(const std::vector<VELA::SVPoint3d>& points, const char* method)
{
    const BaseOffset offset = baseOffsetOf(points);
    for (const VELA::SVPoint3d& p : points)
        if (inFrame(p, offset)) return true;
    if (!points.empty())
        std::cerr << method << ": none of the " << points.size()
                  << " points has coordinates finite in the single-precision working frame; nothing segmented"
                  << std::endl;
    return false;
}

// How a method announces the three supervoxel stages and what it prints
// after each: the full segmentation and VELA_RPSGeneration word them apart.
struct StageWording {
    const char* multiScale;
    const char* rpsGeneration;
    const char* rpsOptimisation;
    void (*report)(const SupervoxelSet& set, std::size_t pointCount);
};

// The two count lines and an empty line.
void printCountsBlock(const SupervoxelSet& set, std::size_t)
{
    printCounts(set);
    std::cout << std::endl;
}

const StageWording kPipelineWording = {"start Multi-scale Supervoxel Segmentation...", "start RPS Generation...",
                                       "start RPS Optmization...", printStatistics};
const StageWording kRpsGenerationWording = {"start multi-scale supervoxel segmentation...",
                                            "start initial rigorous planar supervoxel generation...",
                                            "start independent points reclassification...", printCountsBlock};

void notify(const StageObserver* observer, const char* stage)
{
    if (observer != nullptr && *observer) (*observer)(stage);
}

// Multi-scale segmentation, RPS generation and RPS optimisation of `cloud`,
// each announced and reported as `wording` says.
void runSupervoxelStages(const WorkCloud& cloud, SupervoxelSet& set, const VELA::tag_VELAParameter& p,
                         std::int32_t iter, const StageWording& wording, const StageObserver* observer)
{
    const std::size_t n = cloud->points.size();

    std::cout << wording.multiScale << std::endl;
    reportStage("multi-scale supervoxels");
    // Nothing reads the working cloud after this stage: the records hold
    // their points.
    segmentMultiScale(cloud, set, p, nullptr, nullptr, false);
    notify(observer, "multi-scale supervoxels");
    wording.report(set, n);

    std::cout << wording.rpsGeneration << std::endl;
    reportStage("RPS generation");
    generateRPS(set, p);
    notify(observer, "RPS generation");
    wording.report(set, n);

    std::cout << wording.rpsOptimisation << std::endl;
    reportStage("RPS optimisation");
    optimizeRps(set, p, static_cast<std::int32_t>(n), iter);
    notify(observer, "RPS optimisation");
    wording.report(set, n);
}

// The containers after the timed stage sequence of a full segmentation.
struct FullRun {
    Work work;
    InputCoordinates input;  // empty unless asked for
    SupervoxelSet set;
    SegmentSet segments;
};

// Releases `points` once the working cloud is built, keeping their
// coordinates in the run when `keepCoordinates`.
void segmentFully(std::vector<VELA::SVPoint3d>& points, const VELA::tag_VELAParameter& para, std::int32_t iter,
                  bool keepCoordinates, FullRun& run)
{
    printParameterBlock(para);
    run.work = prepare(points, "VELA_PlaneSegmentation");
    if (keepCoordinates)
        run.input = takeCoordinates(points);
    else
        std::vector<VELA::SVPoint3d>().swap(points);
    const std::int64_t start = millisecondClock();
    runPipeline(run.work.cloud, run.set, run.segments, para, iter);
    printElapsed(start);
}

// Where one member's points go among its plane's records.
struct MemberPlace {
    std::size_t plane;
    int member;
    std::size_t first;
};

// The results of the vector overloads: every plane refitted, its points as
// input records in the plane's colour and, when asked, their input indices.
// Each member's records are made at once, each into its own place, so a
// large plane is shared among the threads too.
void collectPlanes(FullRun& run,
                   std::vector<std::vector<VELA::SVPoint3d>>& planes, std::vector<VELA::SVPoint3d>& others,
                   std::vector<VELA::tag_PCoefficient>& coefficients, std::vector<std::vector<std::size_t>>* indices)
{
    SupervoxelSet& set = run.set;
    SegmentSet& segments = run.segments;
    refitPlanes(set, segments);
    const std::size_t count = static_cast<std::size_t>(segments.planarCount);
    const std::size_t firstPlane = planes.size();
    const std::size_t firstRows = indices ? indices->size() : 0;
    planes.resize(firstPlane + count);
    if (indices) indices->resize(firstRows + count);
    std::vector<MemberPlace> places;
    for (std::size_t k = 0; k < count; ++k) {
        const PlaneSegment& segment = segments.planes[k];
        coefficients.push_back(coefficientOf(segment.descriptor));
        std::size_t size = 0;
        for (int m : segment.members) {
            places.push_back(MemberPlace{k, m, size});
            size += set.supervoxels[static_cast<std::size_t>(m)].cloud->points.size();
        }
        resizeOnPopulatedPages(planes[firstPlane + k], size);
        if (indices) resizeOnPopulatedPages((*indices)[firstRows + k], size);
    }
    parallelFor(places.size(), 8, [&](std::size_t i) {
        const MemberPlace& place = places[i];
        const ColourRGB& colour = segments.planes[place.plane].descriptor.colour;
        const auto& points = set.supervoxels[static_cast<std::size_t>(place.member)].cloud->points;
        VELA::SVPoint3d* const records = planes[firstPlane + place.plane].data() + place.first;
        std::size_t* const rows = indices ? (*indices)[firstRows + place.plane].data() + place.first : nullptr;
        for (std::size_t j = 0; j < points.size(); ++j) {
            records[j] = inputRecord(run.input, points[j], colour);
            if (rows) rows[j] = inputIndex(points[j]);
        }
    });
    for (int k = 0; k < segments.nonplanarCount; ++k) {
        appendInputPoints(run.input, set.independent, segments.others[static_cast<std::size_t>(k)], others);
    }
}

}  // namespace

bool runPipeline(WorkCloud cloud, SupervoxelSet& set, SegmentSet& segments, const VELA::tag_VELAParameter& p,
                 std::int32_t iter, const StageObserver* observer)
{
    runSupervoxelStages(cloud, set, p, iter, kPipelineWording, observer);

    std::cout << "start RPS based region growing..." << std::endl;
    // The first pass links only RPS that nearly touch and nearly share a plane:
    // a quarter of gamma and phid.
    reportStage("region growing");
    growRegions(set, segments, p, 0.25);
    notify(observer, "region growing");
    reportStage("segment merging");
    mergeSegments(set, segments, p);
    notify(observer, "segment merging");
    printCounts(segments);
    std::cout << std::endl;
    return true;
}

void refitPlanes(const SupervoxelSet& set, SegmentSet& segments)
{
    // Each fit reads its members' points and writes its own segment only.
    parallelFor(static_cast<std::size_t>(segments.planarCount), 1,
                [&](std::size_t k) { refitSegment(set, segments.planes[k], true); });
}

}  // namespace vela

namespace VELA {

// Every method refuses an input with no point that can take part (an empty
// vector, or only coordinates the working frame cannot hold): there is no
// first point to choose the frame from and nothing to segment. It then
// returns false before printing anything on stdout.
//
// The working cloud is kept until the call ends: when the first stage cuts
// nothing, its independent record shares that cloud, and those points must
// still reach the output. When it cuts, it takes the cloud's points.

bool VELA_Plane::VELA_PlaneSegmentation(std::vector<SVPoint3d> points, std::vector<std::vector<SVPoint3d>>& planes,
                                        std::vector<SVPoint3d>& others, std::vector<tag_PCoefficient>& coefficients)
{
    if (!vela::hasWork(points, "VELA_PlaneSegmentation")) return false;
    vela::FullRun run;
    vela::segmentFully(points, get_para(), iter, true, run);
    vela::collectPlanes(run, planes, others, coefficients, nullptr);
    return true;
}

bool VELA_Plane::VELA_PlaneSegmentation(std::vector<SVPoint3d> points, std::vector<std::vector<SVPoint3d>>& planes,
                                        std::vector<SVPoint3d>& others, std::vector<tag_PCoefficient>& coefficients,
                                        std::vector<std::vector<std::size_t>>& plane_indices,
                                        const ProgressCallback& progress)
{
    if (!vela::hasWork(points, "VELA_PlaneSegmentation")) return false;
    const vela::ProgressListener listener = [&progress](const vela::ProgressReport& r) {
        progress(tag_Progress{r.stage, r.level, r.iteration});
    };
    const vela::ProgressListening listening(progress ? &listener : nullptr);
    vela::FullRun run;
    vela::segmentFully(points, get_para(), iter, true, run);
    vela::collectPlanes(run, planes, others, coefficients, &plane_indices);
    return true;
}

bool VELA_Plane::VELA_PlaneSegmentation(std::vector<SVPoint3d> points, std::map<int, int>& labels,
                                        std::map<int, tag_PCoefficient>& coefficients)
{
    if (!vela::hasWork(points, "VELA_PlaneSegmentation")) return false;
    vela::FullRun run;
    vela::segmentFully(points, get_para(), iter, false, run);
    vela::SupervoxelSet& set = run.set;
    vela::SegmentSet& segments = run.segments;

    const vela::BaseOffset& o = run.work.offset;
    vela::refitPlanes(set, segments);
    for (int k = 0; k < segments.planarCount; ++k) {
        const vela::PlaneSegment& segment = segments.planes[static_cast<std::size_t>(k)];
        const vela::PlaneDescriptor& d = segment.descriptor;
        const int label = d.label;
        // Back to input coordinates: products in float, subtractions in double.
        double offsetD = d.d;
        offsetD -= static_cast<double>(static_cast<float>(o.x) * d.normal.a);
        offsetD -= static_cast<double>(static_cast<float>(o.y) * d.normal.b);
        offsetD -= static_cast<double>(static_cast<float>(o.z) * d.normal.c);
        coefficients[label] = tag_PCoefficient{d.normal.a, d.normal.b, d.normal.c, offsetD};
        for (int m : segment.members)
            for (const vela::WorkPoint& p : set.supervoxels[static_cast<std::size_t>(m)].cloud->points)
                labels[static_cast<int>(vela::inputIndex(p))] = label;
    }
    for (int k = 0; k < segments.nonplanarCount; ++k) {
        const vela::PlaneSegment& segment = segments.others[static_cast<std::size_t>(k)];
        for (int m : segment.members)
            for (const vela::WorkPoint& p : set.independent[static_cast<std::size_t>(m)].cloud->points)
                labels[static_cast<int>(vela::inputIndex(p))] = segment.descriptor.label;
    }
    return true;
}

bool VELA_Plane::VELA_RPSGeneration(std::vector<SVPoint3d> points, std::vector<std::vector<SVPoint3d>>& rps,
                                    std::vector<SVPoint3d>& independent, std::vector<tag_PCoefficient>& coefficients)
{
    if (!vela::hasWork(points, "VELA_RPSGeneration")) return false;
    const tag_VELAParameter p = get_para();
    vela::printParameterBlock(p);
    const vela::Work work = vela::prepare(points, "VELA_RPSGeneration");
    const vela::InputCoordinates input = vela::takeCoordinates(points);

    vela::SupervoxelSet set;
    const std::int64_t start = vela::millisecondClock();
    vela::runSupervoxelStages(work.cloud, set, p, iter, vela::kRpsGenerationWording, nullptr);
    vela::printElapsed(start);

    for (int i = 0; i < set.planarCount; ++i) {
        const vela::Supervoxel& sv = set.supervoxels[static_cast<std::size_t>(i)];
        coefficients.push_back(vela::coefficientOf(sv.descriptor));
        std::vector<SVPoint3d> patch;
        vela::appendInputPoints(input, *sv.cloud, sv.descriptor.colour, patch);
        rps.push_back(std::move(patch));
    }
    for (int i = 0; i < set.nonplanarCount; ++i) {
        const vela::Supervoxel& sv = set.independent[static_cast<std::size_t>(i)];
        vela::appendInputPoints(input, *sv.cloud, sv.descriptor.colour, independent);
    }
    return true;
}

bool VELA_Plane::VELA_RegionGrowing(std::vector<std::vector<SVPoint3d>> rps,
                                    std::vector<std::vector<SVPoint3d>>& planes,
                                    std::vector<tag_PCoefficient>& coefficients)
{
    if (rps.empty() || !vela::hasWork(rps[0], "VELA_RegionGrowing")) return false;
    const vela::BaseOffset o = vela::baseOffsetOf(rps[0]);

    vela::SupervoxelSet set;
    std::size_t total = 0, kept = 0;
    for (std::size_t i = 0; i < rps.size(); ++i) {
        vela::Supervoxel sv;
        sv.cloud = vela::makeWorkCloud();
        total += rps[i].size();
        for (const SVPoint3d& p : rps[i]) {
            if (!vela::inFrame(p, o)) continue;  // no place in any fit
            vela::WorkPoint w;                       // colour field unused: opaque black
            w.x = vela::shifted(p.x, o.x);
            w.y = vela::shifted(p.y, o.y);
            w.z = vela::shifted(p.z, o.z);
            sv.cloud->points.push_back(w);
        }
        vela::setRowShape(*sv.cloud);
        vela::fitPlaneDescriptor(sv.cloud, sv.descriptor, true);
        sv.id = static_cast<std::int32_t>(i);
        kept += sv.cloud->points.size();
        set.supervoxels.push_back(sv);
        ++set.planarCount;
    }
    vela::reportFrame("VELA_RegionGrowing", total, kept, vela::framePoint(rps[0]));

    vela::SegmentSet segments;
    vela::growRegions(set, segments, get_para(), 1.0);
    vela::printCounts(segments);

    vela::refitPlanes(set, segments);
    for (int k = 0; k < segments.planarCount; ++k) {
        const vela::PlaneSegment& segment = segments.planes[static_cast<std::size_t>(k)];
        coefficients.push_back(vela::coefficientOf(segment.descriptor));
        std::vector<SVPoint3d> plane;
        for (int m : segment.members) {
            for (const vela::WorkPoint& q : set.supervoxels[static_cast<std::size_t>(m)].cloud->points) {
                // Back to input coordinates in float, as the points were given.
                plane.emplace_back(static_cast<double>(static_cast<float>(o.x) + q.x),
                                   static_cast<double>(static_cast<float>(o.y) + q.y),
                                   static_cast<double>(static_cast<float>(o.z) + q.z));
            }
        }
        planes.push_back(std::move(plane));
    }
    return true;
}

}  // namespace VELA
