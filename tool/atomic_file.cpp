#include "atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velaseg {
namespace {

constexpr std::size_t kBufferBytes = std::size_t(1) << 20;
// A piece of at least this size goes to the file as it is: copying it into
// the buffer first would copy every byte twice, for a call saved per piece.
constexpr std::size_t kWriteThroughBytes = std::size_t(64) << 10;

// Written data is handed to the disk in stretches of this size as it comes,
// so that the flush before the rename waits for the last stretch only and
// not for the whole file (about 40 ms of a 100 MB result file).
constexpr std::uint64_t kWritebackBytes = std::uint64_t(8) << 20;

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The mode the target would get if it were simply created, or the one it
// already has: replacing a file must not change who may read it.
mode_t modeFor(const std::string& target)
{
    struct stat info;
    if (::stat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return info.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

AtomicFile::AtomicFile(std::string target) : target_(std::move(target))
{
    // Hidden, so that a temporary left by a kill is not taken for a result.
    std::string pattern = folderOf(target_) + "/." + nameOf(target_) + ".velaseg-XXXXXX";
    fd_ = ::mkstemp(pattern.data());
    if (fd_ < 0) {
        fail("");
        return;
    }
    temporary_ = pattern;
    if (::fchmod(fd_, modeFor(target_)) != 0) {
        fail("");
        return;
    }
    buffer_.reserve(kBufferBytes);
}

AtomicFile::~AtomicFile()
{
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

bool AtomicFile::fail(const std::string& what)
{
    if (error_.empty()) error_ = what.empty() ? std::strerror(errno) : what;
    return false;
}

bool AtomicFile::flushBuffer()
{
    const bool written = writeThrough(buffer_.data(), buffer_.size());
    buffer_.clear();
    return written;
}

bool AtomicFile::writeThrough(const char* at, std::size_t left)
{
    while (left > 0) {
        const ssize_t n = ::write(fd_, at, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail("");
        }
        at += n;
        left -= static_cast<std::size_t>(n);
        written_ += static_cast<std::uint64_t>(n);
    }
    startWriteback();
    return true;
}

void AtomicFile::startWriteback()
{
    if (written_ - writebackFrom_ < kWritebackBytes) return;
#if defined(__linux__)
    // Only a hint: a failure to write shows at the flush in commit().
    ::sync_file_range(fd_, static_cast<off_t>(writebackFrom_), static_cast<off_t>(written_ - writebackFrom_),
                      SYNC_FILE_RANGE_WRITE);
#endif
    writebackFrom_ = written_;
}

bool AtomicFile::write(const void* data, std::size_t size)
{
    if (!error_.empty()) return false;
    const char* bytes = static_cast<const char*>(data);
    if (size >= kWriteThroughBytes) return flushBuffer() && writeThrough(bytes, size);
    while (size > 0) {
        const std::size_t room = kBufferBytes - buffer_.size();
        const std::size_t take = size < room ? size : room;
        buffer_.insert(buffer_.end(), bytes, bytes + take);
        bytes += take;
        size -= take;
        if (buffer_.size() == kBufferBytes && !flushBuffer()) return false;
    }
    return true;
}

bool AtomicFile::overwrite(std::uint64_t offset, const void* data, std::size_t size)
{
    if (!error_.empty() || !flushBuffer()) return false;
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd_, at, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail("");
        }
        at += n;
        offset += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool AtomicFile::commit()
{
    if (!error_.empty() || !flushBuffer()) return false;
    // Written to disk before the rename, so that the name never points at
    // data that a power cut could still lose.
    if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) return fail("");
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return fail("");
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) return fail("");
    committed_ = true;
    return true;
}

}  // namespace velaseg
