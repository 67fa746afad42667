// The residual sort written exactly as its definition reads: a quadratic
// exchange sort, the zero repair, the normalisation. Fast versions are
// checked against it.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "planar/nfa.h"

namespace vela_reference {

inline bool exchangeSortResiduals(std::vector<int>& indices, std::vector<double>& distances,
                                  std::vector<double>& residuals, double tau)
{
    if (indices.size() != distances.size()) return false;
    const std::size_t n = distances.size();
    for (std::size_t i = 0; i + 1 < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            if (distances[i] > distances[j]) {
                std::swap(distances[i], distances[j]);
                std::swap(indices[i], indices[j]);
            }
        }
    }
    if (n >= 4) {
        double v = 0.0;
        for (std::size_t j = 3; j < n; ++j) {
            if (distances[j] > 0.0) {
                v = distances[j];
                break;
            }
        }
        for (std::size_t j = 3; j < n; ++j) {
            if (distances[j] > 0.0) break;
            if (distances[j] <= 0.0) distances[j] = v;
        }
    }
    residuals.clear();
    for (std::size_t i = 0; i < n; ++i) residuals.push_back(distances[i] / tau);
    return true;
}

// Same, in the shape of a sorter that the plane test accepts.
inline bool exchangeSortResidualsWithBuffers(std::vector<int>& indices, std::vector<double>& distances,
                                             std::vector<double>& residuals, double tau,
                                             vela::ResidualSortBuffers&)
{
    return exchangeSortResiduals(indices, distances, residuals, tau);
}

}  // namespace vela_reference
