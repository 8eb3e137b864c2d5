// Replacing a file's contents atomically: the new contents go into a
// temporary file in the same folder, which is then renamed over the file.
// Until the rename the original is untouched; on any failure (and when the
// replacement is dropped without commit) the temporary is removed. Plain
// C++ over POSIX calls, no Python.
#pragma once

#include "obj_file.h"

#include <sys/types.h>

namespace tsr::objfile {

class FileReplacement final : public Sink {
public:
    FileReplacement() noexcept = default;
    ~FileReplacement() override;
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // Creates the temporary beside `path` (beside the target of `path` when
    // it is a symbolic link, which stays a link). 0, or an errno value.
    int begin(const char* path) noexcept;
    // Writes out what the sink holds, gives the temporary the original's
    // permission bits (and owner, where allowed), closes it and renames it
    // over the original. 0, or an errno value (the original then stays).
    int commit() noexcept;

protected:
    bool make_room(std::size_t need) noexcept override;
    bool append_large(const char* p, std::size_t len) noexcept override;

private:
    bool flush() noexcept;
    bool write_all(const char* p, std::size_t len) noexcept;
    void discard() noexcept;

    char* target_ = nullptr;  // the file to replace (malloc'd)
    char* temp_ = nullptr;    // the temporary's name (malloc'd)
    char* buf_ = nullptr;     // the write buffer (malloc'd)
    int fd_ = -1;
    mode_t mode_ = 0;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    bool committed_ = false;
};

}  // namespace tsr::objfile
