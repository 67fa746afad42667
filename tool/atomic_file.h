// Outputs that appear whole or not at all: the bytes go to a temporary file
// in the target's folder, which replaces the target only after every write,
// the flush to disk and the close have succeeded. A crash, a full disk or a
// kill leaves the earlier file as it was (and at worst a hidden temporary).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velaseg {

class AtomicFile {
public:
    // Creates the temporary file; a failure is kept and reported by commit().
    explicit AtomicFile(std::string target);
    // Removes the temporary file unless it was committed.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Buffered; false from the first failure on (later writes do nothing).
    bool write(const void* data, std::size_t size);
    bool write(const std::string& text) { return write(text.data(), text.size()); }
    // Replaces bytes written before at `offset`, for a header whose counts
    // are known only at the end.
    bool overwrite(std::uint64_t offset, const void* data, std::size_t size);

    // Flushes, syncs, closes and renames over the target. False, with error()
    // naming the cause ("No space left on device", ...), when any step failed;
    // the target is then untouched.
    bool commit();

    const std::string& error() const { return error_; }

private:
    bool flushBuffer();
    bool writeThrough(const char* at, std::size_t left);
    void startWriteback();
    bool fail(const std::string& what);

    std::string target_;
    std::string temporary_;
    int fd_ = -1;
    bool committed_ = false;
    std::string error_;
    std::vector<char> buffer_;
    std::uint64_t written_ = 0;        // bytes handed to write()
    std::uint64_t writebackFrom_ = 0;  // where the disk has not been asked to write yet
};

}  // namespace velaseg
