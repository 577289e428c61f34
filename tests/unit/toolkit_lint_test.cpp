#include <gtest/gtest.h>

#include "toolkit/lint.h"
#include "toolkit/text_codec.h"

namespace km::toolkit {
namespace {

std::string Line(std::initializer_list<std::string> fields) {
    std::string line;
    for (const std::string& field : fields) {
        if (!line.empty() || &field != fields.begin()) line += "*@*";
        line += field;
    }
    return line;
}

// A machine value line with one field replaced: 1-based field, text.
std::string Machine(int field, const std::string& text, const std::string& type = "REG_SZ") {
    std::vector<std::string> f = {"1", "HKEY_LOCAL_MACHINE\\SOFTWARE", "Vendor\\Tool", "", "Name", type,
                                  "All Users", "data", ""};
    f[std::size_t(field) - 1] = text;
    std::string line;
    for (std::size_t i = 0; i < f.size(); ++i) line += (i ? "*@*" : "") + f[i];
    return line;
}

std::string PerUser(const std::string& target, const std::string& key = "Software\\Vendor") {
    return Line({"1", "HKEY_CURRENT_USER", key, "", "Name", "REG_SZ", target, "data", ""});
}

// "LINE:FIELD: severity: text" for each finding.
std::vector<std::string> Lint(const std::string& package) {
    std::vector<std::string> out;
    for (const Finding& d : LintPackage(package)) {
        const std::string full = FormatFinding("p", d);
        out.push_back(full.substr(2));
    }
    return out;
}

std::string Joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) out += item + "\n";
    return out;
}

TEST(LintTest, EveryRuleTripsOnItsLineAndNotOnItsNearMiss) {
    struct Case {
        const char* rule;
        std::string package;
        std::vector<std::string> expected;  // each a prefix of one finding, in order
    } cases[] = {
        {"clean machine line", Machine(8, "0x0000000A", "REG_DWORD"), {}},
        {"machine root in other case", Machine(2, "HKEY_LOCAL_MACHINE\\Software"),
         {"1:2: error: root \"HKEY_LOCAL_MACHINE\\Software\" is not one of the three machine roots"}},
        {"machine root without its subtree", Machine(2, "HKEY_LOCAL_MACHINE"),
         {"1:2: error: root \"HKEY_LOCAL_MACHINE\" is not one of the three machine roots"}},
        {"some other root", Machine(2, "Computer"),
         {"1:2: warning: root \"Computer\" is not one of the three machine roots (HKEY_CLASSES_ROOT, "
          "HKEY_LOCAL_MACHINE\\SOFTWARE, HKEY_LOCAL_MACHINE\\SYSTEM, matched in exact case): the line is per-user and is "
          "written below HKEY_USERS for each targeted profile"}},
        {"NEL and line separator in a root shown by code", Machine(2, "Comp\xC2\x85uter\xE2\x80\xA8"),
         {"1:2: warning: root \"Comp\\x85uter\\u2028\" is not one of the three machine roots"}},
        {"near miss: the per-user root", PerUser("All Users"), {}},
        {"near miss: classes root", Machine(2, "HKEY_CLASSES_ROOT"), {}},

        {"key over 250 below SOFTWARE", Machine(3, std::string(251, 'k')),
         {"1:3: error: key field is 251 characters long; the format allows at most 250 for "
          "HKEY_LOCAL_MACHINE\\SOFTWARE"}},
        {"near miss: key of 250", Machine(3, std::string(250, 'k')), {}},
        {"key over 252 below SYSTEM",
         Machine(2, "HKEY_LOCAL_MACHINE\\SYSTEM") .replace(Machine(2, "HKEY_LOCAL_MACHINE\\SYSTEM").find("Vendor\\Tool"), 11, std::string(253, 'k')),
         {"1:3: error: key field is 253 characters long; the format allows at most 252"}},
        {"per-user key over 259 after the classes prefix", PerUser("All Users", "Software\\Classes\\" + std::string(260, 'k')),
         {"1:3: error: key field is 260 characters long; the format allows at most 259"}},
        {"near miss: classes prefix does not count", PerUser("All Users", "Software\\Classes\\" + std::string(259, 'k')), {}},
        {"key-only field over 31", Machine(4, std::string(32, 'x')),
         {"1:4: error: key-only field \"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\" is 32 characters long; the format allows at most 31"}},
        {"value name over 259", Machine(5, std::string(260, 'n')), {"1:5: error: value name"}},
        {"near miss: value name of 259", Machine(5, std::string(259, 'n')), {}},
        {"type over 31", Machine(6, "REG_SZ" + std::string(26, ' ')),
         {"1:6: error: type \"REG_SZ", "1:6: error: type \"REG_SZ"}},
        {"apply-to over 20", Machine(7, std::string(21, 'a')),
         {"1:7: error: apply-to field \"aaaaaaaaaaaaaaaaaaaaa\" is 21 characters long; the format allows at most 20"}},
        {"near miss: apply-to of 20", Machine(7, std::string(20, 'a')), {}},
        {"binary over 259", Machine(8, "a," + std::string(259, 'b'), "REG_BINARY"),
         {"1:8: error: REG_BINARY value data is 260 characters long once its commas are removed"}},
        {"near miss: binary of 259 with commas", Machine(8, "a," + std::string(258, 'b'), "REG_BINARY"), {}},

        {"dword too short", Machine(8, "0x1", "REG_DWORD"),
         {"1:8: error: REG_DWORD value data \"0x1\" is 3 characters, not 10 (\"0x\" and 8 hex digits): no value will be set"}},
        {"dword too long", Machine(8, "0x000000001", "REG_DWORD"),
         {"1:8: error: REG_DWORD value data \"0x000000001\" is 11 characters, not 10 (\"0x\" and 8 hex digits); "
          "only \"0x00000000\" is read: 0x00000000 will be stored"}},
        {"dword not hex", Machine(8, "0x0000000G", "reg_dword"),
         {"1:8: error: REG_DWORD value data \"0x0000000G\" has characters that are not hex digits: 0xFFFFFFF0 will be stored"}},
        {"dword without 0x", Machine(8, "zz0000000A", "REG_DWORD"),
         {"1:8: warning: REG_DWORD value data \"zz0000000A\" does not begin with \"0x\""}},
        {"near miss: dword in other case", Machine(8, "0X0000000a", "REG_DWORD"), {}},
        {"qword too short", Machine(8, "0x00000001", "REG_QWORD"),
         {"1:8: error: REG_QWORD value data \"0x00000001\" is 10 characters, not 18 (\"0x\" and 16 hex digits)"}},
        {"near miss: qword", Machine(8, "0x0000000100000000", "REG_QWORD"), {}},
        {"near miss: a short dword that is removed", Machine(9, "DELETE_REG", "REG_DWORD"), {}},

        {"binary above U+00FF", Machine(8, "a\xE2\x82\xAC", "REG_BINARY"),
         {"1:8: error: REG_BINARY value data has \"\xE2\x82\xAC\" (U+20AC), a character above U+00FF: no value will be set"}},
        {"binary written as hex pairs", Machine(8, "0a,ff", "REG_BINARY"),
         {"1:8: warning: REG_BINARY value data \"0a,ff\" looks like hex bytes, but each character is stored as "
          "its code: it stores 30 61 66 66, not 0A FF"}},
        {"near miss: binary text", Machine(8, "0a,ff,g1", "REG_BINARY"), {}},
        {"near miss: binary of Latin-1", Machine(8, "\xC3\xBF", "REG_BINARY"), {}},

        {"unknown type", Machine(6, "REG_NONE"),
         {"1:6: error: type \"REG_NONE\" is not one of REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, "
          "REG_QWORD: nothing will be set"}},
        {"a character outside the basic plane prints whole", Machine(6, "REG_\xF0\x9F\x98\x80"),
         {"1:6: error: type \"REG_\xF0\x9F\x98\x80\" is not one of"}},
        {"NUL in the value name", Machine(5, std::string("a\0b", 3)),
         {"1:5: error: value name holds a NUL character: the line is refused"}},
        {"NUL in the key", Machine(3, std::string("V\0x", 3)),
         {"1:3: error: key field holds a NUL character: the line is refused"}},
        {"near miss: type in lower case", Machine(6, "reg_expand_sz"), {}},
        {"near miss: unknown type of a removal", Line({"1", "HKEY_LOCAL_MACHINE\\SOFTWARE", "V", "", "N", "REG_NONE", "", "", "DELETE_REG"}), {}},

        {"marker in the key field", Machine(3, "Vendor\\DELETE_REG"),
         {"1:3: error: DELETE_REG in the key field does not make a removal"}},
        {"marker in lower case", Machine(9, "delete_reg"),
         {"1:9: error: \"delete_reg\" is not the removal marker, which is DELETE_REG in capitals: the line is not a removal"}},
        {"marker inside value data", Machine(8, "see DELETE_REG"),
         {"1:8: warning: value data \"see DELETE_REG\" holds DELETE_REG: the line is a removal"}},
        {"near miss: the marker where it belongs", Machine(9, "DELETE_REG"), {}},
        {"near miss: the marker as the value data", Machine(8, "DELETE_REG"), {}},
        {"marker in lower case where a short line's reader looks", Line({"1", "HKEY_LOCAL_MACHINE\\SOFTWARE", "V\\Delete_Reg"}),
         {"1:3: error: field 3", "1:3: error: DELETE_REG in the key field", "1:3: error: \"Delete_Reg\" is not the removal marker",
          "1:6: error: type"}},

        {"key-only almost True", Machine(4, "True "),
         {"1:4: error: key-only field \"True \" is not \"True\" (spaces count): the line is a value line"}},
        {"near miss: key-only in capitals", Machine(4, "TRUE"), {}},

        {"value data without a separator after it", Line({"1", "HKEY_LOCAL_MACHINE\\SOFTWARE", "V", "", "N", "REG_SZ", "", "abc"}),
         {"1:8: error: value data \"abc\" has no \"*@*\" after it: it is read as empty and empty value data will be stored"}},
        {"dword data without a separator after it", Line({"1", "HKEY_LOCAL_MACHINE\\SOFTWARE", "V", "", "N", "REG_DWORD", "", "0x00000001"}),
         {"1:8: error: value data \"0x00000001\" has no \"*@*\" after it: it is read as empty and no value will be set"}},
        {"key-only field without a separator after it", Line({"1", "HKEY_LOCAL_MACHINE\\SOFTWARE", "V", "True"}),
         {"1:4: error: field 4 \"True\" has no \"*@*\" after it: it is read as empty", "1:6: error: type \"\""}},
        {"near miss: unread text after a key-only line", Line({"1", "HKEY_LOCAL_MACHINE\\SOFTWARE", "V", "True", "x"}), {}},

        {"per-user target of no account", PerUser("Administrators"),
         {"1:7: error: target \"Administrators\" names no profile group (All Users, Administrator, User) and no "
          "likely account (it is a group or a built-in name, not an account with a profile): the line reaches no profile"}},
        {"per-user target with a trailing space", PerUser("All Users "), {"1:7: error: target \"All Users \" names no profile group"}},
        {"one account alone", PerUser("jsmith"),
         {"1:7: error: target \"jsmith\" names one account; its profile is prepared only when the package also has "
          "per-user lines for All Users, and this one has none: the line reaches no profile"}},
        {"near miss: one account beside All Users", PerUser("jsmith") + "\n" + PerUser("all users"), {}},
        {"per-user key-only line names no profile",
         Line({"1", "HKEY_CURRENT_USER", "Software\\V", "true", "", "", "", ""}),
         {"1:7: error: target \"\" names no profile group"}},
        {"near miss: per-user key-only line for User",
         Line({"1", "HKEY_CURRENT_USER", "Software\\V", "true", "", "", "User", ""}), {}},

        // Lines that can never land are errors, as the plan's failures are.
        {"a key with an empty part", Machine(3, "Vendor\\\\Tool"),
         {"1:3: error: key \"Vendor\\\\Tool\" has an empty part: no key has that name"}},
        {"a per-user key with a leading backslash", PerUser("All Users", "\\Software\\V"),
         {"1:3: error: key \"\\Software\\V\" has an empty part"}},
        {"the removal of a classes store", Line({"1", "HKEY_LOCAL_MACHINE\\SOFTWARE", "classes", "True", "", "", "", "DELETE_REG", ""}),
         {"1:3: error: key \"classes\" is a root, a hive's top key or a classes store"}},
        {"near miss: the removal of a key below it", Line({"1", "HKEY_LOCAL_MACHINE\\SOFTWARE", "Classes\\.v", "True", "", "", "", "DELETE_REG", ""}), {}},
        {"a key-only field that is True and the marker",
         Line({"1", "HKEY_LOCAL_MACHINE\\SOFTWARE", "V", "True DELETE_REG", "", "REG_SZ", "", "", ""}),
         {"1:4: warning: key-only field \"True DELETE_REG\" is not \"True\": the line deletes the value (default) of the key, not the key"}},
        {"lines ended by a carriage return alone", Machine(6, "REG_SZ") + "\r" + Machine(6, "REG_SZ"),
         {"1:9: error: a carriage return without a line feed does not end a line"}},
        {"empty line", Machine(6, "REG_SZ") + "\n\n" + Machine(6, "REG_SZ"),
         {"2:1: warning: empty line: it is read as a per-user line that changes nothing"}},
        {"near miss: one line end at the end", Machine(6, "REG_SZ") + "\n", {}},
        {"line without a separator", "just text", {"1:1: warning: line without any \"*@*\""}},
        {"bad UTF-8 in the value name", Machine(5, "N\xFFx"),
         {"1:5: error: bytes that are not valid UTF-8 at byte 53 of the line"}},
        {"bad UTF-8 after characters of two units",
         Line({"1", "HKEY_LOCAL_MACHINE\\SOFTWARE", "V\xF0\x9F\x98\x80\xF0\x9F\x98\x80", "", "N\xFF", "REG_SZ", "", "d", ""}),
         {"1:5: error: bytes that are not valid UTF-8 at byte 51 of the line"}},
        {"near miss: UTF-8 with its mark", "\xEF\xBB\xBF" + Machine(5, "N\xC3\xA4"), {}},
        {"UTF-16 big-endian mark", "\xFE\xFF" + Machine(5, "N"),
         {"1:1: error: byte-order mark FE FF (UTF-16 big-endian) is not honoured: the file is read as UTF-8"}},
        {"UTF-32 little-endian mark", std::string("\xFF\xFE\0\0", 4) + Machine(5, "N"),
         {"1:1: error: byte-order mark FF FE 00 00 (UTF-32 little-endian)"}},
        {"UTF-16 without a mark", EncodeUtf16Le(DecodeUtf8(Machine(5, "N")).text),
         {"1:1: error: the file looks like UTF-16 without a byte-order mark"}},
        {"near miss: UTF-16 with its mark", "\xFF\xFE" + EncodeUtf16Le(DecodeUtf8(Machine(5, "N")).text), {}},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> found = Lint(c.package);
        bool same = found.size() == c.expected.size();
        for (std::size_t i = 0; same && i < found.size(); ++i) same = found[i].rfind(c.expected[i], 0) == 0;
        EXPECT_TRUE(same) << c.rule << "\nexpected (prefixes):\n" << Joined(c.expected) << "found:\n" << Joined(found);
    }
}

TEST(LintTest, FindingsComeInFileOrderAndSetTheExitCode) {
    const std::string package = Machine(6, "REG_NONE") + "\n" + Machine(2, "Computer") + "\n" + Machine(8, "0a,ff", "REG_BINARY");
    const auto diagnostics = LintPackage(package);
    ASSERT_EQ(diagnostics.size(), 3u);
    EXPECT_EQ(diagnostics[0].line, 1);
    EXPECT_EQ(diagnostics[1].line, 2);
    EXPECT_EQ(diagnostics[2].line, 3);
    EXPECT_EQ(FormatFinding("pkg.dat", diagnostics[0]).substr(0, 21), "pkg.dat:1:6: error: t");
    EXPECT_EQ(LintExitCode(diagnostics), 2);
    EXPECT_EQ(LintExitCode(LintPackage(Machine(2, "Computer"))), 1);
    EXPECT_EQ(LintExitCode(LintPackage(Machine(6, "REG_SZ"))), 0);
    EXPECT_EQ(LintExitCode({}), 0);
}

}  // namespace
}  // namespace km::toolkit
