// Sparse octree over an integer grid, used as the set of occupied cells.
#pragma once

#include <cstddef>

#include "supervoxel/cl/node_pool.h"

namespace cl {

template <typename T>
class Octree {
public:
    class Node {
    public:
        virtual ~Node() = default;
        virtual bool isLeaf() const = 0;
    };

    class BranchNode : public Node {
    public:
        bool isLeaf() const override { return false; }
        Node* children[8] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    };

    class LeafNode : public Node {
    public:
        bool isLeaf() const override { return true; }
        T value = T();
    };

    // depth = number of bits of the largest grid extent.
    Octree(int nx, int ny, int nz)
    {
        int largest = nx > ny ? nx : ny;
        if (nz > largest) largest = nz;
        for (unsigned v = largest > 0 ? static_cast<unsigned>(largest) : 0u; v != 0; v >>= 1) ++depth_;
        root_ = branches_.take();
    }
    Octree(const Octree&) = delete;
    Octree& operator=(const Octree&) = delete;
    virtual ~Octree() = default;

    int depth() const { return depth_; }
    std::size_t leafCount() const { return leafCount_; }

    // The leaf of cell (x, y, z); `inserted` tells whether the cell was empty
    // (only then is `value` stored).
    LeafNode* insert(int x, int y, int z, const T& value, bool& inserted)
    {
        unsigned bit = depth_ > 0 ? 1u << (depth_ - 1) : 1u;
        BranchNode* branch = root_;
        for (;;) {
            const int slot = ((static_cast<unsigned>(x) & bit) ? 4 : 0) +
                             ((static_cast<unsigned>(y) & bit) ? 2 : 0) +
                             ((static_cast<unsigned>(z) & bit) ? 1 : 0);
            Node*& child = branch->children[slot];
            if (bit < 2) {
                if (child == nullptr) {
                    LeafNode* leaf = leaves_.take();
                    leaf->value = value;
                    child = leaf;
                    ++leafCount_;
                    inserted = true;
                    return leaf;
                }
                inserted = false;
                return static_cast<LeafNode*>(child);
            }
            if (child == nullptr) child = branches_.take();
            branch = static_cast<BranchNode*>(child);
            bit >>= 1;
        }
    }

private:
    int depth_ = 0;
    std::size_t leafCount_ = 0;
    NodePool<BranchNode> branches_;
    NodePool<LeafNode> leaves_;
    BranchNode* root_ = nullptr;
};

}  // namespace cl
