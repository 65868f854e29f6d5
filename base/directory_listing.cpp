#include "base/directory_listing.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// Every listed name maps to this; the map refuses null values.
char present_marker;

// True when a lookup in the directory open as descriptor finds a file only
// under the exact bytes that readdir gives for it.
bool matches_names_exactly(int descriptor)
{
    struct statfs file_system;
    if (fstatfs(descriptor, &file_system) != 0)
        return false;
    switch (file_system.f_type) {
    case BTRFS_SUPER_MAGIC:
        return true;
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case TMPFS_MAGIC: {
        // Both can fold case per directory; a kernel too old for the flag
        // query on tmpfs is too old for folding as well.
        int flags = 0;
        if (ioctl(descriptor, FS_IOC_GETFLAGS, &flags) == 0)
            return (flags & FS_CASEFOLD_FL) == 0;
        return file_system.f_type == TMPFS_MAGIC && (errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL);
    }
    default:
        return false;
    }
}

}  // namespace

quon_directory_listing::quon_directory_listing(const char* directory) : complete_(0)
{
    int descriptor = open(directory && *directory ? directory : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return;
    if (!matches_names_exactly(descriptor)) {
        close(descriptor);
        return;
    }
    DIR* stream = fdopendir(descriptor);
    if (!stream) {
        close(descriptor);
        return;
    }
    int complete = 1;
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(stream);
        if (!entry) {
            complete = errno == 0;
            break;
        }
        if (!names_.add(&present_marker, entry->d_name)) {
            complete = 0;
            break;
        }
    }
    closedir(stream);
    complete_ = complete;
    if (!complete_)
        names_.clear();
}

int quon_directory_listing::may_exist(const char* name) const
{
    if (!complete_ || !name || strchr(name, '/'))
        return 1;
    return names_.find(name) != nullptr;
}
