// Reading a package data file: its bytes held once, its lines found, and
// each line's record decoded only when it is asked for.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/package_record.h"
#include "engine/utf8_decode.h"
#include "platform/platform.h"

namespace km {

enum class PackageReadResult {
    Opened,     // every line was read
    NotOpened,  // no record
    ReadError,  // the file could not be read whole; the lines are those read whole
};

// Room for one decoded line, reused from line to line. Left uninitialised:
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

// Splits the file's bytes into lines of UTF-16 text, in file order. UTF-8 by
// default; a UTF-8 or UTF-16LE byte-order mark decides instead and is not part
// of the first line. Lines end with LF or CR LF; a last line without a line
// end is a line. Invalid UTF-8 becomes U+FFFD per bad sequence.
void SplitPackageLines(std::string_view bytes, const std::function<void(TextView)>& onLine);

// A package's lines, in file order: the file's bytes and where each line
// starts, a few bytes a line. A million records would cost several times the
// file if each were kept decoded.
class PackageLines {
public:
    std::size_t size() const { return starts_.empty() ? 0 : starts_.size() - 1; }
    bool empty() const { return size() == 0; }

    // Line i, without its line end, decoded as SplitPackageLines decodes it,
    // into `buffer`: valid until the buffer is used again. Where firstBad is
    // given, it receives the line's first ill-formed UTF-8 byte, by its
    // offset in the line, if it has one.
    TextView Line(std::size_t i, LineBuffer& buffer, FirstBadByte* firstBad = nullptr) const;

    // The byte-order mark the file began with (0 bytes when none), and the
    // bytes at its end that make no unit (an odd last byte of UTF-16).
    std::size_t MarkBytes() const { return markBytes_; }
    std::size_t UnreadBytes() const { return unreadBytes_; }

    // The longest line's index (0 when there is none): it needs the most
    // room to decode.
    std::size_t Longest() const { return longest_; }
    // Its size in bytes, line end included: no line decodes to more units.
    std::size_t LongestBytes() const {
        return empty() ? 0 : starts_[longest_ + 1] - starts_[longest_];
    }

    // Finds the lines of `bytes`, which it keeps, and ORs the TargetGroups
    // bits of every line into targetGroups. completeLinesOnly drops a last
    // line without a line end (after a read error it may be cut anywhere).
    static PackageLines Index(std::string bytes, bool completeLinesOnly, std::uint8_t& targetGroups);
    // The same over bytes the caller keeps for as long as the lines are read:
    // a package a tool holds is not held twice.
    static PackageLines Borrowing(std::string_view bytes, std::uint8_t& targetGroups);

private:
    static PackageLines IndexOf(std::string_view bytes, bool completeLinesOnly, std::uint8_t& targetGroups);

    std::unique_ptr<const std::string> owned_;  // where the bytes are the lines' own; never moves as they do
    std::string_view bytes_;
    bool utf16_ = false;
    std::size_t markBytes_ = 0;
    std::size_t unreadBytes_ = 0;
    std::size_t longest_ = 0;
    // Offsets into bytes_: line i is [starts_[i], starts_[i + 1]), line end
    // included; the last entry ends the last line.
    std::vector<std::size_t> starts_;
};

// Decodes the records of a package one at a time, into one record whose
// buffers are reused from line to line.
class RecordReader {
public:
    explicit RecordReader(const PackageLines& lines) : lines_(lines) {}
    // The record of line i, valid until the next call; firstBad as
    // PackageLines::Line gives it.
    const PackageRecord& Read(std::size_t i, FirstBadByte* firstBad = nullptr);
    // The text of the line last read, valid until the next call.
    TextView LineText() const { return text_; }
    // Takes the room the largest line and value need up front, so that a
    // package too large to decode fails before the first change rather than
    // part way: the line buffer, a value buffer no line's value can outgrow,
    // and the longest line's texts.
    void Prepare();

private:
    const PackageLines& lines_;
    LineBuffer line_;
    TextView text_;
    PackageRecord record_;
};

// What was read from a package.
struct PackageContents {
    PackageReadResult result = PackageReadResult::NotOpened;
    PackageLines lines;             // one record per line
    std::uint8_t targetGroups = 0;  // TargetGroups bits that the per-user lines ask for
};

// Every record decoded and kept, for tools and tests that hold small
// packages whole; the pass reads records one at a time instead.
RecordList DecodeAll(const PackageLines& lines);

// Every line of a package held whole in memory (result Opened). The bytes
// stay the caller's and must outlive what is returned.
PackageContents ParsePackage(std::string_view bytes);

// The package file at path. The whole file is read before any record is
// decoded.
PackageContents ReadPackageFile(Platform& sys, const Text& path);

// The lines of a file already read (ReadWholeFile), as ReadPackageFile finds them.
PackageContents IndexPackageFile(FileContents file);

}  // namespace km
