#include "toolkit/file_io.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/text.h"
#include "toolkit/tool_environment.h"

namespace km::toolkit {

namespace {

std::filesystem::path PathOf(const Text& path) {
#ifdef _WIN32
    return std::filesystem::path(std::wstring(path.begin(), path.end()));
#else
    return std::filesystem::path(ToUtf8(path));
#endif
}

// Where a path leads once its links are followed; the path itself when it is
// no link, and the last link's target when that does not exist yet.
std::filesystem::path Followed(std::filesystem::path path) {
    std::error_code error;
    for (int hops = 0; hops < 40 && std::filesystem::is_symlink(path, error); ++hops) {
        const std::filesystem::path next = std::filesystem::read_symlink(path, error);
        if (error) break;
        path = next.is_absolute() ? next : path.parent_path() / next;
    }
    return path;
}

bool WriteInPlace(const std::filesystem::path& target, const std::string& bytes) {
    std::ofstream out(target, std::ios::binary);
    if (!out) return false;
    out.write(bytes.data(), std::streamsize(bytes.size()));
    out.flush();
    return !out.fail();
}

}  // namespace

bool WriteFileThrough(const Text& path, const std::string& bytes) { return WriteInPlace(PathOf(path), bytes); }

bool SameFile(const Text& a, const Text& b) {
    std::error_code error;
    const bool same = std::filesystem::equivalent(PathOf(a), PathOf(b), error);
    if (!error) return same;
    std::error_code leftError, rightError;
    const std::filesystem::path left = std::filesystem::weakly_canonical(Followed(PathOf(a)), leftError);
    const std::filesystem::path right = std::filesystem::weakly_canonical(Followed(PathOf(b)), rightError);
    if (leftError || rightError) return false;
#ifdef _WIN32
    const std::wstring l = left.wstring(), r = right.wstring();
    return EqualsIgnoreAsciiCase(Text(l.begin(), l.end()), Text(r.begin(), r.end()));
#else
    return left == right;
#endif
}

const Text* OutputOverwritesInput(const ToolEnvironment& env, const Text& output,
                                  const std::vector<const Text*>& inputs) {
    for (const Text* input : inputs)
        if (input && (env.sameFile ? env.sameFile(output, *input) : EqualsIgnoreAsciiCase(output, *input)))
            return input;
    return nullptr;
}

bool ReadFileBytes(const Text& path, std::string* bytes) {
    std::error_code error;
    if (std::filesystem::is_directory(PathOf(path), error)) return false;
    std::ifstream in(PathOf(path), std::ios::binary);
    if (!in) return false;
    // Held once, at its size: a large input is never copied or doubled on
    // its way in. A pipe or device has no size and grows as it is read.
    bytes->clear();
    const std::uintmax_t size = std::filesystem::file_size(PathOf(path), error);
    if (!error && size >= bytes->max_size()) return false;  // more than one string can hold here
    if (!error) bytes->reserve(std::size_t(size));
    char chunk[1 << 16];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) bytes->append(chunk, std::size_t(in.gcount()));
    return !in.bad();
}

// Written beside the target and renamed over it, so that a failed or cut-off
// write never leaves a partial file where a whole one is expected.
bool WriteFileBytes(const Text& path, const std::string& bytes) {
    const std::filesystem::path target = Followed(PathOf(path));
    std::error_code status;
    const std::filesystem::file_status kind = std::filesystem::status(target, status);
    if (!status && std::filesystem::exists(kind) && !std::filesystem::is_regular_file(kind) &&
        !std::filesystem::is_directory(kind))
        return WriteInPlace(target, bytes);
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
