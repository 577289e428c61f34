#include <gtest/gtest.h>

#include <functional>

#include <nlohmann/json.hpp>

#include "check/cli.h"
#include "engine/windows_facts.h"
#include "toolkit/reg_file.h"
#include "toolkit/text_codec.h"
#include "platform/text.h"
#include "tests/unit/snapshot_source.h"

namespace km::check {
namespace {

struct CheckRun {
    std::map<Text, std::string> files;
    std::map<Text, std::string> written;
    std::string out, err;
    std::string passedOn;   // what the run handed on before its end
    bool streamed = false;  // the run may hand its report on in pieces
    bool liveOffered = false;
    std::function<bool(const toolkit::LiveBaseRequest&)> live;  // in place of the default live base
    MemoryPlatform machine;  // what the default live base reads
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
            if (path == u"readonly.reg") return false;
            written[path] = bytes;
            return true;
        };
        if (live)
            env.liveBase = live;
        else if (liveOffered)
            env.liveBase = [this](const toolkit::LiveBaseRequest& request) {
                request.base->ReadThrough(std::make_shared<SnapshotSource>(machine));
                return true;
            };
        env.out = &out;
        env.err = &err;
        if (streamed)
            env.passOutOn = [this] {
                passedOn += out;
                out.clear();
            };
        return code = RunCheck(args, env);
    }
};

const std::string kCleanLine = "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V*@**@*N*@*REG_SZ*@**@*x*@*\n";
const std::string kWarningLine = "1*@*Computer*@*V*@**@*N*@*REG_SZ*@*All Users*@*x*@*\n";
const std::string kErrorLine = "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V*@**@*N*@*REG_NONE*@**@*x*@*\n";

TEST(CheckCliTest, ExitCodesFollowTheFindingsAndTheInputs) {
    struct Case {
        const char* what;
        std::vector<Text> args;
        int code;
        std::string errStart;
    } cases[] = {
        {"clean", {u"clean.dat"}, kExitClean, ""},
        {"warnings", {u"warn.dat"}, kExitWarnings, ""},
        {"errors", {u"error.dat"}, kExitErrors, ""},
        {"errors with a plan", {u"--plan", u"error.dat"}, kExitErrors, ""},
        {"missing package", {u"nothere.dat"}, kExitUnreadable, "keymason-check: nothere.dat: cannot be read"},
        {"missing base", {u"--base", u"nothere.reg", u"clean.dat"}, kExitUnreadable,
         "keymason-check: nothere.reg: cannot be read"},
        {"bad base", {u"--base=bad.reg", u"clean.dat"}, kExitUnreadable,
         "keymason-check: bad.reg:1: not a .reg file"},
        {"base with a line reg import skips", {u"--base=skip.reg", u"clean.dat"}, kExitWarnings, ""},
        {"result not written", {u"--out", u"readonly.reg", u"clean.dat"}, kExitUnreadable,
         "keymason-check: readonly.reg: cannot be written"},
        {"no package", {u"--plan"}, kExitUsage, "keymason-check: no package named\nusage: keymason-check PACKAGE\n"},
        {"two packages", {u"a.dat", u"b.dat"}, kExitUsage, "keymason-check: more than one package"},
        {"unknown option", {u"--fast", u"clean.dat"}, kExitUsage, "keymason-check: unknown option --fast"},
        {"base without a file", {u"clean.dat", u"--base"}, kExitUsage, "keymason-check: --base needs a file"},
        {"live here", {u"--live", u"clean.dat"}, kExitUsage, "keymason-check: --live reads the Windows registry"},
        {"two bases", {u"--live", u"--base", u"b.reg", u"clean.dat"}, kExitUsage, "keymason-check: --base and --live"},
        {"base given twice", {u"--base", u"a.reg", u"--base=b.reg", u"clean.dat"}, kExitUsage, "keymason-check: --base given twice"},
        {"result over the package", {u"--out", u"CLEAN.dat", u"clean.dat"}, kExitUsage,
         "keymason-check: --out CLEAN.dat names the input clean.dat"},
        {"a package named like an option", {u"--", u"-odd.dat"}, kExitClean, ""},
    };
    for (const Case& c : cases) {
        CheckRun run;
        run.files = {{u"clean.dat", kCleanLine}, {u"warn.dat", kWarningLine}, {u"error.dat", kErrorLine},
                     {u"-odd.dat", kCleanLine}, {u"bad.reg", "\nREGEDIT4\n[HKLM\\SOFTWARE\\V]\n"},
                     {u"skip.reg", "REGEDIT4\n[HKLM\\SOFTWARE\\V]\n\"x\"=what\n"}};
        EXPECT_EQ(run(c.args), c.code) << c.what << "\n" << run.err;
        EXPECT_EQ(run.err.substr(0, c.errStart.size()), c.errStart) << c.what;
    }
}

TEST(CheckCliTest, BaseLinesRegImportSkipsAreWarningsBeforeThePlan) {
    CheckRun run;
    run.files = {{u"pkg.dat", kCleanLine},
                 {u"base.reg", "REGEDIT4\n[HKLM\\SOFTWARE\\V]\n\"x\"=what\n[HKCU\\Software]\n\"y\"=\"1\"\n"
                               "[HKEY_USERS\\HiveFile:C:/U/NTUSER.DAT\\V]\n\"" + std::string(16384, 'n') + "\"=\"1\"\n"}};
    EXPECT_EQ(run({u"--base", u"base.reg", u"pkg.dat"}), kExitWarnings) << run.err;
    // A hive file's values meet the registry's limits as the machine's do.
    EXPECT_NE(run.out.find("base.reg:6: warning: a value name over 16,383 characters"), std::string::npos);
    EXPECT_EQ(run.out.rfind("base.reg:3: warning: unknown value data", 0), 0u) << run.out;
    const std::size_t second = run.out.find("\nbase.reg:4: warning: HKEY_CURRENT_USER is not part of a base");
    EXPECT_NE(second, std::string::npos) << run.out;
    EXPECT_LT(second, run.out.find("plan for pkg.dat against base.reg"));
}

TEST(CheckCliTest, LintPrintsFindingsAndPlanFollowsThem) {
    CheckRun run;
    run.files = {{u"pkg.dat", kWarningLine}};
    EXPECT_EQ(run({u"pkg.dat"}), kExitWarnings);
    EXPECT_EQ(run.out.substr(0, 29), "pkg.dat:1:2: warning: root \"C");
    EXPECT_EQ(run.out.find("plan for"), std::string::npos);

    CheckRun plan;
    plan.files = {{u"pkg.dat", kWarningLine}};
    EXPECT_EQ(plan({u"--plan", u"pkg.dat"}), kExitWarnings);
    const std::size_t at = plan.out.find("\nplan for pkg.dat against an empty machine with one logged-on profile\n");
    EXPECT_NE(at, std::string::npos) << plan.out;
    EXPECT_LT(plan.out.find("pkg.dat:1:2: warning"), at);
}

TEST(CheckCliTest, OutWritesTheStateAfterThePlanAsTheNextBase) {
    CheckRun run;
    run.files = {{u"pkg.dat", kCleanLine}};
    EXPECT_EQ(run({u"--out", u"after.reg", u"pkg.dat"}), kExitClean) << run.err;
    ASSERT_EQ(run.written.count(u"after.reg"), 1u);
    const std::string text = ToUtf8(toolkit::DecodeUtf16Le(run.written[u"after.reg"].substr(2)));
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\r\n\"N\"=\"x\"\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[HKEY_USERS\\S-1-5-21-1000000000-1000000000-1000000000-1001]"), std::string::npos);

    // Planned again on its own result, the line changes nothing.
    CheckRun again;
    again.files = {{u"pkg.dat", kCleanLine}, {u"after.reg", run.written[u"after.reg"]}};
    EXPECT_EQ(again({u"--base", u"after.reg", u"pkg.dat"}), kExitClean) << again.err;
    EXPECT_NE(again.out.find("no change: HKEY_LOCAL_MACHINE\\SOFTWARE\\V \"N\" already holds REG_SZ \"x\""),
              std::string::npos) << again.out;
}

// A plan's report goes out in pieces as it is made, the same report; never
// while a result file that may yet fail could take it back.
TEST(CheckCliTest, ALargePlanGoesOutInPiecesAsTheSameReport) {
    std::string package;
    for (int i = 0; i < 3000; ++i)
        package += "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V\\" + std::to_string(i) + "*@**@*N*@*REG_SZ*@**@*" +
                   std::string(200, 'x') + "*@*\n";
    for (const char16_t* format : {u"text", u"json"}) {
        CheckRun whole, pieces;
        for (CheckRun* run : {&whole, &pieces}) run->files = {{u"pkg.dat", package}};
        pieces.streamed = true;
        EXPECT_EQ(whole({u"--plan", u"--format", format, u"pkg.dat"}), kExitClean);
        EXPECT_EQ(pieces({u"--plan", u"--format", format, u"pkg.dat"}), kExitClean);
        EXPECT_FALSE(pieces.passedOn.empty());
        EXPECT_EQ(pieces.passedOn + pieces.out, whole.out);
    }
    CheckRun held;
    held.files = {{u"pkg.dat", package}};
    held.streamed = true;
    EXPECT_EQ(held({u"--plan", u"--out", u"readonly.reg", u"pkg.dat"}), kExitUnreadable);
    EXPECT_EQ(held.passedOn + held.out, "");
}

TEST(CheckCliTest, HelpNamesUsageExitCodesAndTheSnapshotForm) {
    CheckRun run;
    EXPECT_EQ(run({u"--help"}), kExitClean);
    for (const char* part : {"usage: keymason-check PACKAGE", "--plan [--base SNAPSHOT.reg] [--default-profile] [--out RESULT.reg] PACKAGE",
                             "HiveFile:", "  3  the package or the base cannot be read", "  4  wrong usage"})
        EXPECT_NE(run.out.find(part), std::string::npos) << part;
    EXPECT_EQ(run.out.find("--live"), std::string::npos);
    CheckRun version;
    EXPECT_EQ(version({u"--version"}), kExitClean);
    EXPECT_EQ(version.out, "keymason-check 1.0.0.2\n");

    CheckRun windows;
    windows.liveOffered = true;
    EXPECT_EQ(windows({u"--help"}), kExitClean);
    EXPECT_NE(windows.out.find("--base SNAPSHOT.reg | --live]"), std::string::npos);
    EXPECT_NE(windows.out.find("RegLoadAppKeyW"), std::string::npos);

    windows.files = {{u"pkg.dat", kCleanLine}};
    windows.out.clear();
    windows.machine.SetValue(kHkeyLocalMachine, u"SOFTWARE\\Live", u"N", kRegSz, {});
    EXPECT_EQ(windows({u"--live", u"--out", u"r.reg", u"pkg.dat"}), kExitClean);
    EXPECT_NE(windows.out.find("against this machine's registry (read only)"), std::string::npos);
    // The result holds what the pass read, not the whole machine.
    const std::string result = ToUtf8(toolkit::DecodeUtf16Le(windows.written[u"r.reg"]));
    EXPECT_NE(result.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\r\n\"N\"=\"x\""), std::string::npos) << result;
    EXPECT_EQ(result.find("Live"), std::string::npos) << result;
}

}  // namespace
}  // namespace km::check

namespace km::check {
namespace {

// --verify and the machine formats: the exit code says whether the base
// already holds what the package sets; JSON and SARIF are documents a
// machine can read, with every effect's old and new bytes.
TEST(CheckCliTest, VerifyAndMachineFormats) {
    const std::string base =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\r\n\"A\"=\"old\"\r\n";
    const std::string sets = "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V*@**@*A*@*REG_SZ*@*All Users*@*new*@*\n";
    const std::string holds = "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V*@**@*A*@*REG_SZ*@*All Users*@*old*@*\n";
    struct Case {
        const char* what;
        std::vector<Text> args;
        int code;
        std::string outPart;
    } cases[] = {
        {"already held", {u"--verify", u"--base", u"base.reg", u"holds.dat"}, kExitClean,
         "verify: the package would change nothing"},
        {"drift", {u"--verify", u"--base", u"base.reg", u"sets.dat"}, kExitDrift,
         "drift: line 1: HKEY_LOCAL_MACHINE: setValue HKEY_LOCAL_MACHINE\\SOFTWARE\\V \"A\""},
        {"an error outranks drift", {u"--verify", u"--base", u"base.reg", u"error.dat"}, kExitErrors, "verify:"},
        {"verify needs a base", {u"--verify", u"sets.dat"}, kExitUsage, ""},
        {"unknown format", {u"--format", u"xml", u"sets.dat"}, kExitUsage, ""},
        {"profiles listed out of SID order", {u"--verify", u"--base", u"unsorted.reg", u"user.dat"}, kExitDrift,
         "drift: line 1: A: setValue"},
        {"a profile whose hive is not in the base", {u"--verify", u"--base", u"nohive.reg", u"user.dat"}, kExitDrift,
         "unknown: A was not inspected"},
        // Never "would change nothing": the lint's error outranks the answer.
        {"a line that cannot land", {u"--verify", u"--base", u"base.reg", u"empty.dat"}, kExitErrors,
         "fails: line 1: HKEY_LOCAL_MACHINE: key HKEY_LOCAL_MACHINE\\SOFTWARE\\\\App cannot be created"},
    };
    std::string unsorted = "Windows Registry Editor Version 5.00\r\n";
    for (const char* p : {"1002]\r\n\"ProfileImagePath\"=\"C:\\\\Users\\\\B\"", "1001]\r\n\"ProfileImagePath\"=\"C:\\\\Users\\\\A\""})
        unsorted += "\r\n[HKEY_LOCAL_MACHINE\\" + ToUtf8(kProfileListPath) + "\\S-1-5-21-9-" + p + "\r\n";
    const std::string nohive = unsorted;
    for (const char* user : {"A", "B"})
        unsorted += std::string("\r\n[HKEY_USERS\\HiveFile:C:/Users/") + user + "/NTUSER.DAT]\r\n";
    for (const Case& c : cases) {
        CheckRun run;
        run.files = {{u"base.reg", base}, {u"sets.dat", sets}, {u"holds.dat", holds}, {u"error.dat", kErrorLine},
                     {u"unsorted.reg", unsorted}, {u"nohive.reg", nohive},
                     {u"empty.dat", "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*\\App*@**@*A*@*REG_SZ*@*All Users*@*x*@*\n"},
                     {u"user.dat", "1*@*HKEY_CURRENT_USER*@*Software\\V*@**@*A*@*REG_SZ*@*All Users*@*x*@*\n"}};
        EXPECT_EQ(run(c.args), c.code) << c.what << "\n" << run.err;
        EXPECT_NE(run.out.find(c.outPart), std::string::npos) << c.what << "\n" << run.out;
    }

    CheckRun json;
    json.files = {{u"base.reg", base}, {u"sets.dat", sets + kErrorLine}};
    EXPECT_EQ(json({u"--verify", u"--base", u"base.reg", u"--format", u"json", u"sets.dat"}), kExitErrors);
    const nlohmann::json doc = nlohmann::json::parse(json.out);
    EXPECT_EQ(json.out, doc.dump(2) + "\n");  // laid out as one document would be, effects written one by one
    EXPECT_EQ(doc["version"], 1);
    EXPECT_EQ(doc["exitCode"], kExitErrors);
    EXPECT_EQ(doc["findings"][0]["line"], 2);
    EXPECT_EQ(doc["findings"][0]["severity"], "error");
    const auto& effect = doc["plan"]["effects"][0];
    EXPECT_EQ(effect["kind"], "setValue");
    EXPECT_EQ(effect["key"], "HKEY_LOCAL_MACHINE\\SOFTWARE\\V");
    EXPECT_EQ(effect["old"]["bytes"], "6f006c0064000000");
    EXPECT_EQ(effect["new"]["typeName"], "REG_SZ");
    EXPECT_EQ(doc["plan"]["summary"]["HKEY_LOCAL_MACHINE"]["valuesChanged"], 1);
    EXPECT_EQ(doc["verify"]["changes"], true);
    json.files[u"sets.dat"] = "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V\\\\B*@**@*A*@*REG_SZ*@*All Users*@*x*@*\n";
    json.out.clear();
    json({u"--verify", u"--base", u"base.reg", u"--format", u"json", u"sets.dat"});
    const nlohmann::json failed = nlohmann::json::parse(json.out);
    EXPECT_EQ(failed["plan"]["failures"][0]["line"], 1) << json.out;
    EXPECT_TRUE(failed["verify"]["changes"].is_null()) << json.out;

    // Names with lone surrogates stay apart in JSON.
    CheckRun lone;
    lone.files = {
        {u"base.reg", "\xFF\xFE" + toolkit::EncodeUtf16Le(u"Windows Registry Editor Version 5.00\r\n\r\n"
                                                          u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\r\n\"\xD800\"=\"a\"\r\n"
                                                          u"\"\xD801\"=\"b\"\r\n")},
        {u"gone.dat", "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*V*@*True*@**@**@*All Users*@*DELETE_REG*@*\n"}};
    lone({u"--verify", u"--base", u"base.reg", u"--format", u"json", u"gone.dat"});
    EXPECT_NE(lone.out.find("\"value\": \"\\ud800\""), std::string::npos) << lone.out;
    EXPECT_NE(lone.out.find("\"value\": \"\\ud801\""), std::string::npos) << lone.out;
    // An escape in a name is never taken for a mark, at a text's end either.
    for (const char16_t* name : {u"a\\u0001", u"\\u0001abc\\u0001x", u"\\u0001abcd\x01"}) {
        CheckRun named;
        named.files = {{u"n.dat", "1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*K*@**@*" + ToUtf8(name) + "*@*REG_SZ*@**@*x*@*\n"}};
        named({u"--plan", u"--format", u"json", u"n.dat"});
        EXPECT_EQ(nlohmann::json::parse(named.out)["plan"]["effects"].back()["value"], ToUtf8(name)) << named.out;
    }

    // A profile whose hives could not be read may hold drift: not compliant.
    CheckRun locked;
    locked.files = {{u"user.dat", "1*@*HKEY_CURRENT_USER*@*Software\\V*@**@*A*@*REG_SZ*@*All Users*@*x*@*\n"}};
    MemoryPlatform machine;  // its one profile's hive file is not there
    machine.SetValue(kHkeyLocalMachine, Text(kProfileListPath) + u"\\S-1-5-21-1", u"ProfileImagePath", kRegSz,
                     {'C', 0, ':', 0, '\\', 0, 'U', 0, 0, 0});
    locked.live = [&machine](const toolkit::LiveBaseRequest& request) {
        request.base->ReadThrough(std::make_shared<SnapshotSource>(machine));
        return true;
    };
    EXPECT_EQ(locked({u"--verify", u"--live", u"user.dat"}), kExitDrift) << locked.err;
    EXPECT_NE(locked.out.find("not inspected: C:\\U\\NTUSER.DAT: no such file"), std::string::npos) << locked.out;
    EXPECT_NE(locked.out.find("unknown: "), std::string::npos) << locked.out;
    locked.out.clear();
    locked({u"--verify", u"--live", u"--format", u"json", u"user.dat"});
    EXPECT_TRUE(nlohmann::json::parse(locked.out)["verify"]["changes"].is_null()) << locked.out;

    CheckRun sarif;
    sarif.files = {{u"sets.dat", kWarningLine + kErrorLine}};
    EXPECT_EQ(sarif({u"--format=sarif", u"sets.dat"}), kExitErrors);
    const nlohmann::json log = nlohmann::json::parse(sarif.out);
    EXPECT_EQ(log["version"], "2.1.0");
    const auto& results = log["runs"][0]["results"];
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0]["level"], "warning");
    EXPECT_EQ(results[1]["level"], "error");
    EXPECT_EQ(results[1]["locations"][0]["physicalLocation"]["region"]["startLine"], 2);
    EXPECT_EQ(results[1]["locations"][0]["physicalLocation"]["artifactLocation"]["uri"], "sets.dat");
    EXPECT_EQ(results[1]["ruleId"], "type");

    // Artifact locations are URI references, whatever the path looks like.
    for (const auto& [path, uri] : {std::pair{u"C:\\pkg\\install.reg.dat", "file:///C:/pkg/install.reg.dat"},
                                    std::pair{u"\\\\srv\\share\\p.dat", "file://srv/share/p.dat"},
                                    std::pair{u"rel dir/p#1.dat", "rel%20dir/p%231.dat"},
                                    std::pair{u"a:b.reg.dat", "a%3Ab.reg.dat"},
                                    std::pair{u"//host/x.dat", "file://host/x.dat"},
                                    std::pair{u"\\\\?\\C:\\p.dat", "file:///C:/p.dat"},
                                    std::pair{u"\\\\?\\UNC\\srv\\s\\p.dat", "file://srv/s/p.dat"}}) {
        CheckRun named;
        named.files = {{path, kErrorLine}};
        named({u"--format", u"sarif", path});
        EXPECT_EQ(nlohmann::json::parse(named.out)["runs"][0]["results"][0]["locations"][0]["physicalLocation"]
                                                  ["artifactLocation"]["uri"],
                  uri);
    }
}

}  // namespace
}  // namespace km::check
