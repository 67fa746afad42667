// The k nearest candidates of a search, kept sorted as they are offered.
#pragma once

namespace cl {

// The k best candidates so far, by ascending distance. A candidate goes after
// every entry at a distance <= its own, so the earlier-found of two
// equidistant points keeps the earlier slot; `worst` is the bar a candidate
// must pass (strictly), the last slot's distance once the list is full.
struct NearestList {
    int k;
    int* indices;
    double* dists;
    double worst;
    int count = 0;

    void add(double d, int index)
    {
        int i = count < k ? count : k - 1;
        for (; i > 0 && dists[i - 1] > d; --i) {
            dists[i] = dists[i - 1];
            indices[i] = indices[i - 1];
        }
        dists[i] = d;
        indices[i] = index;
        if (count < k) ++count;
        if (count == k) worst = dists[k - 1];
    }
};

}  // namespace cl
