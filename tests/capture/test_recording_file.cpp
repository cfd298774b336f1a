// Final names of finished recordings: a taken name is never replaced, the
// numbered names are found, also where the file system has no hard links.
#include "capture/RecordingFile.h"
#include "tests/settings/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

namespace qeltv {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Makes this process's file system calls behave as on FAT and exFAT:
// renameat2() does not know RENAME_NOREPLACE there (EINVAL), and link() and
// linkat() fail with EPERM. Only the plain rename is left.
bool BehaveAsWithoutHardLinks() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat2, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_link, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_linkat, 2, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EINVAL & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Two recordings of the same second and a name the user made already: the
// third recording becomes rec_3, nothing is replaced, the working file is gone.
int MoveBesideTakenNames(const std::filesystem::path& dir) {
    WriteFile(dir / "capture.avi", "new");
    WriteFile(dir / "rec.avi", "first");
    WriteFile(dir / "rec_2.avi", "second");
    std::string error;
    const auto taken = MoveToUniqueName(dir / "capture.avi", dir / "rec.avi", error);
    if (taken != dir / "rec_3.avi" || ReadFile(taken) != "new" ||
        ReadFile(dir / "rec.avi") != "first" || ReadFile(dir / "rec_2.avi") != "second" ||
        std::filesystem::exists(dir / "capture.avi"))
        return 1;
    return error.empty() ? 0 : 2;
}

TEST(RecordingFile, TakenNamesAreNeverReplaced) {
    TempDir dir;
    EXPECT_EQ(MoveBesideTakenNames(dir.path()), 0);
}

// On a drive without hard links or RENAME_NOREPLACE only the plain rename is
// left, which would replace a taken name if it were not looked at first.
TEST(RecordingFile, TakenNamesAreNeverReplacedWithoutHardLinks) {
    TempDir dir;
    EXPECT_EXIT(
        {
            if (!BehaveAsWithoutHardLinks())
                std::_Exit(3);
            std::_Exit(MoveBesideTakenNames(dir.path()));
        },
        testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace qeltv
