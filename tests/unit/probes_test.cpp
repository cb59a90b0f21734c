// Decisions of the update run that need no files: the system gate and the
// packing of versions.
#include "update/probes.h"
#include "update/update_run.h"

#include <gtest/gtest.h>

TEST(SystemGate, TableOfVersions) {
    struct Case { DWORD major, minor; WORD sp; bool ok; } cases[] = {
        {4, 0, 6, false}, {5, 0, 4, false}, {5, 1, 0, false}, {5, 1, 1, false},
        {5, 1, 2, true},  {5, 1, 3, true},  {5, 2, 0, true},  {6, 0, 0, true},
        {6, 1, 1, true},  {10, 0, 0, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.ok, IsSupportedWindows(c.major, c.minor, c.sp))
            << c.major << "." << c.minor << " SP" << c.sp;
    }
}
