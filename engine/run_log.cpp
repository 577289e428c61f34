#include "engine/run_log.h"

#include <cstdio>
#include <utility>

namespace km {

namespace {

constexpr std::size_t kTagWidth = 30;

// The entry texts are C strings: whatever follows a NUL is not part of them.
std::string_view UpToNul(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

std::string Timestamp(const LocalTime& t) {
    char buffer[96];  // six ints with their punctuation always fit
    std::snprintf(buffer, sizeof buffer, "[%04d-%02d-%02d %02d:%02d:%02d]", t.year, t.month,
                  t.day, t.hour, t.minute, t.second);
    return buffer;
}

// The tag "%s(%d)", padded with spaces to at least 30 characters.
std::string PaddedTag(std::string_view source, std::int32_t line) {
    std::string tag(source);
    tag += '(';
    tag += std::to_string(line);
    tag += ')';
    if (tag.size() < kTagWidth) tag.append(kTagWidth - tag.size(), ' ');
    return tag;
}

}  // namespace

std::string NarrowCLocale(TextView text) {
    std::string narrow;
    narrow.reserve(text.size());
    for (char16_t unit : text) {
        if (unit > 0xFF) return std::string();
        narrow.push_back(static_cast<char>(static_cast<unsigned char>(unit)));
    }
    return narrow;
}

std::string FormatLogEntry(const LocalTime& time, std::string_view source, std::int32_t line,
                           std::string_view label, std::string text) {
    source = UpToNul(source);
    label = UpToNul(label);
    text.resize(UpToNul(text).size());

    if (text == "EMPTYLINE") return "\n";
    if (text == "EMPTYSTRING") return Timestamp(time) + "\r\n";

    // An entry is one line, whatever the text holds.
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';

    std::string entry = Timestamp(time);
    entry += ' ';
    entry += PaddedTag(source, line);
    entry += ' ';
    if (!label.empty()) {
        entry += '[';
        entry += label;
        entry += "] ";
    }
    entry += text;
    entry += "\r\n";
    return entry;
}

std::string ToStoredBytes(std::string_view entry) {
    std::string stored;
    stored.reserve(entry.size() + 2);
    for (char c : entry) {
        if (c == '\n') stored += '\r';
        stored += c;
    }
    return stored;
}

namespace {

void WriteEntryAt(Platform& sys, const Text& path, std::string_view source, std::int32_t line,
                  std::string_view label, std::string text) {
    if (path.empty()) return;
    const LocalTime now = sys.GetLocalTime();
    const std::string entry = FormatLogEntry(now, source, line, label, std::move(text));
    // A log that cannot be written only loses the entry.
    sys.AppendToFile(path, ToStoredBytes(entry));
}

}  // namespace

void WriteLogEntry(Platform& sys, const LogSink& log, std::string_view source, std::int32_t line,
                   std::string_view label, std::string text) {
    WriteEntryAt(sys, log.path, source, line, label, std::move(text));
}

void LogNamedValue(Platform& sys, const LogSink& log, TextView label, TextView text, std::int32_t line) {
    WriteLogEntry(sys, log, "keymason", line, NarrowCLocale(label), NarrowCLocale(text));
}

void WriteLogEntry(Platform& sys, const RunState& state, std::string_view source,
                   std::int32_t line, std::string_view label, std::string text) {
    WriteEntryAt(sys, state.logPath, source, line, label, std::move(text));
}

void LogNamedValue(Platform& sys, const RunState& state, TextView label, TextView text,
                   std::int32_t line) {
    WriteLogEntry(sys, state, "keymason", line, NarrowCLocale(label), NarrowCLocale(text));
}

void LogWow64Failure(Platform& sys, const RunState& state, std::uint32_t lastError) {
    char label[32];
    std::snprintf(label, sizeof label, "Error code: 0x%08X", static_cast<unsigned>(lastError));
    WriteLogEntry(sys, state, "IsWow64", LogTag::kWow64Failure, label, "Call IsWow64Process function failed.");
}

}  // namespace km
