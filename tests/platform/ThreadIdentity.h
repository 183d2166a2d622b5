#pragma once
// Makes the calling thread, and only it, another user and group (with no
// supplementary groups) while the object lives: for tests of what a user
// without root sees, since root passes every permission check. Linux keeps
// credentials per thread and glibc's setuid() changes them for every thread
// of the process, so this uses the raw system calls, and it keeps root as the
// saved user and group to come back to. Needs root (Available()); the
// constructor reports a failure to gtest and leaves the thread as it was.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace kalvaro::test {

class TThreadIdentity {
public:
    static bool Available() { return ::geteuid() == 0; }

    TThreadIdentity(uid_t user, gid_t group) {
        ::getresuid(&realUser_, &effectiveUser_, &savedUser_);
        ::getresgid(&realGroup_, &effectiveGroup_, &savedGroup_);
        groups_.resize(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
        if (::getgroups(static_cast<int>(groups_.size()), groups_.data()) < 0) groups_.clear();
        // Group first: without root the thread could not change it any more.
        if (::syscall(SYS_setgroups, 0, nullptr) != 0 || ::syscall(SYS_setresgid, group, group, -1) != 0 ||
            ::syscall(SYS_setresuid, user, user, -1) != 0) {
            ADD_FAILURE() << "cannot take on user " << user << ": " << std::strerror(errno);
            Restore();
            return;
        }
        active_ = true;
    }
    ~TThreadIdentity() {
        if (active_) Restore();
    }
    TThreadIdentity(const TThreadIdentity&) = delete;
    TThreadIdentity& operator=(const TThreadIdentity&) = delete;

private:
    void Restore() {
        const bool restored = ::syscall(SYS_setresuid, realUser_, effectiveUser_, savedUser_) == 0 &&
                              ::syscall(SYS_setresgid, realGroup_, effectiveGroup_, savedGroup_) == 0 &&
                              ::syscall(SYS_setgroups, groups_.size(), groups_.data()) == 0;
        EXPECT_TRUE(restored) << "cannot become root again: " << std::strerror(errno);
    }

    uid_t realUser_ = 0, effectiveUser_ = 0, savedUser_ = 0;
    gid_t realGroup_ = 0, effectiveGroup_ = 0, savedGroup_ = 0;
    std::vector<gid_t> groups_;
    bool active_ = false;
};

}  // namespace kalvaro::test
