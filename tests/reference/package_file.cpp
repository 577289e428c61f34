// The package reader as it was: every line decoded and parsed into a record
// kept in a list (see reference_pass.h).
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>

#include "engine/utf8_decode.h"
#include "tests/reference/reference_pass.h"

namespace km::reference {

namespace {

// One reused decoding buffer for all lines of a file. Left uninitialised:
// every unit handed out is written before it is read.
class LineBuffer {
public:
    char16_t* Room(std::size_t units) {
        if (capacity_ < units) {
            units_.reset();  // never hold the old and the new buffer at once
            units_.reset(new char16_t[units]);
            capacity_ = units;
        }
        return units_.get();
    }

private:
    std::unique_ptr<char16_t[]> units_;
    std::size_t capacity_ = 0;
};

void SplitUtf8(const unsigned char* data, std::size_t size, bool completeLinesOnly,
               const std::function<void(TextView)>& onLine) {
    LineBuffer buffer;
    std::size_t pos = 0;
    while (pos < size) {
        const void* lf = std::memchr(data + pos, '\n', size - pos);
        if (!lf && completeLinesOnly) return;
        const std::size_t end = lf ? std::size_t(static_cast<const unsigned char*>(lf) - data) : size;
        std::size_t lineEnd = end;
        if (lf && lineEnd > pos && data[lineEnd - 1] == '\r') --lineEnd;
        const std::size_t bytes = lineEnd - pos;
        char16_t* out = buffer.Room(bytes);
        onLine(TextView(out, DecodeUtf8(data + pos, bytes, out)));
        pos = lf ? end + 1 : size;
    }
}

void SplitUtf16Le(const unsigned char* data, std::size_t size, bool completeLinesOnly,
                  const std::function<void(TextView)>& onLine) {
    const std::size_t units = size / 2;  // an odd last byte is no unit
    auto unitAt = [data](std::size_t i) {
        return char16_t(data[2 * i] | (data[2 * i + 1] << 8));
    };
    LineBuffer buffer;
    std::size_t pos = 0;
    while (pos < units) {
        std::size_t end = pos;
        while (end < units && unitAt(end) != u'\n') ++end;
        const bool terminated = end < units;
        if (!terminated && completeLinesOnly) return;
        std::size_t lineEnd = end;
        if (terminated && lineEnd > pos && unitAt(lineEnd - 1) == u'\r') --lineEnd;
        char16_t* out = buffer.Room(lineEnd - pos);
        for (std::size_t i = pos; i < lineEnd; ++i) out[i - pos] = unitAt(i);
        onLine(TextView(out, lineEnd - pos));
        pos = terminated ? end + 1 : units;
    }
}

// completeLinesOnly drops a last line that has no line end: after a read
// error it may have been cut anywhere.
void SplitLines(std::string_view bytes, bool completeLinesOnly,
                const std::function<void(TextView)>& onLine) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
        SplitUtf16Le(data + 2, size - 2, completeLinesOnly, onLine);
    } else if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
        SplitUtf8(data + 3, size - 3, completeLinesOnly, onLine);
    } else {
        SplitUtf8(data, size, completeLinesOnly, onLine);
    }
}

ReferenceContents ParseLines(std::string_view bytes, bool completeLinesOnly) {
    ReferenceContents contents;
    SplitLines(bytes, completeLinesOnly, [&](TextView line) {
        contents.records.push_back(reference::ParseRecordLine(line, contents.targetGroups));
    });
    return contents;
}

}  // namespace

ReferenceContents ReferenceParse(std::string_view bytes) {
    ReferenceContents contents = ParseLines(bytes, false);
    contents.result = PackageReadResult::Opened;
    return contents;
}

ReferenceContents ReferenceReadPackageFile(Platform& sys, const Text& path) {
    const FileContents file = sys.ReadWholeFile(path, kNoSizeLimit);
    if (file.status == FileReadStatus::NotOpened) return ReferenceContents();

    const bool readWhole = file.status == FileReadStatus::Read;
    ReferenceContents contents = ParseLines(file.bytes, !readWhole);
    contents.result = readWhole ? PackageReadResult::Opened : PackageReadResult::ReadError;
    return contents;
}

}  // namespace km::reference
