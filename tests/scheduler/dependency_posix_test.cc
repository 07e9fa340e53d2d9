// File times the system refuses to read: a name above the limit of a POSIX
// file system fails with ENAMETOOLONG (elsewhere such a name is only missing).

#include <cerrno>

#include "scheduler/scheduler_fixture.h"

namespace kestrel::test {
namespace {

class DependencyPosixTest : public SchedulerTest {};

TEST_F(DependencyPosixTest, FileTimesThatCannotBeRead) {
    const std::string longName(300, 'n');
    File("a.c", 1000);
    EXPECT_EQ(Run(kMachine + JobText("main", {longName}, {"a.o"}), nullptr),
              "Cannot check if " + (dir / longName) + " exists, error " + std::to_string(ENAMETOOLONG));
    scheduler.Release();
    EXPECT_EQ(Run(kMachine + JobText("c", {"a.c"}, {longName}) + ProjectText("all", {"c"}), "all"),
              "The output file " + (dir / longName) + " cannot be used during scheduling, error " +
                  std::to_string(ENAMETOOLONG));
}

}  // namespace
}  // namespace kestrel::test
