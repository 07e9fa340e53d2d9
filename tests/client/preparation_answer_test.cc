// The failure text of every status the preparation thread can answer with,
// and of one it cannot.
#include <gtest/gtest.h>

#include "client/stages.h"

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

}  // namespace
}  // namespace kestrel
