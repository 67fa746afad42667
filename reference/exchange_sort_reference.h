// The residual sort exactly as defined: quadratic exchange sort, zero repair
// from position 3, normalisation. The shipped sort is checked against it.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "planar/detail/exchange_order.h"

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
    double v = 0.0;
    for (std::size_t j = 3; j < n && v == 0.0; ++j) {
        if (distances[j] > 0.0) v = distances[j];
    }
    for (std::size_t j = 3; j < n && !(distances[j] > 0.0); ++j) {
        if (distances[j] <= 0.0) distances[j] = v;
    }
    residuals.clear();
    for (double d : distances) residuals.push_back(d / tau);
    return true;
}

// In the shape of a sorter the plane test accepts.
inline bool exchangeSortResidualsWithBuffers(std::vector<int>& indices, std::vector<double>& distances,
                                             std::vector<double>& residuals, double tau, vela::ResidualSortBuffers&)
{
    return exchangeSortResiduals(indices, distances, residuals, tau);
}

}  // namespace vela_reference
