#include "check/cli.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>
#include <utility>

#include "toolkit/lint.h"
#include "check/machine_report.h"
#include "check/plan.h"
#include "toolkit/reg_file.h"
#include "toolkit/snapshot.h"
#include "platform/text.h"

namespace km::check {

namespace {

enum class Format { Text, Json, Sarif };

struct Options {
    bool help = false;
    bool version = false;
    bool plan = false;
    bool live = false;
    bool verify = false;
    bool defaultProfile = false;  // as if the base held the policy that reaches it
    Format format = Format::Text;
    bool formatGiven = false;
    std::optional<Text> base;
    std::optional<Text> result;
    std::optional<Text> package;
};

// An option that takes a file: "--base FILE" or "--base=FILE".
bool TakeFile(const std::vector<Text>& args, std::size_t& i, TextView name, std::optional<Text>* into,
              std::string* problem) {
    const Text& arg = args[i];
    const Text prefix = Text(name) + u"=";
    if ((arg == name || arg.compare(0, prefix.size(), prefix) == 0) && into->has_value()) {
        *problem = ToUtf8(name) + " given twice";
        return true;
    }
    if (arg == name) {
        if (i + 1 >= args.size()) {
            *problem = ToUtf8(name) + " needs a file";
            return true;
        }
        *into = args[++i];
        return true;
    }
    if (arg.compare(0, prefix.size(), prefix) == 0) {
        *into = arg.substr(prefix.size());
        return true;
    }
    return false;
}

std::optional<Options> ParseOptions(const std::vector<Text>& args, std::string* problem) {
    Options o;
    bool endOfOptions = false;
    for (std::size_t i = 0; i < args.size() && problem->empty(); ++i) {
        const Text& arg = args[i];
        if (!endOfOptions && arg == u"--") {
            endOfOptions = true;
        } else if (!endOfOptions && (arg == u"--help" || arg == u"-h" || arg == u"/?")) {
            o.help = true;
        } else if (!endOfOptions && arg == u"--version") {
            o.version = true;
        } else if (!endOfOptions && arg == u"--plan") {
            o.plan = true;
        } else if (!endOfOptions && arg == u"--live") {
            o.live = true;
        } else if (!endOfOptions && arg == u"--verify") {
            o.verify = true;
        } else if (!endOfOptions && arg == u"--default-profile") {
            o.defaultProfile = true;
        } else if (!endOfOptions && (arg == u"--format" || arg.rfind(u"--format=", 0) == 0)) {
            if (std::exchange(o.formatGiven, true)) *problem = "--format given twice";
            Text name;
            if (arg == u"--format") {
                if (i + 1 < args.size()) name = args[++i];
            } else {
                name = arg.substr(9);
            }
            if (name == u"text") o.format = Format::Text;
            else if (name == u"json") o.format = Format::Json;
            else if (name == u"sarif") o.format = Format::Sarif;
            else *problem = "--format takes text, json or sarif";
        } else if (!endOfOptions && (TakeFile(args, i, u"--base", &o.base, problem) ||
                                     TakeFile(args, i, u"--out", &o.result, problem))) {
        } else if (!endOfOptions && arg.size() > 1 && arg[0] == u'-') {
            *problem = "unknown option " + ToUtf8(arg);
        } else if (o.package) {
            *problem = "more than one package";
        } else {
            o.package = arg;
        }
    }
    if (!problem->empty()) return std::nullopt;
    if (o.help || o.version) return o;
    if (!o.package) *problem = "no package named";
    else if (o.base && o.live) *problem = "--base and --live both name a base: give one";
    if (!problem->empty()) return std::nullopt;
    else if (o.verify && !o.base && !o.live) *problem = "--verify needs --base or --live";
    if (!problem->empty()) return std::nullopt;
    // A base or a result only make sense for a plan.
    o.plan = o.plan || o.base || o.live || o.result || o.verify || o.defaultProfile;
    return o;
}

constexpr const char* kUsage =
    "usage: keymason-check PACKAGE\n"
    "       keymason-check --plan [--base SNAPSHOT.reg%s] [--default-profile] [--out RESULT.reg] PACKAGE\n"
    "       keymason-check --verify (--base SNAPSHOT.reg%s) PACKAGE\n"
    "       (each with --format text|json|sarif)\n";

// The machine the plan runs on: the --base snapshot, this machine's registry
// (--live), or the default base. False, with the message in err, when it
// cannot be read.
// The base's warnings go to `out`, in line order, and are kept in `warnings`.
bool LoadPlanBase(const Options& options, const toolkit::ToolEnvironment& env, MemoryPlatform& machine,
                  PlanInput& input, std::string& out, std::vector<toolkit::RegFileError>& warnings, std::string& err) {
    if (options.base) {
        const std::string baseName = ToUtf8(*options.base);
        std::string bytes;
        if (!env.readFile(*options.base, &bytes)) {
            err += "keymason-check: " + baseName + ": cannot be read\n";
            return false;
        }
        toolkit::RegFileError error;
        std::optional<toolkit::RegFile> file = toolkit::ParseRegFile(std::move(bytes), &error);
        // Its sections are moved into the base; the lines it skipped stay to be reported.
        if (!file || !toolkit::LoadSnapshot(std::move(*file), machine, &error, &warnings)) {
            err += "keymason-check: " + baseName + ":" + (error.line ? std::to_string(error.line) + ":" : "") +
                   " " + error.message + "\n";
            return false;
        }
        // Lines reg import skips, then what a base cannot hold, each in line order.
        warnings.insert(warnings.begin(), file->skipped.begin(), file->skipped.end());
        std::stable_sort(
            warnings.begin(), warnings.end(),
            [](const toolkit::RegFileError& a, const toolkit::RegFileError& b) { return a.line < b.line; });
        for (const toolkit::RegFileError& w : warnings)
            out += baseName + ":" + std::to_string(w.line) + ": warning: " + w.message + "\n";
        input.baseName = baseName;
    } else if (options.live) {
        std::string error;
        if (!env.liveBase(toolkit::LiveBaseRequest{&machine, &error})) {
            err += "keymason-check: the registry of this machine cannot be read: " + error + "\n";
            return false;
        }
        input.baseName = "this machine's registry (read only)";
    } else {
        toolkit::LoadDefaultBase(machine);
        input.baseName = "an empty machine with one logged-on profile";
    }
    return true;
}

// The options, one a paragraph; --live only where it is offered.
std::string OptionsText(bool liveOffered) {
    std::string text =
        "\n"
        "Checks a Keymason package data file before it touches a machine, and shows\n"
        "what Keymason would do with it. Nothing is written to any registry.\n"
        "\n"
        "  PACKAGE               lint only: one finding a line, in file order, as\n"
        "                        PACKAGE:LINE:FIELD: warning|error: text\n"
        "  --plan                lint, then run Keymason's own update pass over an\n"
        "                        in-memory registry and report each line's effect per\n"
        "                        root and per profile, then a summary\n"
        "  --base SNAPSHOT.reg   the registry to plan against, a .reg file read as\n"
        "                        reg import reads it (\"Windows Registry Editor\n"
        "                        Version 5.00\" or REGEDIT4, UTF-16LE or the ANSI\n"
        "                        code page); without it: an empty machine with one\n"
        "                        logged-on profile, S-1-5-21-1000000000-1000000000-\n"
        "                        1000000000-1001, ProfileImagePath C:\\Users\\User\n";
    if (liveOffered)
        text +=
            "  --live                plan against this machine's registry, read only:\n"
            "                        every key is opened for reading; hives of users who\n"
            "                        are not logged on are read with RegLoadAppKeyW (a\n"
            "                        private load that ends with its handle); a profile\n"
            "                        whose hive cannot be read is reported not inspected\n";
    text +=
        "  --default-profile     plan as under the machine policy IncludeDefaultProfile\n"
        "                        (which the base may hold): All Users lines outside\n"
        "                        Software\\Classes also reach the default profile\n"
        "  --out RESULT.reg      write the registry after the plan as a .reg file\n"
        "  --verify              plan against the base and exit 0 when the\n"
        "                        package would change nothing there (the machine\n"
        "                        already holds what it sets), 5 when it would, with\n"
        "                        each change listed as drift\n"
        "  --format FORMAT       text (the default), json (one document: findings,\n"
        "                        the plan's effects with old and new type and bytes,\n"
        "                        the summary, the drift) or sarif (SARIF 2.1.0 of the\n"
        "                        findings)\n"
        "  --help                this text\n"
        "  --version             Keymason's version\n";
    text += liveOffered ? "--base, --live, --default-profile, --out and --verify imply --plan.\n"
                        : "--base, --default-profile, --out and --verify imply --plan.\n";
    return text;
}

constexpr const char* kSnapshotAndExitText =
    "\n"
    "Snapshot: HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT and HKEY_USERS keys, as reg\n"
    "export writes them; the profile list is HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\\n"
    "Windows NT\\CurrentVersion\\ProfileList. A user is logged on when\n"
    "HKEY_USERS\\<SID> exists. The hive files of users who are not logged on are\n"
    "given as pseudo-keys below HKEY_USERS named \"HiveFile:\" and the file's path\n"
    "with / for \\, as Keymason composes it from ProfileImagePath, e.g.\n"
    "  [HKEY_USERS\\HiveFile:C:/Users/Administrator/NTUSER.DAT\\Software\\Vendor]\n"
    "  [HKEY_USERS\\HiveFile:C:/Users/Administrator/AppData/Local/Microsoft/Windows/UsrClass.dat]\n"
    "The pseudo-key's own values are those of the hive's top key. --out writes\n"
    "the same form, so a result can be the next base. The snapshot is read as\n"
    "reg import reads it: lines reg import skips are warnings (FILE:LINE:\n"
    "warning: text), removals remove what the file set before them, and\n"
    "HKEY_CURRENT_USER and HKEY_CURRENT_CONFIG keys are skipped.\n"
    "\n"
    "Exit codes:\n"
    "  0  no finding\n"
    "  1  warnings only\n"
    "  2  errors\n"
    "  3  the package or the base cannot be read, or the result cannot be written\n"
    "  4  wrong usage\n"
    "  5  --verify: the machine does not hold what the package sets (it would\n"
    "     change, a line cannot land) or that is unknown; 2, 3 and 4 outrank it\n";

}  // namespace

std::string HelpText(bool liveOffered) {
    char usage[256];
    std::snprintf(usage, sizeof usage, kUsage, liveOffered ? " | --live" : "", liveOffered ? " | --live" : "");
    return usage + OptionsText(liveOffered) + kSnapshotAndExitText;
}

namespace {

// Wrong usage and --help end the run before any file is read.
std::optional<int> UsageExit(const std::optional<Options>& options, const std::string& problem, bool liveOffered,
                             const toolkit::ToolEnvironment& env) {
    if (!options) {
        const std::string help = HelpText(liveOffered);
        *env.err += "keymason-check: " + problem + "\n" + help.substr(0, help.find("\n\n") + 1);
        return kExitUsage;
    }
    if (options->help) {
        *env.out += HelpText(liveOffered);
        return kExitClean;
    }
    if (options->version) {
        *env.out += std::string("keymason-check ") + KEYMASON_VERSION_TEXT + "\n";
        return kExitClean;
    }
    if (options->result) {
        const Text* input = toolkit::OutputOverwritesInput(
            env, *options->result, {&*options->package, options->base ? &*options->base : nullptr});
        if (input) {
            *env.err += "keymason-check: --out " + ToUtf8(*options->result) + " names the input " + ToUtf8(*input) +
                        ": it would be replaced\n";
            return kExitUsage;
        }
    }
    if (options->live && !liveOffered) {
        *env.err += "keymason-check: --live reads the Windows registry and is offered only on Windows\n";
        return kExitUsage;
    }
    return std::nullopt;
}

// Each step appends its report text to `text` (the one report of the run, so
// that a large report is never copied) and returns the exit code it adds.
int Lint(const std::string& packageName, const std::string& package, ReportInput& report, std::string& text) {
    report.findings = toolkit::LintPackage(package);
    for (const toolkit::Finding& f : report.findings)
        text.append(toolkit::FormatFinding(packageName, f)).append("\n");
    return toolkit::LintExitCode(report.findings);
}

// The plan's report, after a blank line where findings or base warnings stand
// before it. None when the base cannot be read or the result not written
// (said in err). The package is the plan's from here on. The report is handed
// on as it is made, unless a result file that may yet fail must take it back.
std::optional<int> Plan(const Options& options, const toolkit::ToolEnvironment& env, std::string&& package,
                        PlanDetails& details, ReportInput& report, std::string& text) {
    MemoryPlatform machine;
    PlanInput input;
    input.packageName = report.packageName;
    input.packageBytes = std::move(package);
    if (options.defaultProfile) input.defaultProfile = toolkit::DefaultProfile::Included;
    input.keep = options.format == Format::Json ? KeptEffects::All
                 : options.verify                ? KeptEffects::Changes
                                                 : KeptEffects::None;
    if (!LoadPlanBase(options, env, machine, input, text, report.baseWarnings, *env.err)) return std::nullopt;
    if (!report.findings.empty() || !report.baseWarnings.empty()) text += "\n";
    std::function<void()> passOn;
    if (options.format != Format::Text) passOn = [&text] { text.clear(); };  // a report nobody reads
    else if (!options.result) passOn = env.passOutOn;
    AppendPlan(input, machine, &details, text, passOn);
    if (options.result && !env.writeFile(*options.result, toolkit::FormatRegFile(toolkit::SnapshotSections(machine)))) {
        *env.err += "keymason-check: " + ToUtf8(*options.result) + ": cannot be written\n";
        return std::nullopt;
    }
    int code = kExitClean;
    if (!report.baseWarnings.empty()) code = kExitWarnings;
    // A pass that stopped before the last line leaves no plan: an error,
    // never a clean run.
    if (!details.made) code = kExitErrors;
    report.planned = true;
    report.baseName = input.baseName;
    report.plan = &details;
    return code;
}

// Drift against the base; `code` is the exit code of the steps before, and
// the one returned replaces it.
int Verify(const PlanDetails& details, int code, std::string& text) {
    const std::vector<const PlannedEffect*> drift = Drift(details);
    // Without a plan nothing is known of drift: never "would change nothing".
    text += !details.made                 ? "verify: no plan could be made: whether the package would "
                                            "change the machine is unknown\n"
            : !drift.empty()                 ? "verify: the package would change the machine\n"
            : !details.failures.empty()     ? "verify: a line cannot land, so the machine cannot hold what it sets\n"
            : !details.notInspected.empty() ? "verify: not every profile could be inspected\n"
                                            : "verify: the package would change nothing\n";
    for (const PlannedEffect* effect : drift) text += "  drift: " + DriftLine(*effect) + "\n";
    // A line that never lands is never complied with, however often it runs.
    for (const PlannedFailure& failure : details.failures)
        text += "  fails: line " + std::to_string(failure.line) + ": " + failure.scope + ": " +
                failure.reason + "\n";
    // A profile whose hives could not be read may hold drift nobody saw:
    // the machine is not known to comply.
    for (const std::string& scope : details.notInspected) text += "  unknown: " + scope + " was not inspected\n";
    const bool complies = drift.empty() && details.notInspected.empty() && details.failures.empty();
    // Errors in the package, or a plan that could not be read, say nothing about drift.
    if (!details.made) return std::max<int>(code, kExitErrors);
    return code < kExitErrors ? (complies ? kExitClean : kExitDrift) : code;
}

int RunCheckCommand(const std::vector<Text>& args, const toolkit::ToolEnvironment& env) {
    const bool liveOffered = static_cast<bool>(env.liveBase);
    std::string problem;
    const std::optional<Options> options = ParseOptions(args, &problem);
    if (const std::optional<int> code = UsageExit(options, problem, liveOffered, env)) return *code;

    ReportInput report;
    report.packageName = ToUtf8(*options->package);
    std::string package;
    if (!env.readFile(*options->package, &package)) {
        *env.err += "keymason-check: " + report.packageName + ": cannot be read\n";
        return kExitUnreadable;
    }
    // The text report is written straight into the output; the JSON and
    // SARIF reports are made from `report` instead.
    std::string unshown;
    std::string& text = options->format == Format::Text ? *env.out : unshown;
    const std::size_t start = text.size();
    int code = Lint(report.packageName, package, report, text);
    PlanDetails details;
    if (options->plan) {
        const std::optional<int> plan = Plan(*options, env, std::move(package), details, report, text);
        if (!plan) {
            text.resize(start);
            return kExitUnreadable;
        }
        code = std::max(code, *plan);
    }
    if (options->verify) {
        report.verify = true;
        code = Verify(details, code, text);
    }
    report.exitCode = code;
    if (options->format == Format::Json) AppendJsonReport(report, *env.out, env.passOutOn);
    if (options->format == Format::Sarif) *env.out += SarifReport(report);
    return code;
}

}  // namespace

int RunCheck(const std::vector<Text>& args, const toolkit::ToolEnvironment& env) {
    try {
        return RunCheckCommand(args, env);
    } catch (const std::bad_alloc&) {
        // A package or base too large to hold (2 GB of anything, on a 32-bit system).
        *env.err += "keymason-check: out of memory: an input is too large to hold\n";
        return kExitUnreadable;
    }
}

}  // namespace km::check
