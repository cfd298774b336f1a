// Checks that this machine cannot run (they need root, or a tool that is not
// installed). They are skipped with the reason, and CTest lists them as
// "Not Run (Skipped)"; under CI (CI=true) every check must run, so there
// such a check fails instead of passing unseen.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace qeltv::test {

inline bool RunningInCi() {
    const char* ci = std::getenv("CI");
    return ci && std::string_view(ci) == "true";
}

} // namespace qeltv::test

// Ends the current test: a failure under CI, a skip elsewhere.
#define QELTV_CANNOT_RUN(reason)                                                                   \
    do {                                                                                           \
        if (::qeltv::test::RunningInCi())                                                          \
            GTEST_FAIL() << "this check must run under CI, but " << (reason);                      \
        GTEST_SKIP() << (reason);                                                                  \
    } while (false)
