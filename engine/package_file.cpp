#include "engine/package_file.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "engine/record_parser.h"
#include "engine/utf8_decode.h"

namespace km {

namespace {

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

}  // namespace

void SplitPackageLines(std::string_view bytes, const std::function<void(TextView)>& onLine) {
    SplitLines(bytes, false, onLine);
}

namespace {

struct Layout {
    std::size_t body;  // after the byte-order mark
    bool utf16;
};

Layout LayoutOf(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() >= 2 && data[0] == 0xFF && data[1] == 0xFE) return {2, true};
    if (bytes.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) return {3, false};
    return {0, false};
}

// Where each line of the text [body, end) starts, plus where the last ends;
// the unit is 1 or 2 bytes. A line end is LF (as one unit).
template <class OnLine>
std::vector<std::size_t> LineStarts(std::string_view bytes, std::size_t body, std::size_t end,
                                    bool utf16, bool completeLinesOnly, OnLine onLine) {
    const char* data = bytes.data();
    auto nextLf = [&](std::size_t from) -> std::size_t {  // offset just past the next LF, or 0
        if (!utf16) {
            const void* lf = std::memchr(data + from, '\n', end - from);
            return lf ? std::size_t(static_cast<const char*>(lf) - data) + 1 : 0;
        }
        for (std::size_t at = from; at + 2 <= end; at += 2)
            if (data[at] == '\n' && data[at + 1] == 0) return at + 2;
        return 0;
    };
    // Counted first, so the list is allocated once at its size.
    std::size_t lines = 0;
    for (std::size_t pos = body; pos < end;) {
        const std::size_t next = nextLf(pos);
        if (next == 0 && completeLinesOnly) break;
        ++lines;
        pos = next == 0 ? end : next;
    }
    std::vector<std::size_t> starts;
    starts.reserve(lines + 1);
    std::size_t pos = body;
    for (std::size_t i = 0; i < lines; ++i) {
        starts.push_back(pos);
        const std::size_t next = nextLf(pos);
        onLine(pos, next == 0 ? end : next);
        pos = next == 0 ? end : next;
    }
    starts.push_back(pos);
    return starts;
}

// A line's bytes without its line end: LF, or CR LF. A last line without LF
// keeps a CR it ends with.
std::string_view WithoutLineEnd(std::string_view line, std::size_t unit) {
    const auto unitAt = [&](std::size_t fromEnd) {
        return line.substr(line.size() - fromEnd * unit, unit);
    };
    const std::string_view lf = unit == 1 ? std::string_view("\n", 1) : std::string_view("\n\0", 2);
    const std::string_view cr = unit == 1 ? std::string_view("\r", 1) : std::string_view("\r\0", 2);
    if (line.size() < unit || unitAt(1) != lf) return line;
    line.remove_suffix(unit);
    if (line.size() >= unit && unitAt(1) == cr) line.remove_suffix(unit);
    return line;
}

}  // namespace

PackageLines PackageLines::Index(std::string bytes, bool completeLinesOnly,
                                 std::uint8_t& targetGroups) {
    PackageLines lines;
    lines.bytes_ = std::move(bytes);
    const Layout layout = LayoutOf(lines.bytes_);
    lines.utf16_ = layout.utf16;
    const std::string_view all(lines.bytes_);
    std::size_t end = all.size();
    if (layout.utf16) end = layout.body + (end - layout.body) / 2 * 2;  // an odd last byte is no unit

    // The profiles the pass will need are known before any record is decoded:
    // UTF-8 lines are looked at as bytes; UTF-16 ones are decoded first.
    LineBuffer buffer;
    const std::size_t unit = layout.utf16 ? 2 : 1;
    lines.starts_ = LineStarts(all, layout.body, end, layout.utf16, completeLinesOnly,
                               [&](std::size_t from, std::size_t to) {
        // An OR that holds every bit a line can give cannot grow.
        if (targetGroups == (targetGroups | kAllLineTargetGroups)) return;
        const std::string_view line = WithoutLineEnd(all.substr(from, to - from), unit);
        if (!layout.utf16) {
            targetGroups |= LineTargetGroups(line);
            return;
        }
        char16_t* out = buffer.Room(line.size() / 2);
        for (std::size_t i = 0; i < line.size() / 2; ++i)
            out[i] = char16_t(static_cast<unsigned char>(line[2 * i]) |
                              (static_cast<unsigned char>(line[2 * i + 1]) << 8));
        targetGroups |= LineTargetGroups(TextView(out, line.size() / 2));
    });
    for (std::size_t i = 1; i + 1 < lines.starts_.size(); ++i)
        if (lines.starts_[i + 1] - lines.starts_[i] > lines.starts_[lines.longest_ + 1] - lines.starts_[lines.longest_])
            lines.longest_ = i;
    return lines;
}

TextView PackageLines::Line(std::size_t i, LineBuffer& buffer) const {
    const std::size_t unit = utf16_ ? 2 : 1;
    const std::string_view line =
        WithoutLineEnd(std::string_view(bytes_).substr(starts_[i], starts_[i + 1] - starts_[i]), unit);
    const auto* data = reinterpret_cast<const unsigned char*>(line.data());
    if (!utf16_) {
        char16_t* out = buffer.Room(line.size());
        return TextView(out, DecodeUtf8(data, line.size(), out));
    }
    const std::size_t units = line.size() / 2;
    char16_t* out = buffer.Room(units);
    for (std::size_t k = 0; k < units; ++k) out[k] = char16_t(data[2 * k] | (data[2 * k + 1] << 8));
    return TextView(out, units);
}

const PackageRecord& RecordReader::Read(std::size_t i) {
    std::uint8_t groups = 0;  // known already, from reading the file
    ParseRecordLine(lines_.Line(i, line_), record_, groups);
    return record_;
}

void RecordReader::Prepare() {
    if (lines_.empty()) return;
    // A value's bytes never exceed two for each unit of its line, plus a
    // terminator.
    record_.data.reserve(2 * (lines_.LongestBytes() + 1));
    const TextView longest = lines_.Line(lines_.Longest(), line_);
    std::uint8_t groups = 0;
    ParseRecordLine(longest, record_, groups);
}

RecordList DecodeAll(const PackageLines& lines) {
    RecordList records;
    RecordReader reader(lines);
    for (std::size_t i = 0; i < lines.size(); ++i) records.push_back(reader.Read(i));
    return records;
}

PackageContents ParsePackage(std::string_view bytes) {
    PackageContents contents;
    contents.lines = PackageLines::Index(std::string(bytes), false, contents.targetGroups);
    contents.result = PackageReadResult::Opened;
    return contents;
}

PackageContents ReadPackageFile(Platform& sys, const Text& path) {
    FileContents file = sys.ReadWholeFile(path);
    if (file.status == FileReadStatus::NotOpened) return PackageContents();

    const bool readWhole = file.status == FileReadStatus::Read;
    PackageContents contents;
    contents.lines = PackageLines::Index(std::move(file.bytes), !readWhole, contents.targetGroups);
    contents.result = readWhole ? PackageReadResult::Opened : PackageReadResult::ReadError;
    return contents;
}

}  // namespace km
