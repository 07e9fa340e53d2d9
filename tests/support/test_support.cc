// The helpers every system shares: temporary directories, files and hex.
#include "support/test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "support/test_paths.h"

namespace kestrel::test {

namespace fs = std::filesystem;

fs::path PathOf(const std::string& text) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

std::string TextOf(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

TempDir::TempDir() {
    const fs::path base = TemporaryBase();
    std::random_device seed;
    std::mt19937_64 generator(seed());
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = "kestrel-test-";
        for (int i = 0; i < 8; ++i) name += kLetters[generator() % (sizeof kLetters - 1)];
        std::error_code error;
        const fs::path candidate = base / name;
        if (fs::create_directory(candidate, error)) {
            path_ = TextOf(candidate.lexically_normal());
            if (path_.size() > 1 && path_.back() == kNativeSeparator) path_.pop_back();
            return;
        }
        if (error) throw std::runtime_error("cannot create " + TextOf(candidate) + ": " + error.message());
    }
    throw std::runtime_error("no free name for a temporary directory");
}

TempDir::~TempDir() { RemoveTree(path_); }

std::string TempDir::operator/(const std::string& relative) const {
    return path_ + kNativeSeparator + NativePath(relative);
}

std::string NativePath(const std::string& text) {
    std::string native = text;
    if (kNativeSeparator != '/') {
        for (char& c : native)
            if (c == '/') c = kNativeSeparator;
    }
    return native;
}

std::string PrintedLines(const std::string& text) {
    std::string printed;
    for (char c : text) {
        if (c == '\n')
            printed += kPrintedLineEnd;
        else
            printed += c;
    }
    return printed;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    const fs::path target = PathOf(path);
    if (target.has_parent_path()) fs::create_directories(target.parent_path());
    std::ofstream stream(target, std::ios::binary | std::ios::trunc);
    if (!stream) throw std::runtime_error("cannot write " + path);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
    std::ifstream stream(PathOf(path), std::ios::binary);
    if (!stream) throw std::runtime_error("cannot read " + path);
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}

bool FileExists(const std::string& path) {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(PathOf(path), ignored));
}

EnvironmentOverride::EnvironmentOverride(const std::string& name, const std::string& value) : name_(name) {
    if (const char* saved = std::getenv(name.c_str())) {
        wasSet_ = true;
        saved_ = saved;
    }
    SetEnvironment(name, value);
}

EnvironmentOverride::~EnvironmentOverride() {
    if (wasSet_)
        SetEnvironment(name_, saved_);
    else
        UnsetEnvironment(name_);
}

std::string Hex(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        if (!text.empty()) text += ' ';
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

}  // namespace kestrel::test
