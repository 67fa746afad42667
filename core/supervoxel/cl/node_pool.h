// Node storage for the spatial indexes: nodes are handed out from blocks
// (1024 first, each further block twice the previous) instead of one
// allocation per node, and are all released with the pool.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "supervoxel/cl/large_pages.h"

namespace cl {

template <typename Node>
class NodePool {
public:
    NodePool() = default;
    NodePool(const NodePool&) = delete;
    NodePool& operator=(const NodePool&) = delete;
    virtual ~NodePool() = default;

    Node* take()
    {
        if (used_ == blockSize_) {
            const std::size_t next = blocks_.empty() ? 1024 : nextBlockSize(blockSize_);
            blocks_.push_back(makeBlock(next));
            blockSize_ = next;
            used_ = 0;
        }
        return &blocks_.back()[used_++];
    }

    void clear()
    {
        blocks_.clear();
        blockSize_ = 0;
        used_ = 0;
    }

private:
    struct BlockDeleter {
        std::size_t count;
        void operator()(Node* nodes) const
        {
            for (std::size_t i = 0; i < count; ++i) nodes[i].~Node();
            std::allocator<Node>().deallocate(nodes, count);
        }
    };
    using Block = std::unique_ptr<Node[], BlockDeleter>;

    // The raw block gets its page advice before the nodes are constructed
    // in it, which is its first touch.
    static Block makeBlock(std::size_t count)
    {
        Node* nodes = std::allocator<Node>().allocate(count);
        adviseLargePages(nodes, count * sizeof(Node));
        for (std::size_t i = 0; i < count; ++i) new (nodes + i) Node();
        return Block(nodes, BlockDeleter{count});
    }

    static std::size_t nextBlockSize(std::size_t size)
    {
        const std::size_t cap = 2147483647;
        return size > cap / 2 ? cap : 2 * size;
    }

    std::vector<Block> blocks_;
    std::size_t blockSize_ = 0;
    std::size_t used_ = 0;
};

}  // namespace cl
