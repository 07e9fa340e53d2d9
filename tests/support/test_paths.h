// Inside the test support only: where temporary directories are made.
#pragma once

#include <filesystem>

namespace kestrel::test {

// The directory TempDir creates its directories in.
std::filesystem::path TemporaryBase();

}  // namespace kestrel::test
