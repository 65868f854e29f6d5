#ifndef BRIMVALE_TESTS_E2E_PRIVATE_MOUNTS_H
#define BRIMVALE_TESTS_E2E_PRIVATE_MOUNTS_H

// Mounts that only this test process and the children it starts later can
// see: a mount namespace of the process's own with every mount private, so
// nothing done here ever reaches the rest of the machine. The destructor
// takes every mount away again, newest first.

#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>
#include <vector>

class e2e_private_mounts {
public:
    e2e_private_mounts() = default;
    ~e2e_private_mounts()
    {
        for (auto at = mounted_.rbegin(); at != mounted_.rend(); ++at)
            umount2(at->c_str(), MNT_DETACH);
    }
    e2e_private_mounts(const e2e_private_mounts&) = delete;
    e2e_private_mounts& operator=(const e2e_private_mounts&) = delete;

    // Each 1 on success; 0 with reason() when this machine allows no such
    // mount (the test should skip).

    // A tmpfs of bytes on the directory path, which must exist.
    int mount_tmpfs(const std::string& path, long bytes)
    {
        if (!enter())
            return 0;
        std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
        if (mount("brimvale-test", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
            return refuse("tmpfs on " + path);
        mounted_.push_back(path);
        return 1;
    }
    // Grows or shrinks the tmpfs mounted on path; its files stay.
    int resize_tmpfs(const std::string& path, long bytes)
    {
        std::string options = "size=" + std::to_string(bytes);
        if (mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_NOSUID | MS_NODEV, options.c_str()) != 0)
            return refuse("resizing the tmpfs on " + path);
        return 1;
    }
    // path (a file or a directory, and all below it) refuses writes, root's
    // included, through a read-only bind mount of it onto itself.
    int make_read_only(const std::string& path)
    {
        if (!enter())
            return 0;
        if (mount(path.c_str(), path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return refuse("bind mount of " + path);
        mounted_.push_back(path);
        // In a user namespace the flags of the underlying mount are locked
        // and must be repeated on a remount.
        struct statvfs info;
        unsigned long kept = 0;
        if (statvfs(path.c_str(), &info) == 0) {
            const struct {
                unsigned long has, keep;
            } flags[] = {{ST_NOSUID, MS_NOSUID},     {ST_NODEV, MS_NODEV},           {ST_NOEXEC, MS_NOEXEC},
                         {ST_NOATIME, MS_NOATIME}, {ST_NODIRATIME, MS_NODIRATIME}, {ST_RELATIME, MS_RELATIME}};
            for (const auto& flag : flags)
                if (info.f_flag & flag.has)
                    kept |= flag.keep;
        }
        if (mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | kept, nullptr) != 0)
            return refuse("read-only remount of " + path);
        if (access(path.c_str(), W_OK) == 0 || errno != EROFS)
            return refuse("the read-only mount of " + path + " still takes writes");
        return 1;
    }

    const std::string& reason() const { return reason_; }

private:
    int enter()
    {
        if (entered_)
            return 1;
        if (unshare(CLONE_NEWNS) != 0)
            return refuse("unshare(CLONE_NEWNS)");
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return refuse("making / private");
        entered_ = true;
        return 1;
    }
    int refuse(const std::string& what)
    {
        reason_ = what + ": " + strerror(errno);
        return 0;
    }

    bool entered_ = false;
    std::vector<std::string> mounted_;
    std::string reason_;
};

#endif
