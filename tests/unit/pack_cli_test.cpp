// keymason-pack's command line: exit codes, findings, and that an output is
// written whole or not at all.
#include <gtest/gtest.h>

#include <map>

#include "pack/cli.h"

namespace km::pack {
namespace {

struct PackRun {
    std::map<Text, std::string> files;
    std::map<Text, std::string> written;
    std::string out, err;
    int code = -1;

    int operator()(std::vector<Text> args) {
        toolkit::ToolEnvironment env;
        env.readFile = [this](const Text& path, std::string* bytes) {
            auto found = files.find(path);
            if (found == files.end()) return false;
            *bytes = found->second;
            return true;
        };
        env.writeFile = [this](const Text& path, const std::string& bytes) {
            if (path == u"readonly.dat") return false;
            written[path] = bytes;
            return true;
        };
        env.out = &out;
        env.err = &err;
        return code = RunPack(args, env);
    }
};

const std::string kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";
const std::string kGood = kHeader + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\r\n\"A\"=\"x\"\r\n";
const std::string kComma = kGood + "\"B\"=hex:2c\r\n";
const std::string kBase = kHeader + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\r\n\"A\"=\"old\"\r\n";
const std::string kPackage = "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V*@**@*A*@*REG_SZ*@*All Users*@*new*@*\r\n";

TEST(PackCliTest, ExitCodesFindingsAndOutputs) {
    struct Case {
        const char* what;
        std::vector<Text> args;
        int code;
        std::string err;      // a part of it; empty: none at all
        Text writtenTo;       // where the output must be, whole; empty: nowhere
        std::string written;  // a part of it
    } cases[] = {
        {"from-reg to a file", {u"from-reg", u"good.reg", u"-o", u"out.dat"}, kExitWritten, "", u"out.dat",
         "*@*V*@**@*A*@*REG_SZ*@*All Users*@*x*@*\r\n"},
        {"from-reg with a change left out", {u"from-reg", u"comma.reg", u"-o", u"out.dat"}, kExitLeftOut,
         "comma.reg:5: error: binary data holding a comma byte", u"out.dat", "*@*A*@*"},
        {"from-reg of a file that is no .reg", {u"from-reg", u"package.dat", u"-o", u"out.dat"}, kExitUnreadable,
         "package.dat:1: error:", u"", ""},
        {"from-reg of a missing file", {u"from-reg", u"gone.reg"}, kExitUnreadable, "gone.reg: cannot be read", u"",
         ""},
        {"from-reg to an unwritable file", {u"from-reg", u"good.reg", u"-o", u"readonly.dat"}, kExitUnreadable,
         "readonly.dat: cannot be written", u"", ""},
        {"undo against a base", {u"undo", u"--base", u"base.reg", u"package.dat", u"-o", u"undo.dat"}, kExitWritten,
         "", u"undo.dat", "*@*V*@**@*A*@*REG_SZ*@*All Users*@*old*@*\r\n"},
        {"undo with its .reg", {u"undo", u"--base", u"base.reg", u"package.dat", u"-o", u"undo.dat", u"--reg",
                                u"undo.reg"}, kExitWritten, "", u"undo.reg", "\xFF\xFEW"},
        {"undo without a base", {u"undo", u"package.dat", u"-o", u"undo.dat"}, kExitUsage, "--base", u"", ""},
        {"undo --live where it is not offered", {u"undo", u"--live", u"package.dat", u"-o", u"undo.dat"},
         kExitUsage, "only on Windows", u"", ""},
        {"undo without -o", {u"undo", u"--base", u"base.reg", u"package.dat"}, kExitUsage, "-o", u"", ""},
        {"from-reg of a file with a wrong header", {u"from-reg", u"header.reg", u"-o", u"out.dat"}, kExitUnreadable,
         "header.reg:1: error:", u"", ""},
        {"from-reg of a root no line reaches", {u"from-reg", u"root.reg", u"-o", u"out.dat"}, kExitLeftOut,
         "root.reg:3: error: root HKEY_USERS is not one a package reaches", u"out.dat", ""},
        // What reg import skips is skipped too, so the result is still its result.
        {"from-reg of bad hex", {u"from-reg", u"badhex.reg", u"-o", u"out.dat"}, kExitWritten,
         "badhex.reg:5: warning:", u"out.dat", "*@*A*@*REG_SZ*@*All Users*@*x*@*"},
        {"from-reg of an unknown escape", {u"from-reg", u"escape.reg", u"-o", u"out.dat"}, kExitWritten,
         "without the backslash (and so does this package)", u"out.dat", "*@*C*@*REG_SZ*@*All Users*@*aqb*@*"},
        // One account by name: group anchors make the pass prepare it.
        {"from-reg for one account", {u"from-reg", u"user.reg", u"--target", u"Bob", u"-o", u"out.dat"},
         kExitWritten, "", u"out.dat", "*@*Keymason Group Anchor*@*REG_SZ*@*All Users*@**@*DELETE_REG\r\n"},
        {"unknown command", {u"pack"}, kExitUsage, "unknown command pack", u"", ""},
        {"unknown option", {u"from-reg", u"--fast", u"good.reg"}, kExitUsage, "unknown option --fast", u"", ""},
        {"from-reg with --reg", {u"from-reg", u"good.reg", u"--reg", u"x.reg"}, kExitUsage, "takes no --reg", u"", ""},
        {"from-reg with a base", {u"from-reg", u"good.reg", u"--base", u"base.reg"}, kExitUsage, "takes no --reg", u"",
         ""},
        {"undo with --target", {u"undo", u"--base", u"base.reg", u"package.dat", u"-o", u"u.dat", u"--target", u"Bob"},
         kExitUsage, "undo takes no --target", u"", ""},
        {"undo -o and --reg one file", {u"undo", u"--base", u"base.reg", u"package.dat", u"-o", u"U.dat", u"--reg",
         u"u.DAT"}, kExitUsage, "-o and --reg name one file", u"", ""},
        {"undo's package over itself", {u"undo", u"--base", u"base.reg", u"package.dat", u"-o", u"package.dat"},
         kExitUsage, "names the input package.dat", u"", ""},
        {"undo's .reg over its base", {u"undo", u"--base", u"base.reg", u"package.dat", u"-o", u"u.dat", u"--reg",
         u"base.reg"}, kExitUsage, "names the input base.reg", u"", ""},
        {"-o given twice", {u"from-reg", u"good.reg", u"-o", u"a.dat", u"-o", u"b.dat"}, kExitUsage, "-o given twice",
         u"", ""},
        {"from-reg for an empty target", {u"from-reg", u"user.reg", u"--target", u""}, kExitUsage,
         "--target \"\" names no profile group", u"", ""},
        {"from-reg for a target with a blank", {u"from-reg", u"user.reg", u"--target", u" Bob"}, kExitUsage,
         "names no profile group", u"", ""},
        {"from-reg for a target over 20", {u"from-reg", u"user.reg", u"--target", Text(21, u'b')}, kExitUsage,
         "it is longer than the 20 characters an account name can have", u"", ""},
        {"from-reg for a group in another spelling", {u"from-reg", u"user.reg", u"--target", u"AllUsers"}, kExitUsage,
         "names no profile group", u"", ""},
    };
    for (const Case& c : cases) {
        PackRun run;
        run.files = {{u"good.reg", kGood}, {u"comma.reg", kComma}, {u"base.reg", kBase},
                     {u"package.dat", kPackage}, {u"header.reg", "Windows Registry Editor 5.00\r\n"},
                     {u"root.reg", kHeader + "[HKEY_USERS\\.DEFAULT\\V]\r\n\"A\"=\"x\"\r\n"},
                     {u"badhex.reg", kGood + "\"B\"=hex:1g\r\n"}, {u"escape.reg", kGood + "\"C\"=\"a\\qb\"\r\n"},
                     {u"user.reg", kHeader + "[HKEY_CURRENT_USER\\Software\\V]\r\n\"A\"=\"x\"\r\n"}};
        run(c.args);
        EXPECT_EQ(run.code, c.code) << c.what << "\n" << run.err;
        if (c.err.empty())
            EXPECT_EQ(run.err, "") << c.what;
        else
            EXPECT_NE(run.err.find(c.err), std::string::npos) << c.what << "\n" << run.err;
        if (c.writtenTo.empty()) {
            EXPECT_TRUE(run.written.empty()) << c.what;
        } else {
            ASSERT_TRUE(run.written.count(c.writtenTo)) << c.what;
            EXPECT_NE(run.written[c.writtenTo].find(c.written), std::string::npos) << c.what;
        }
    }
    PackRun version;
    version({u"--version"});
    EXPECT_EQ(version.code, kExitWritten);
    EXPECT_EQ(version.out, "keymason-pack 1.0.0.2\n");
}

}  // namespace
}  // namespace km::pack
