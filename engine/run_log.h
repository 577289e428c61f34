// The run log: one narrow-text entry per event, appended to RunState::logPath.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/run_state.h"

namespace km {

// The numbers in the entries' tags ("keymason(254)"). They are part of the
// stored log format, which log readers match on: each keeps its value
// whatever code writes the entry.
namespace LogTag {
constexpr std::int32_t kWow64Failure = 52;  // "IsWow64(52)"
constexpr std::int32_t kVersion = 254;      // "keymason(254)"
constexpr std::int32_t kDataPath = 256;     // "keymason(256)"
constexpr std::int32_t kReadError = 258;    // "keymason(258)"
constexpr std::int32_t kOutOfMemory = 260;  // "keymason(260)"
constexpr std::int32_t kPackageRefused = 262;  // "keymason(262)"
}  // namespace LogTag

// The "C" locale conversion: U+0000..U+00FF become the byte of the same value;
// a text with any other character becomes empty as a whole.
std::string NarrowCLocale(TextView text);

// The entry's bytes as formatted, before line feeds are stored as CR LF.
std::string FormatLogEntry(const LocalTime& time, std::string_view source, std::int32_t line,
                           std::string_view label, std::string text);

// The bytes stored in the file for an entry: each LF becomes CR LF.
std::string ToStoredBytes(std::string_view entry);

// Where the entries go: a file, appended to; an empty path keeps no log.
struct LogSink {
    Text path;
};

void WriteLogEntry(Platform& sys, const LogSink& log, std::string_view source, std::int32_t line,
                   std::string_view label, std::string text);
void LogNamedValue(Platform& sys, const LogSink& log, TextView label, TextView text, std::int32_t line);
// The same, to the shell's log path.
void WriteLogEntry(Platform& sys, const RunState& state, std::string_view source,
                   std::int32_t line, std::string_view label, std::string text);
void LogNamedValue(Platform& sys, const RunState& state, TextView label, TextView text,
                   std::int32_t line);
void LogWow64Failure(Platform& sys, const RunState& state, std::uint32_t lastError);

}  // namespace km
