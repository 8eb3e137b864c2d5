// Atomic replacement of a file through a temporary beside it (see
// replace_file.h).
#include "replace_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tsr::objfile {
namespace {

constexpr std::size_t kBufferSize = std::size_t{1} << 20;
// Keeps the temporary's name within NAME_MAX however long the file name is.
constexpr std::size_t kMaxBaseInTempName = 200;

char* dup_string(const char* s) noexcept {
    const std::size_t len = std::strlen(s) + 1;
    char* copy = static_cast<char*>(std::malloc(len));
    if (copy) std::memcpy(copy, s, len);
    return copy;
}

}  // namespace

FileReplacement::~FileReplacement() {
    discard();
    std::free(buf_);
    std::free(temp_);
    std::free(target_);
}

void FileReplacement::discard() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (temp_ != nullptr && !committed_) {
        ::unlink(temp_);
        std::free(temp_);
        temp_ = nullptr;
    }
}

int FileReplacement::begin(const char* path) noexcept {
    struct stat st;
    if (::lstat(path, &st) != 0) return errno;
    // Writing through a symbolic link updates its target; so does this.
    target_ = S_ISLNK(st.st_mode) ? ::realpath(path, nullptr) : dup_string(path);
    if (target_ == nullptr) return errno ? errno : ENOMEM;
    if (::stat(target_, &st) != 0) return errno;
    mode_ = st.st_mode & 07777;
    uid_ = st.st_uid;
    gid_ = st.st_gid;

    // "<folder>/.<name>.XXXXXX" beside the target.
    const char* slash = std::strrchr(target_, '/');
    const std::size_t dir_len = slash ? static_cast<std::size_t>(slash - target_ + 1) : 0;
    const char* base = target_ + dir_len;
    const std::size_t base_len = std::min(std::strlen(base), kMaxBaseInTempName);
    temp_ = static_cast<char*>(std::malloc(dir_len + 1 + base_len + 8));
    if (temp_ == nullptr) return ENOMEM;
    char* t = temp_;
    std::memcpy(t, target_, dir_len);
    t += dir_len;
    *t++ = '.';
    std::memcpy(t, base, base_len);
    t += base_len;
    std::memcpy(t, ".XXXXXX", 8);

    buf_ = static_cast<char*>(std::malloc(kBufferSize));
    if (buf_ == nullptr) {
        std::free(temp_);
        temp_ = nullptr;
        return ENOMEM;
    }
    fd_ = ::mkostemp(temp_, O_CLOEXEC);
    if (fd_ < 0) {
        const int err = errno;
        std::free(temp_);  // nothing was created
        temp_ = nullptr;
        return err;
    }
    cur_ = buf_;
    end_ = buf_ + kBufferSize;
    return 0;
}

bool FileReplacement::write_all(const char* p, std::size_t len) noexcept {
    if (fd_ < 0) {
        if (error_ == 0) error_ = EBADF;
        return false;
    }
    while (len != 0) {
        const ssize_t w = ::write(fd_, p, len);
        if (w < 0) {
            if (errno == EINTR) continue;
            error_ = errno;
            return false;
        }
        p += w;
        len -= static_cast<std::size_t>(w);
    }
    return true;
}

bool FileReplacement::flush() noexcept {
    const std::size_t held = static_cast<std::size_t>(cur_ - buf_);
    cur_ = buf_;
    return write_all(buf_, held);
}

bool FileReplacement::make_room(std::size_t need) noexcept {
    if (need > kBufferSize) {
        error_ = ENOMEM;
        return false;
    }
    return flush();
}

bool FileReplacement::append_large(const char* p, std::size_t len) noexcept {
    return flush() && write_all(p, len);
}

int FileReplacement::commit() noexcept {
    if (error_ != 0) return error_;
    if (!flush()) return error_;
    // Best effort for the owner (only a privileged caller may give a file
    // away); before the mode, since a change of owner clears set-id bits.
    if ((uid_ != ::geteuid() || gid_ != ::getegid()) && ::fchown(fd_, uid_, gid_) != 0) {
        // keep the caller as owner
    }
    if (::fchmod(fd_, mode_) != 0) return error_ = errno;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return error_ = errno;
    if (::rename(temp_, target_) != 0) return error_ = errno;
    committed_ = true;
    return 0;
}

}  // namespace tsr::objfile
