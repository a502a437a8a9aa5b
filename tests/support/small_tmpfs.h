#pragma once

#include <cstddef>
#include <string>

#include <sys/types.h>

namespace test_support {

// A small tmpfs mounted on a folder in a mount namespace of its own, so a test can fill a
// disk without touching the machine's: nothing outside the namespace sees the mount, and it
// goes when the namespace's last process ends. A sleeping helper process holds the
// namespace; programs the test starts enter it (MountNamespace) and the test reaches the files
// through the helper's view of the file tree (Path). Needs root; Failure() says why not.
class SmallTmpfs {
public:
    // Mounts a tmpfs of sizeBytes on mountPoint (an existing, absolute folder).
    SmallTmpfs(const std::string& mountPoint, std::size_t sizeBytes);
    ~SmallTmpfs();
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;

    const std::string& Failure() const { return failure_; }

    // Where the test reads and writes what the namespace's programs see at path (absolute).
    std::string Path(const std::string& path) const;

    // The namespace, open, for ChildSetup::mountNamespace.
    int MountNamespace() const { return namespaceFd_; }

private:
    pid_t holder_ = -1;
    int namespaceFd_ = -1;
    std::string failure_;
};

} // namespace test_support
