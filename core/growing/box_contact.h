// Contact between axis-aligned boxes: the test whether two patches lie within
// a margin of each other on every axis, and the search for all touching pairs
// of a set of boxes, which both growing passes use to find candidates.
#pragma once

#include <cstddef>
#include <vector>

#include "supervoxel/supervoxel_set.h"

namespace vela {

// Axis-aligned box of a descriptor, kept compact for the contact search.
struct ContactBox {
    float lo[3];
    float hi[3];
};

ContactBox contactBoxOf(const PlaneDescriptor& descriptor);

// On every axis the gap between the boxes is below gamma: the float gap
// compared in double, strictly, so boxes exactly gamma apart do not touch.
// Overlapping boxes touch; a box touches itself unless it is empty or NaN.
bool boxesTouch(const ContactBox& a, const ContactBox& b, double gamma);

inline bool boxesTouch(const PlaneDescriptor& a, const PlaneDescriptor& b, double gamma)
{
    return boxesTouch(contactBoxOf(a), contactBoxOf(b), gamma);
}

// For every box, the positions of all boxes it touches (itself included when
// it touches itself), ascending; list i is items[offsets[i] .. offsets[i+1]).
struct ContactLists {
    std::vector<std::size_t> offsets;
    std::vector<int> items;

    std::size_t size(std::size_t i) const { return offsets[i + 1] - offsets[i]; }
    const int* begin(std::size_t i) const { return items.data() + offsets[i]; }
    const int* end(std::size_t i) const { return items.data() + offsets[i + 1]; }
};

// Same lists as testing every pair with boxesTouch, found through a uniform
// grid over the boxes so that each box meets only its neighbours.
ContactLists findBoxContacts(const std::vector<ContactBox>& boxes, double gamma);

}  // namespace vela
