#include "engine/package_file.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "engine/record_parser.h"
#include "engine/utf8_decode.h"

namespace km {

namespace {

// The text of a package: after a byte-order mark, which decides the
// encoding (UTF-8 without one), up to the end; an odd last byte of UTF-16
// is no unit.
struct Layout {
    std::size_t body;
    std::size_t end;
    bool utf16;
    std::size_t Unit() const { return utf16 ? 2 : 1; }
};

Layout LayoutOf(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() >= 2 && data[0] == 0xFF && data[1] == 0xFE)
        return {2, 2 + (bytes.size() - 2) / 2 * 2, true};
    if (bytes.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF)
        return {3, bytes.size(), false};
    return {0, bytes.size(), false};
}

// Calls onLine(from, to) for each line in file order, [from, to) holding its
// line end (LF, one unit). A last line without LF is a line, unless
// completeLinesOnly: after a read error it may have been cut anywhere.
template <class OnLine>
void ForEachLine(std::string_view bytes, const Layout& text, bool completeLinesOnly, OnLine onLine) {
    const char* data = bytes.data();
    const std::size_t end = text.end;
    auto nextLf = [&](std::size_t from) -> std::size_t {  // offset just past the next LF, or 0
        if (!text.utf16) {
            const void* lf = std::memchr(data + from, '\n', end - from);
            return lf ? std::size_t(static_cast<const char*>(lf) - data) + 1 : 0;
        }
        for (std::size_t at = from; at + 2 <= end; at += 2)
            if (data[at] == '\n' && data[at + 1] == 0) return at + 2;
        return 0;
    };
    for (std::size_t pos = text.body; pos < end;) {
        const std::size_t next = nextLf(pos);
        if (next == 0 && completeLinesOnly) return;
        const std::size_t to = next == 0 ? end : next;
        onLine(pos, to);
        pos = to;
    }
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

// A line's text into `buffer`. Invalid UTF-8 becomes U+FFFD per bad sequence.
TextView DecodeLine(std::string_view line, bool utf16, LineBuffer& buffer, FirstBadByte* firstBad = nullptr) {
    const auto* data = reinterpret_cast<const unsigned char*>(line.data());
    if (!utf16) {
        char16_t* out = buffer.Room(line.size());
        return TextView(out, DecodeUtf8(data, line.size(), out, firstBad));
    }
    const std::size_t units = line.size() / 2;
    char16_t* out = buffer.Room(units);
    for (std::size_t k = 0; k < units; ++k) out[k] = char16_t(data[2 * k] | (data[2 * k + 1] << 8));
    return TextView(out, units);
}

}  // namespace

void SplitPackageLines(std::string_view bytes, const std::function<void(TextView)>& onLine) {
    const Layout text = LayoutOf(bytes);
    LineBuffer buffer;
    ForEachLine(bytes, text, false, [&](std::size_t from, std::size_t to) {
        onLine(DecodeLine(WithoutLineEnd(bytes.substr(from, to - from), text.Unit()), text.utf16, buffer));
    });
}

PackageLines PackageLines::Index(std::string bytes, bool completeLinesOnly, std::uint8_t& targetGroups) {
    auto owned = std::make_unique<const std::string>(std::move(bytes));
    PackageLines lines = IndexOf(*owned, completeLinesOnly, targetGroups);
    lines.owned_ = std::move(owned);
    return lines;
}

PackageLines PackageLines::Borrowing(std::string_view bytes, std::uint8_t& targetGroups) {
    return IndexOf(bytes, false, targetGroups);
}

PackageLines PackageLines::IndexOf(std::string_view all, bool completeLinesOnly, std::uint8_t& targetGroups) {
    PackageLines lines;
    lines.bytes_ = all;
    const Layout text = LayoutOf(all);
    lines.utf16_ = text.utf16;
    lines.markBytes_ = text.body;
    lines.unreadBytes_ = all.size() - text.end;

    // Counted first, so the list is allocated once at its size.
    std::size_t count = 0;
    ForEachLine(all, text, completeLinesOnly, [&](std::size_t, std::size_t) { ++count; });
    lines.starts_.reserve(count + 1);

    // The profiles the pass will need are known before any record is decoded:
    // UTF-8 lines are looked at as bytes; UTF-16 ones are decoded first.
    LineBuffer buffer;
    std::size_t last = text.body;
    ForEachLine(all, text, completeLinesOnly, [&](std::size_t from, std::size_t to) {
        lines.starts_.push_back(from);
        last = to;
        // An OR that holds every bit a line can give cannot grow.
        if (targetGroups == (targetGroups | kAllLineTargetGroups)) return;
        const std::string_view line = WithoutLineEnd(all.substr(from, to - from), text.Unit());
        targetGroups |= text.utf16 ? LineTargetGroups(DecodeLine(line, true, buffer)) : LineTargetGroups(line);
    });
    lines.starts_.push_back(last);
    for (std::size_t i = 1; i < lines.size(); ++i)
        if (lines.starts_[i + 1] - lines.starts_[i] > lines.LongestBytes()) lines.longest_ = i;
    return lines;
}

TextView PackageLines::Line(std::size_t i, LineBuffer& buffer, FirstBadByte* firstBad) const {
    const std::string_view line = bytes_.substr(starts_[i], starts_[i + 1] - starts_[i]);
    return DecodeLine(WithoutLineEnd(line, utf16_ ? 2 : 1), utf16_, buffer, firstBad);
}

const PackageRecord& RecordReader::Read(std::size_t i, FirstBadByte* firstBad) {
    std::uint8_t groups = 0;  // known already, from reading the file
    text_ = lines_.Line(i, line_, firstBad);
    ParseRecordLine(text_, record_, groups);
    return record_;
}

void RecordReader::Prepare() {
    if (lines_.empty()) return;
    // A value's bytes never exceed two for each unit of its line, plus a
    // terminator.
    record_.data.reserve(2 * (lines_.LongestBytes() + 1));
    text_ = lines_.Line(lines_.Longest(), line_);
    std::uint8_t groups = 0;
    ParseRecordLine(text_, record_, groups);
}

RecordList DecodeAll(const PackageLines& lines) {
    RecordList records;
    RecordReader reader(lines);
    for (std::size_t i = 0; i < lines.size(); ++i) records.push_back(reader.Read(i));
    return records;
}

PackageContents ParsePackage(std::string_view bytes) {
    PackageContents contents;
    contents.lines = PackageLines::Borrowing(bytes, contents.targetGroups);
    contents.result = PackageReadResult::Opened;
    return contents;
}

PackageContents ReadPackageFile(Platform& sys, const Text& path) {
    return IndexPackageFile(sys.ReadWholeFile(path, kNoSizeLimit));
}

PackageContents IndexPackageFile(FileContents file) {
    if (file.status == FileReadStatus::NotOpened) return PackageContents();

    const bool readWhole = file.status == FileReadStatus::Read;
    PackageContents contents;
    contents.lines = PackageLines::Index(std::move(file.bytes), !readWhole, contents.targetGroups);
    contents.result = readWhole ? PackageReadResult::Opened : PackageReadResult::ReadError;
    return contents;
}

}  // namespace km
