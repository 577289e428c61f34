// The .reg file format, both versions: "Windows Registry Editor Version 5.00"
// and "REGEDIT4". Reading (reg_reader.cpp) takes what `reg import` takes and
// gives the file's sections in file order; writing produces what `reg export`
// writes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/memory/memory_platform.h"

namespace km::toolkit {

// Roots a .reg file may name besides those the engine writes.
constexpr RegKey kHkeyCurrentUser = 0x80000001u;
constexpr RegKey kHkeyCurrentConfig = 0x80000005u;

// The roots a .reg file names, by full name or abbreviation (ASCII case
// ignored); the writer uses the full name.
struct RegRootName {
    TextView name;
    TextView abbreviation;
    RegKey root;
};
inline constexpr RegRootName kRegRoots[] = {
    {u"HKEY_CLASSES_ROOT", u"HKCR", kHkeyClassesRoot},
    {u"HKEY_CURRENT_USER", u"HKCU", kHkeyCurrentUser},
    {u"HKEY_LOCAL_MACHINE", u"HKLM", kHkeyLocalMachine},
    {u"HKEY_USERS", u"HKU", kHkeyUsers},
    {u"HKEY_CURRENT_CONFIG", u"HKCC", kHkeyCurrentConfig},
};

// How value data is introduced: a quoted string (REG_SZ), a DWORD, binary,
// and any other type by its number, "hex(N):".
inline constexpr TextView kRegDwordData = u"dword:";
inline constexpr TextView kRegBinaryData = u"hex:";
inline constexpr TextView kRegTypedDataOpen = u"hex(";
inline constexpr TextView kRegTypedDataClose = u"):";

struct RegFileValue {
    Text name;            // empty: the key's default value ("@")
    bool remove = false;  // "name"=-
    StoredValue value;
    int line = 0;         // where it starts; 0 for written values
};

struct RegFileSection {
    int line = 0;          // where its header stands; 0 for written sections
    RegKey root = 0;
    Text rootName;         // as written in the file
    Text path;             // below the root, no leading or trailing backslash
    bool remove = false;   // [-KEY]
    std::vector<RegFileValue> values;
};

struct RegFileError {
    int line = 0;  // 0: the file as a whole
    std::string message;
    bool readAltered = false;  // in `skipped`: the line is not skipped but read with the change the message names
};

// What reg import does with the file, in its order: each section opens (or
// removes) a key, its values are set or removed in turn.
struct RegFile {
    bool regedit4 = false;
    std::vector<RegFileSection> sections;
    std::vector<RegFileError> skipped;  // lines reg import skips (or reads altered), and why
};

// The file's bytes, as a file holds them: UTF-16LE after its byte-order
// mark, else the ANSI code page (Windows-1252). None, with the reason, when
// reg import refuses the whole file.
std::optional<RegFile> ParseRegFile(std::string_view bytes, RegFileError* error);
// The same; the bytes are let go once decoded, so that a large file is not
// held three times over (bytes, text, sections).
std::optional<RegFile> ParseRegFile(std::string&& bytes, RegFileError* error);

// The registry's spelling of a predefined root; empty for an unknown handle.
Text RootName(RegKey root);

// UTF-16LE with its byte-order mark and CR LF line ends, as `reg export`
// writes version 5 files. Sections and values are written in the order given.
std::string FormatRegFile(const std::vector<RegFileSection>& sections);

// One value's line, without its line end (continuation lines included).
Text FormatRegValue(const Text& name, const StoredValue& value);

}  // namespace km::toolkit
