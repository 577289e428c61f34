#include "toolkit/file_io.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/text.h"

namespace km::toolkit {

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

// Written beside the target and renamed over it, so that a failed or cut-off
// write never leaves a partial file where a whole one is expected.
int WriteOutputsAndExit(const std::string& out, std::string err, int code, const char* tool) {
    const bool written = std::fwrite(out.data(), 1, out.size(), stdout) == out.size();
    if (std::fflush(stdout) != 0 || !written || std::ferror(stdout)) {
        err += std::string(tool) + ": standard output cannot be written\n";
        code = 3;
    }
    std::fwrite(err.data(), 1, err.size(), stderr);
    std::fflush(stderr);
    return code;
}

bool WriteFileBytes(const Text& path, const std::string& bytes) {
    const std::filesystem::path target = PathOf(path);
    std::filesystem::path temporary = target;
    temporary += ".keymason-tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(bytes.data(), std::streamsize(bytes.size()));
        out.close();
        if (out.fail()) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, target, error);
    if (error) {
        // Where a rename does not replace an existing file.
        std::error_code ignored;
        if (std::filesystem::is_regular_file(target, ignored)) {
            std::filesystem::remove(target, ignored);
            error.clear();
            std::filesystem::rename(temporary, target, error);
        }
    }
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return false;
    }
    return true;
}

}  // namespace km::toolkit
