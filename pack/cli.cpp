#include "pack/cli.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "toolkit/lint.h"
#include "toolkit/reg_file.h"
#include "platform/text.h"
#include "toolkit/snapshot.h"
#include "engine/package_language.h"
#include "pack/capture.h"
#include "pack/default_exclusions.h"
#include "pack/from_reg.h"
#include "pack/undo.h"

namespace km::pack {

namespace {

struct Options {
    bool help = false;
    bool version = false;
    bool live = false;
    std::optional<Text> base;
    std::optional<Text> reg;
    Text command;
    std::optional<Text> input;
    std::optional<Text> after;  // capture's second snapshot
    std::optional<Text> output;
    std::optional<Text> user;
    std::vector<Text> exclusions;
    bool defaultExclusions = true;
    Text target = Text(kAllUsersTarget);
    bool targetGiven = false;
};

std::optional<Options> ParseOptions(const std::vector<Text>& args, std::string* problem) {
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const Text& arg = args[i];
        auto value = [&](const char* name, bool given) -> std::optional<Text> {
            if (given) {
                *problem = std::string(name) + " given twice";
                return std::nullopt;
            }
            if (i + 1 >= args.size()) {
                *problem = std::string(name) + " needs a value";
                return std::nullopt;
            }
            return args[++i];
        };
        if (arg == u"--help" || arg == u"-h" || arg == u"/?") {
            o.help = true;
        } else if (arg == u"--version") {
            o.version = true;
        } else if (arg == u"-o") {
            o.output = value("-o", o.output.has_value());
        } else if (arg == u"--base") {
            o.base = value("--base", o.base.has_value());
        } else if (arg == u"--reg") {
            o.reg = value("--reg", o.reg.has_value());
        } else if (arg == u"--user") {
            o.user = value("--user", o.user.has_value());
        } else if (arg == u"--exclude") {
            if (auto key = value("--exclude", false)) o.exclusions.push_back(*key);
        } else if (arg == u"--no-default-exclusions") {
            o.defaultExclusions = false;
        } else if (arg == u"--live") {
            o.live = true;
        } else if (arg == u"--target") {
            if (auto target = value("--target", o.targetGiven)) o.target = *target;
            o.targetGiven = true;
        } else if (!arg.empty() && arg[0] == u'-') {
            *problem = "unknown option " + ToUtf8(arg);
        } else if (o.command.empty()) {
            o.command = arg;
        } else if (!o.input) {
            o.input = arg;
        } else if (o.command == u"capture" && !o.after) {
            o.after = arg;
        } else {
            *problem = "one input file at a time";
        }
        if (!problem->empty()) return std::nullopt;
    }
    return o;
}

int Usage(const toolkit::ToolEnvironment& env, const std::string& problem) {
    *env.err += "keymason-pack: " + problem + "\n" + PackHelpText();
    return kExitUsage;
}

// Each line lints clean on its own; the package as a whole must too (a
// single-account target, for one, reaches nobody without its group).
bool LintsClean(const std::string& package, const toolkit::ToolEnvironment& env) {
    for (const toolkit::Finding& d : toolkit::LintPackage(package))
        if (d.severity == toolkit::Severity::Error) {
            *env.err +=
                "keymason-pack: the package would not apply as written: " + toolkit::FormatFinding("package", d) + "\n";
            return false;
        }
    return true;
}

int FromReg(const Options& o, const toolkit::ToolEnvironment& env) {
    const std::string inputName = ToUtf8(*o.input);
    std::string bytes;
    if (!env.readFile(*o.input, &bytes)) {
        *env.err += inputName + ": cannot be read\n";
        return kExitUnreadable;
    }
    toolkit::RegFileError error;
    // Each form of a large input is let go once the next is made.
    std::optional<toolkit::RegFile> file = toolkit::ParseRegFile(std::move(bytes), &error);
    if (!file) {
        *env.err += inputName + ":" + std::to_string(error.line) + ": error: " + error.message + "\n";
        return kExitUnreadable;
    }
    // What reg import skips is skipped here too: the result stays the same.
    for (const toolkit::RegFileError& skipped : file->skipped)
        *env.err += inputName + ":" + std::to_string(skipped.line) + ": warning: " + skipped.message +
                    (skipped.readAltered ? " (and so does this package)\n" : " (reg import skips it too)\n");
    const FromRegResult result = PackageFromReg(*file, o.target);
    file.reset();
    for (const Refusal& refusal : result.refused)
        *env.err += inputName + ":" + std::to_string(refusal.line) + ": error: " + refusal.text + "; left out\n";
    if (!LintsClean(result.package, env)) return kExitUsage;
    if (o.output) {
        if (!env.writeFile(*o.output, result.package)) {
            *env.err += ToUtf8(*o.output) + ": cannot be written\n";
            return kExitUnreadable;
        }
    } else {
        *env.out += result.package;
    }
    return result.refused.empty() ? kExitWritten : kExitLeftOut;
}

int Undo(const Options& o, const toolkit::ToolEnvironment& env) {
    if (o.live == o.base.has_value()) return Usage(env, "undo needs either --base SNAPSHOT.reg or --live");
    if (o.live && !env.liveBase) return Usage(env, "--live reads this machine's registry: only on Windows");
    if (!o.output) return Usage(env, "undo needs -o UNDO.reg.dat");
    std::string package;
    if (!env.readFile(*o.input, &package)) {
        *env.err += ToUtf8(*o.input) + ": cannot be read\n";
        return kExitUnreadable;
    }
    MemoryPlatform base;
    if (o.base) {
        std::string bytes;
        if (!env.readFile(*o.base, &bytes)) {
            *env.err += ToUtf8(*o.base) + ": cannot be read\n";
            return kExitUnreadable;
        }
        toolkit::RegFileError error;
        std::optional<toolkit::RegFile> file = toolkit::ParseRegFile(std::move(bytes), &error);
        if (!file || !toolkit::LoadSnapshot(std::move(*file), base, &error)) {
            *env.err += ToUtf8(*o.base) + ":" + std::to_string(error.line) + ": error: " + error.message + "\n";
            return kExitUnreadable;
        }
    } else if (!env.liveBase(toolkit::LiveBaseRequest{&base, nullptr})) {
        *env.err += "keymason-pack: this machine's registry cannot be read\n";
        return kExitUnreadable;
    }
    const UndoResult undo = PlanUndoIn(base, package);
    if (!undo.notMade.empty()) {
        *env.err += "keymason-pack: no undo could be made: " + undo.notMade + "\n";
        return kExitUnreadable;
    }
    if (!LintsClean(undo.package, env)) return kExitUsage;
    for (const std::string& note : undo.notes) *env.err += "note: " + note + "\n";
    for (const std::string& item : undo.unrestorable) *env.err += "error: cannot put back " + item + "\n";
    if (!env.writeFile(*o.output, undo.package)) {
        *env.err += ToUtf8(*o.output) + ": cannot be written\n";
        return kExitUnreadable;
    }
    if (o.reg && !env.writeFile(*o.reg, toolkit::FormatRegFile(undo.regFile))) {
        *env.err += ToUtf8(*o.reg) + ": cannot be written\n";
        return kExitUnreadable;
    }
    return undo.unrestorable.empty() ? kExitWritten : kExitLeftOut;
}

// A capture side's files: one path, or several joined by ';'.
std::vector<Text> SideFiles(const Text& side) {
    std::vector<Text> files;
    for (std::size_t begin = 0; begin <= side.size();) {
        const std::size_t cut = std::min(side.find(u';', begin), side.size());
        if (cut > begin) files.push_back(side.substr(begin, cut - begin));
        begin = cut + 1;
    }
    return files;
}

// One side of a capture, its files laid into one registry in turn.
bool ReadSide(const Text& side, const CaptureOptions& options, MemoryPlatform& into,
              const toolkit::ToolEnvironment& env) {
    for (const Text& path : SideFiles(side)) {
        const std::string name = ToUtf8(path);
        std::optional<toolkit::RegFile> file;
        toolkit::RegFileError error;
        {
            std::string bytes;  // let go of once read
            if (!env.readFile(path, &bytes)) {
                *env.err += name + ": cannot be read\n";
                return false;
            }
            file = toolkit::ParseRegFile(std::move(bytes), &error);
        }
        if (!file) {
            *env.err += name + ":" + std::to_string(error.line) + ": error: " + error.message + "\n";
            return false;
        }
        std::vector<toolkit::RegFileError> warnings = std::move(file->skipped);
        LoadCaptureSide(std::move(*file), options, into, &warnings);
        for (const toolkit::RegFileError& w : warnings)
            *env.err += name + (w.line ? ":" + std::to_string(w.line) : std::string()) + ": warning: " + w.message + "\n";
    }
    return true;
}

int CaptureCommand(const Options& o, const toolkit::ToolEnvironment& env) {
    CaptureOptions options;
    options.target = o.target;
    options.user = o.user;
    if (o.defaultExclusions)
        for (const DefaultExclusion& e : kDefaultExclusions) options.exclusions.push_back(Exclusion{Text(e.key), 0});
    for (const Text& key : o.exclusions) {
        if (const std::string problem = ExclusionProblem(key, options); !problem.empty())
            return Usage(env, "--exclude " + problem);
        options.exclusions.push_back(Exclusion{key, 0});
    }
    MemoryPlatform before, after;
    if (!ReadSide(*o.input, options, before, env) || !ReadSide(*o.after, options, after, env)) return kExitUnreadable;
    const CaptureResult result = Capture(before, after, options);
    for (const Exclusion& e : result.excluded)
        if (e.changes)
            *env.err += "excluded: " + std::to_string(e.changes) + (e.changes == 1 ? " change" : " changes") +
                        " below " + ToUtf8(e.key) + "\n";
    for (const std::string& item : result.refused) *env.err += "error: " + item + "; left out\n";
    if (!LintsClean(result.package, env)) return kExitUsage;
    if (!o.output) *env.out += result.package;
    else if (!env.writeFile(*o.output, result.package)) {
        *env.err += ToUtf8(*o.output) + ": cannot be written\n";
        return kExitUnreadable;
    }
    return result.refused.empty() ? kExitWritten : kExitLeftOut;
}

// Why --target names no one a line can reach; empty where it names someone.
std::string TargetProblem(const Text& target) {
    const std::string why = toolkit::WhyNotAnAccount(target);
    if (GroupTarget(target) || why.empty()) return std::string();
    return "--target \"" + ToUtf8(target) + "\" names no profile group and no account a line can target: it " + why;
}

int RunPackCommand(const std::vector<Text>& args, const toolkit::ToolEnvironment& env) {
    std::string problem;
    const std::optional<Options> o = ParseOptions(args, &problem);
    if (!o) return Usage(env, problem);
    if (o->help) {
        *env.out += PackHelpText();
        return kExitWritten;
    }
    if (o->version) {
        *env.out += std::string("keymason-pack ") + KEYMASON_VERSION_TEXT + "\n";
        return kExitWritten;
    }
    // Nothing is read before an output is known not to replace an input.
    std::vector<Text> inputFiles;
    if (o->command == u"capture")
        for (const std::optional<Text>* side : {&o->input, &o->after})
            for (const Text& file : *side ? SideFiles(**side) : std::vector<Text>()) inputFiles.push_back(file);
    else if (o->input) inputFiles.push_back(*o->input);
    if (o->base) inputFiles.push_back(*o->base);
    std::vector<const Text*> inputs;
    for (const Text& file : inputFiles) inputs.push_back(&file);
    for (const std::optional<Text>* output : {&o->output, &o->reg}) {
        if (!*output) continue;
        if (const Text* input = toolkit::OutputOverwritesInput(env, **output, inputs))
            return Usage(env, ToUtf8(**output) + " names the input " + ToUtf8(*input) + ": it would be replaced");
    }
    if (o->command != u"capture" && (o->user || !o->exclusions.empty() || !o->defaultExclusions))
        return Usage(env, "only capture takes --user, --exclude or --no-default-exclusions");
    if (o->command == u"capture") {
        if (!o->after) return Usage(env, "capture needs BEFORE and AFTER snapshots");
        if (o->reg || o->base || o->live) return Usage(env, "capture takes no --reg, --base or --live");
        if (o->user && (o->user->empty() || o->user->find(u'\\') != Text::npos))
            return Usage(env, "--user names one key below HKEY_USERS, a profile's SID");
        if (const std::string problem = TargetProblem(o->target); !problem.empty()) return Usage(env, problem);
        return CaptureCommand(*o, env);
    }
    if (o->command == u"from-reg") {
        if (!o->input) return Usage(env, "from-reg needs a .reg file");
        if (o->reg || o->base || o->live) return Usage(env, "from-reg takes no --reg, --base or --live");
        if (const std::string problem = TargetProblem(o->target); !problem.empty()) return Usage(env, problem);
        return FromReg(*o, env);
    }
    if (o->command == u"undo") {
        if (!o->input) return Usage(env, "undo needs the package");
        if (o->targetGiven) return Usage(env, "undo takes no --target: it reaches each profile as a package can");
        if (o->output && o->reg && toolkit::OutputOverwritesInput(env, *o->output, {&*o->reg}))
            return Usage(env, "-o and --reg name one file");
        return Undo(*o, env);
    }
    return Usage(env, o->command.empty() ? "no command" : "unknown command " + ToUtf8(o->command));
}

}  // namespace

std::string PackHelpText() {
    return "usage: keymason-pack from-reg FILE.reg [--target NAME] [-o PACKAGE]\n"
           "       keymason-pack capture BEFORE AFTER [--target NAME] [--user SID] [-o PACKAGE]\n"
           "                     [--exclude KEY]... [--no-default-exclusions]\n"
           "       keymason-pack undo (--base SNAPSHOT.reg | --live) PACKAGE -o UNDO.reg.dat [--reg UNDO.reg]\n"
           "       keymason-pack --version\n"
           "\n"
           "from-reg  writes a package that Keymason applies to the same result as\n"
           "          reg import of FILE.reg: HKEY_LOCAL_MACHINE\\SOFTWARE, \\SYSTEM and\n"
           "          HKEY_CLASSES_ROOT become machine lines, HKEY_CURRENT_USER per-user\n"
           "          lines for --target (default \"" + ToUtf8(kAllUsersTarget) + "\"). A change a package line\n"
           "          cannot carry exactly is left out, with its line and reason.\n"
           "\n"
           "capture   writes the package that takes a machine from the snapshot BEFORE\n"
           "          to AFTER (each a .reg file, or several joined by ';', as reg\n"
           "          export or regedit writes them). HKEY_CURRENT_USER, or with --user\n"
           "          HKEY_USERS\\SID, becomes per-user lines for --target. Keys that\n"
           "          change by themselves on any machine are left out, and so is each\n"
           "          --exclude KEY with its subtree (--no-default-exclusions: only\n"
           "          those); what they leave out is counted. capture AFTER BEFORE\n"
           "          writes the undo.\n"
           "\n"
           "undo      before PACKAGE runs, writes a package that puts back all it will\n"
           "          change, machine-wide and in every profile it reaches (--live: this\n"
           "          machine, read only, on Windows). --reg also writes it as a .reg file\n"
           "          for reg import: HKLM, HKCR and the HKEY_USERS of logged-on users.\n"
           "          Each item that cannot be put back exactly is named.\n"
           "\n"
           "exit codes: 0 written whole, 2 changes left out, 3 input unreadable or\n"
           "output unwritable, 4 wrong usage\n";
}

int RunPack(const std::vector<Text>& args, const toolkit::ToolEnvironment& env) {
    try {
        return RunPackCommand(args, env);
    } catch (const std::bad_alloc&) {
        // A file too large to hold (2 GB of anything, on a 32-bit system).
        *env.err += "keymason-pack: out of memory: an input is too large to hold\n";
        return kExitUnreadable;
    }
}

}  // namespace km::pack
