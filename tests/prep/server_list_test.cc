// The ssh destination rule of KV_SSH_SERVER_LIST, reading the variable, and
// the line of ssh's standard error that a failure shows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "prep/preparation.h"
#include "prep/ssh_failure_text.h"

namespace kestrel::test {
namespace {

std::string Destination(const char* list, const char* host) {
    const uint32_t length = PreparationThread::SshDestination(list, host, nullptr, 0);
    std::string out(length + 1, '?');
    EXPECT_EQ(PreparationThread::SshDestination(list, host, out.data(), length + 1), length);
    EXPECT_EQ(out[length], '\0');
    out.resize(length);
    return out;
}

TEST(SshDestination, FirstEntryWhoseHostMatchesExactly) {
    struct Case {
        const char* list;  // null: the variable is not set
        const char* host;
        const char* destination;
    };
    const Case cases[] = {
        {"alice@build1;bob@build2", "build2", "bob@build2"},
        {"alice@build1;bob@build2", "build1", "alice@build1"},
        {"alice@build1;bob@build2", "build3", "build3"},
        {"alice@build1:bob@build2", "build2", "bob@build2"},    // ':' separates too
        {"alice@build1;bob@build1", "build1", "alice@build1"},  // the first match wins
        {"build2;bob@build2", "build2", "bob@build2"},          // no at sign: skipped
        {"build2", "build2", "build2"},
        {"alice@Build2", "build2", "build2"},                   // case counts
        {"alice@build22;bob@build", "build2", "build2"},        // whole host only
        {"alice@build2x;bob@xbuild2", "build2", "build2"},
        {"", "build2", "build2"},
        {";;alice@build2;", "build2", "alice@build2"},          // empty entries
        {"a@b@build2", "build2", "a@b@build2"},                 // the last at sign counts, as for ssh
        {nullptr, "build2", "build2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.list ? c.list : "(absent)") + " / " + c.host);
        EXPECT_EQ(Destination(c.list, c.host), c.destination);
    }
}

TEST(SshDestination, ShortRoomIsCutAndTerminated) {
    char out[5] = {'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(PreparationThread::SshDestination("alice@build1", "build1", out, sizeof out), 12u);
    EXPECT_STREQ(out, "alic");
    EXPECT_EQ(PreparationThread::SshDestination("alice@build1", "build1", nullptr, 0), 12u);
}

TEST(ServerList, ReadOnceAndReleased) {
    PreparationQueue queue;
    int32_t error = 0;
    unsetenv("KV_SSH_SERVER_LIST");
    ASSERT_TRUE(PreparationThread::ReadServerList(queue, error));
    EXPECT_EQ(queue.serverList, nullptr);

    setenv("KV_SSH_SERVER_LIST", "alice@build1;bob@build2", 1);
    ASSERT_TRUE(PreparationThread::ReadServerList(queue, error));
    ASSERT_NE(queue.serverList, nullptr);
    // A copy: later changes of the environment do not reach it.
    setenv("KV_SSH_SERVER_LIST", "carol@build2", 1);
    EXPECT_STREQ(queue.serverList, "alice@build1;bob@build2");
    PreparationThread::ReleaseServerList(queue);
    EXPECT_EQ(queue.serverList, nullptr);

    setenv("KV_SSH_SERVER_LIST", "", 1);
    ASSERT_TRUE(PreparationThread::ReadServerList(queue, error));
    ASSERT_NE(queue.serverList, nullptr);  // set but empty is not absent
    EXPECT_STREQ(queue.serverList, "");
    PreparationThread::ReleaseServerList(queue);
    unsetenv("KV_SSH_SERVER_LIST");
}

TEST(SshFailureText, LastLineThatSaysSomething) {
    struct Case {
        std::string text;
        std::string line;
    };
    const Case cases[] = {
        {"root@localhost: Permission denied (publickey).\r\n", "root@localhost: Permission denied (publickey)."},
        {"Warning: added.\nssh: connect to host h port 22: Connection refused\n\n  \n",
         "ssh: connect to host h port 22: Connection refused"},
        {"no line end", "no line end"},
        {"  padded  \n", "padded"},
        {"\n\n \r\n", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t length = 99;
        const char* line =
            preparation::LastNonEmptyLine(c.text.data(), static_cast<uint32_t>(c.text.size()), length);
        EXPECT_EQ(std::string(line, length), c.line);
    }
}

}  // namespace
}  // namespace kestrel::test
