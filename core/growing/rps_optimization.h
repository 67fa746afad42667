// RPS optimisation (independent point reclassification): independent points
// move into nearby rigorous planar supervoxels whose plane they lie on, and
// what remains is segmented again for new RPS, which grow into their
// surroundings.
#pragma once

#include <cstdint>
#include <vector>

#include "supervoxel/supervoxel_set.h"
#include "vela_plane.h"

namespace vela {

// Reassigns independent points (gamma, delta), then segments the rest again
// (the multi-scale and RPS parameters) while new RPS appear and, with iter 0,
// at least 5 % of the call's `totalPoints` stay independent. False when no
// RPS exists at the start (after printing "error...") or when a
// re-segmentation fails; true otherwise.
bool optimizeRps(SupervoxelSet& set, const VELA::tag_VELAParameter& para, std::int32_t totalPoints,
                 std::int32_t iter);

// After re-segmentation iteration k (counted from 0): whether another runs,
// given the share of points still independent and whether new RPS were found.
// A share of at least 5 % with new RPS goes on for at most eleven iterations,
// at twice tau from then on; past that, only iter != 0 goes on, while new RPS
// appear.
bool continueResegmentation(double ratio, int k, bool grown, std::int32_t iter, double tau, double& tolerance);

// One reassignment iteration over the RPS whose flag is set; `changed` must be
// false on entry. False, with nothing changed, when no flag is set.
bool reassignIndependentPoints(SupervoxelSet& set, bool& changed, std::vector<std::uint8_t>& changedFlags,
                               double gamma, double delta);

struct NeighbourhoodMemory;

// One re-segmentation iteration of the independent points, with `tolerance`
// in the place of tau; `grown` must be false on entry and becomes true when
// new RPS were found and appended. `memory` carries neighbour lists from one
// iteration's cut to the next.
bool extractNewRps(SupervoxelSet& set, const VELA::tag_VELAParameter& para, double tolerance, bool& grown,
                   NeighbourhoodMemory* memory = nullptr);

// Grows `rps` into the points of `points`' cloud: neighbours within gamma of
// its points, then of every accepted point, are accepted when within delta of
// its plane. Accepted points move to the RPS in decreasing former index.
// False, with nothing changed, when that cloud is empty.
bool growRpsIntoPoints(Supervoxel& rps, Supervoxel& points, double gamma, double delta);

// growRpsIntoPoints for every planar supervoxel of `fresh`, in order, into the
// points of its first independent record, with one search index for all.
void growAllRpsIntoPoints(SupervoxelSet& fresh, double gamma, double delta);

}  // namespace vela
