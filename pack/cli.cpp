#include "pack/cli.h"

#include <optional>

#include "check/lint.h"
#include "check/reg_file.h"
#include "engine/text.h"
#include "pack/from_reg.h"

namespace km::pack {

namespace {

struct Options {
    bool help = false;
    Text command;
    std::optional<Text> input;
    std::optional<Text> output;
    Text target = u"All Users";
};

std::optional<Options> ParseOptions(const std::vector<Text>& args, std::string* problem) {
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const Text& arg = args[i];
        auto value = [&](const char* name) -> std::optional<Text> {
            if (i + 1 >= args.size()) {
                *problem = std::string(name) + " needs a value";
                return std::nullopt;
            }
            return args[++i];
        };
        if (arg == u"--help" || arg == u"-h" || arg == u"/?") {
            o.help = true;
        } else if (arg == u"-o") {
            o.output = value("-o");
        } else if (arg == u"--target") {
            if (auto target = value("--target")) o.target = *target;
        } else if (!arg.empty() && arg[0] == u'-') {
            *problem = "unknown option " + ToUtf8(arg);
        } else if (o.command.empty()) {
            o.command = arg;
        } else if (!o.input) {
            o.input = arg;
        } else {
            *problem = "one .reg file at a time";
        }
        if (!problem->empty()) return std::nullopt;
    }
    return o;
}

int Usage(const PackEnvironment& env, const std::string& problem) {
    *env.err += "keymason-pack: " + problem + "\n" + PackHelpText();
    return kExitUsage;
}

int FromReg(const Options& o, const PackEnvironment& env) {
    const std::string inputName = ToUtf8(*o.input);
    std::string bytes;
    if (!env.readFile(*o.input, &bytes)) {
        *env.err += inputName + ": cannot be read\n";
        return kExitUnreadable;
    }
    check::RegFileError error;
    const std::optional<check::RegFile> file = check::ParseRegFile(bytes, &error);
    if (!file) {
        *env.err += inputName + ":" + std::to_string(error.line) + ": error: " + error.message + "\n";
        return kExitUnreadable;
    }
    const FromRegResult result = PackageFromReg(*file, o.target);
    for (const Finding& finding : result.refused)
        *env.err += inputName + ":" + std::to_string(finding.line) + ": error: " + finding.text +
                    "; left out\n";
    // Each line lints clean on its own; the package as a whole must too (a
    // single-account target, for one, reaches nobody without its group).
    for (const check::Diagnostic& d : check::LintPackage(result.package))
        if (d.severity == check::Severity::Error) {
            *env.err += "keymason-pack: the package would not apply as written: " +
                        check::FormatDiagnostic("package", d) + "\n";
            return kExitUsage;
        }
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

}  // namespace

std::string PackHelpText() {
    return "usage: keymason-pack from-reg FILE.reg [--target NAME] [-o PACKAGE]\n"
           "\n"
           "from-reg  writes a package that Keymason applies to the same result as\n"
           "          reg import of FILE.reg: HKEY_LOCAL_MACHINE\\SOFTWARE, \\SYSTEM and\n"
           "          HKEY_CLASSES_ROOT become machine lines, HKEY_CURRENT_USER per-user\n"
           "          lines for --target (default \"All Users\"). A change a package line\n"
           "          cannot carry exactly is left out, with its line and reason.\n"
           "\n"
           "exit codes: 0 written whole, 2 changes left out, 3 input unreadable or\n"
           "output unwritable, 4 wrong usage\n";
}

int RunPack(const std::vector<Text>& args, const PackEnvironment& env) {
    std::string problem;
    const std::optional<Options> o = ParseOptions(args, &problem);
    if (!o) return Usage(env, problem);
    if (o->help) {
        *env.out += PackHelpText();
        return kExitWritten;
    }
    if (o->command == u"from-reg") {
        if (!o->input) return Usage(env, "from-reg needs a .reg file");
        return FromReg(*o, env);
    }
    return Usage(env, o->command.empty() ? "no command" : "unknown command " + ToUtf8(o->command));
}

}  // namespace km::pack
