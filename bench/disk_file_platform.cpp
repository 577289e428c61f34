#include "bench/disk_file_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/text.h"

namespace km {

FileContents DiskFilePlatform::ReadWholeFile(const Text& path, std::uint64_t limit) {
    FileContents contents;
    const int fd = ::open(ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return contents;
    struct stat about {};
    if (::fstat(fd, &about) != 0 || !S_ISREG(about.st_mode)) {
        ::close(fd);
        return contents;
    }
    if (std::uint64_t(about.st_size) > limit) {
        contents.status = FileReadStatus::TooLarge;
        ::close(fd);
        return contents;
    }
    // Sized once from the file: the buffer is never regrown and copied.
    contents.bytes.resize(std::size_t(about.st_size));
    std::size_t got = 0;
    while (got < contents.bytes.size()) {
        const ssize_t n = ::read(fd, &contents.bytes[got], contents.bytes.size() - got);
        if (n < 0) {
            contents.bytes.resize(got);
            contents.status = FileReadStatus::ReadError;
            ::close(fd);
            return contents;
        }
        if (n == 0) break;
        got += std::size_t(n);
    }
    contents.bytes.resize(got);
    contents.status = FileReadStatus::Read;
    ::close(fd);
    return contents;
}

}  // namespace km
