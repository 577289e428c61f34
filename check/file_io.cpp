#include "check/file_io.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/text.h"

namespace km::check {

namespace {

std::filesystem::path PathOf(const Text& path) {
#ifdef _WIN32
    return std::filesystem::path(std::wstring(path.begin(), path.end()));
#else
    return std::filesystem::path(ToUtf8(path));
#endif
}

}  // namespace

bool ReadFileBytes(const Text& path, std::string* bytes) {
    std::error_code error;
    if (std::filesystem::is_directory(PathOf(path), error)) return false;
    std::ifstream in(PathOf(path), std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return false;
    *bytes = buffer.str();
    return true;
}

bool WriteFileBytes(const Text& path, const std::string& bytes) {
    std::ofstream out(PathOf(path), std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes.data(), std::streamsize(bytes.size()));
    out.close();
    return !out.fail();
}

}  // namespace km::check
