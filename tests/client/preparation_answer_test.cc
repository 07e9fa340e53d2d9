// The failure text of every status the preparation thread can answer with,
// and of one it cannot.
#include <gtest/gtest.h>

#include "client/stages.h"
#include "platform/system_errors.h"

namespace kestrel {
namespace {

TEST(PreparationAnswerTest, EveryStatusHasItsMessage) {
    const struct {
        uint32_t status;
        const char* text;
    } cases[] = {
        {1, "Insufficient memory to prepare a connection"},
        {2, "Error finding the size of the converted encoding"},
        {3, "Error converting the name encoding"},
        {4, "Cannot resolve the host name"},
        {5, "No suitable address reported for host name"},
        {6, "Cannot create a socket"},
        {7, "Cannot set the socket to non-blocking"},
        {8, "Cannot connect"},
        {9, "Cannot create ssh command line"},
        {10, "Cannot start ssh command line thread"},
        {11, "Cannot start ssh command line"},
        {12, "Cannot connect directly to an agent; a connection must be made through a server"},
        {13, "Unknown failure 13 for kv://builder:5017"},
        {4294967295u, "Unknown failure 4294967295 for kv://builder:5017"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DescribePreparationFailure(c.status, "kv://builder:5017", nullptr), c.text) << c.status;
    EXPECT_EQ(DescribePreparationFailure(8, "kvs://builder:5017", "Permission denied (publickey)."),
              "Cannot connect: Permission denied (publickey).");
}

// Each code is described by whoever gave it: the resolver's codes are not
// errno values, and the program's fixed numbers are not the system's.
TEST(PreparationAnswerTest, EachCodeIsDescribedByItsSource) {
    const struct {
        uint32_t status;
        int32_t code;
        const char* description;
    } cases[] = {
        {1, 8, " (Not enough memory)"},
        {2, 1113, " (The text is not valid UTF-8)"},
        {9, 8, " (Not enough memory)"},
        {9, 87, " (The parameter is incorrect)"},
        {9, 1113, " (The text is not valid UTF-8)"},
        {12, 0, ""},
        {5, 0, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(DescribePreparationCode(c.status, c.code), c.description) << c.status;
    // System codes: the system's words, whatever they are on this system.
    EXPECT_EQ(DescribePreparationCode(8, 111), " (" + platform::SystemErrorText(111) + ")");
    EXPECT_EQ(DescribePreparationCode(4, -2), " (" + platform::ResolverErrorText(-2) + ")");
}

}  // namespace
}  // namespace kestrel
