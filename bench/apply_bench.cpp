// Applying benchmark, run under wine64 (x86_64 build) or through WoW64 (i686
// build). In one process, alternating round by round, it times with
// QueryPerformanceCounter:
//   pass        the whole update pass (UpdateWorker) on the package;
//   reg import  reg.exe importing the same changes as a .reg file (the
//               process is started and waited for from here);
//   floor       the registry calls the pass made, made again in a bare loop;
// and, to split the figures: reading the package alone, and reg.exe on a
// .reg file without changes (its process start). The bench keys are removed
// before every run, so each starts from the same registry. Everything lands
// in the 64-bit view: the pass of a 32-bit build asks for it as Keymason.exe
// does under WoW64, and reg.exe is told /reg:64.
//
//   keymason_apply_bench PACKAGE REGFILE [ROUNDS]
//   keymason_apply_bench --program KEYMASON_EXE PACKAGE [ROUNDS]
//       the whole program's wall time against starting a process that does nothing
//   keymason_apply_bench --pass PACKAGE     one pass alone (to trace it)
//   keymason_apply_bench --noop
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/recording_platform.h"
#include "bench/registry_digest.h"
#include "bench/registry_replay.h"
#include "engine/package_file.h"
#include "engine/update_pass.h"
#include "platform/win32/win32_handle.h"
#include "platform/win32/win32_platform.h"

namespace {

using km::Text;

struct BenchKey {
    HKEY root;
    const wchar_t* path;
};

// Every key of the apply package lies below one of these (64-bit view).
const BenchKey kBenchKeys[] = {
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\KeymasonBench"},
    {HKEY_LOCAL_MACHINE, L"SYSTEM\\KeymasonBench"},
    {HKEY_CLASSES_ROOT, L"KeymasonBench.Classes"},
};

// Where the same keys lie in the 32-bit view: a 32-bit writer that forgot the
// 64-bit view would leave its changes here, and no run may.
const BenchKey kWrongViewKeys[] = {
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\KeymasonBench"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\Wow6432Node\\KeymasonBench.Classes"},
};

void RemoveBenchKeys() {
    for (const BenchKey& key : kBenchKeys) km::RemoveTree(key.root, key.path);
    for (const BenchKey& key : kWrongViewKeys) km::RemoveTree(key.root, key.path);
}

// Keys and values a run left in the 32-bit view.
std::size_t InWrongView() {
    km::RegistryDigest digest;
    for (const BenchKey& key : kWrongViewKeys) km::AddTree(key.root, key.path, &digest);
    return digest.keys + digest.values;
}

bool UnderWow64() {
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

// "x86_64 build under wine64 8.0", "i686 build under WoW64 (Wine 8.0)".
std::string BuildName() {
    using WineVersion = const char* (*)();
    const auto wineVersion = reinterpret_cast<WineVersion>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    const std::string wine = wineVersion ? std::string("Wine ") + wineVersion() : "Windows";
    if (sizeof(void*) == 8) return "x86_64 build under " + wine + " (64-bit)";
    return UnderWow64() ? "i686 build under WoW64 (" + wine + ")" : "i686 build (" + wine + ")";
}

km::RegistryDigest DigestBenchKeys(std::wstring* listing) {
    km::RegistryDigest digest;
    for (const BenchKey& key : kBenchKeys) km::AddTree(key.root, key.path, &digest, listing);
    return digest;
}

double Seconds() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return double(f.QuadPart);
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return double(now.QuadPart) / frequency;
}

Text ToText(const std::wstring& text) { return Text(text.begin(), text.end()); }

std::wstring FullPath(const wchar_t* path) {
    wchar_t buffer[MAX_PATH];
    const DWORD n = ::GetFullPathNameW(path, MAX_PATH, buffer, nullptr);
    return n > 0 && n < MAX_PATH ? std::wstring(buffer, n) : std::wstring(path);
}

std::wstring FolderOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

// The program a started process runs, and whether it is a 32-bit one under
// WoW64: a 32-bit caller asking for system32 gets syswow64's program.
std::wstring DescribeProcess(HANDLE process) {
    wchar_t image[MAX_PATH];
    DWORD size = MAX_PATH;
    std::wstring about =
        ::QueryFullProcessImageNameW(process, 0, image, &size) ? std::wstring(image, size) : L"?";
    BOOL wow64 = FALSE;
    if (::IsWow64Process(process, &wow64))
        about += wow64 ? L", a 32-bit process under WoW64" : L", a native process";
    return about;
}

// Starts a program with its output sent to NUL, waits for it and returns its
// exit code, or -1 when it could not be started. `about`, if given, receives
// what DescribeProcess says of it.
long RunProcess(const std::wstring& application, const std::wstring& commandLine,
                std::wstring* about = nullptr) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    km::UniqueFileHandle nul(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                           OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul.Get();
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE,
                          CREATE_NO_WINDOW, nullptr, nullptr, &startup, &started))
        return -1;
    km::UniqueKernelHandle process(started.hProcess);
    km::UniqueKernelHandle thread(started.hThread);
    if (about) *about = DescribeProcess(process.Get());
    ::WaitForSingleObject(process.Get(), INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process.Get(), &code);
    return long(code);
}

std::wstring SystemDirectory() {
    wchar_t buffer[MAX_PATH];
    const UINT n = ::GetSystemDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer, n);
}

// The 64-bit system folder, also for a 32-bit process under WoW64: system32
// would be redirected to syswow64 there, Sysnative is not.
std::wstring NativeSystemDirectory() {
    if (!UnderWow64()) return SystemDirectory();
    wchar_t buffer[MAX_PATH];
    const UINT n = ::GetWindowsDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer, n) + L"\\Sysnative";
}

bool WriteUtf16File(const std::wstring& path, const std::wstring& text) {
    km::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    const wchar_t bom = 0xFEFF;
    DWORD written = 0;
    return ::WriteFile(file.Get(), &bom, sizeof bom, &written, nullptr) &&
           ::WriteFile(file.Get(), text.data(), DWORD(text.size() * sizeof(wchar_t)), &written,
                       nullptr);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Minimum(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

struct Method {
    Method(const char* name, const char* what, std::function<bool()> run)
        : name(name), what(what), run(std::move(run)) {}
    const char* name;
    const char* what;
    std::function<bool()> run;  // false: the run failed
    std::vector<double> seconds;
};

// Runs every method once per round, the order turned by one each round.
bool RunRounds(std::vector<Method>& methods, int rounds, bool resetRegistry) {
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < methods.size(); ++i) {
            Method& method = methods[(i + std::size_t(round)) % methods.size()];
            if (resetRegistry) RemoveBenchKeys();
            const double start = Seconds();
            const bool ok = method.run();
            const double end = Seconds();
            if (!ok) {
                std::printf("run of %s failed\n", method.name);
                return false;
            }
            method.seconds.push_back(end - start);
        }
    }
    if (resetRegistry) RemoveBenchKeys();
    return true;
}

// unit names the rate column (runs of unitsPerRun each); empty leaves it out.
void PrintTable(const std::vector<Method>& methods, double unitsPerRun, const char* unit) {
    const bool rate = unit[0] != '\0';
    std::printf("  %-15s %10s %10s", "method", "median ms", "min ms");
    if (rate) std::printf(" %12s", unit);
    std::printf("   what\n");
    for (const Method& m : methods) {
        const double median = Median(m.seconds);
        std::printf("  %-15s %10.1f %10.1f", m.name, median * 1e3, Minimum(m.seconds) * 1e3);
        if (rate) std::printf(" %12.0f", unitsPerRun / median);
        std::printf("   %s\n", m.what);
    }
}

const Method& Find(const std::vector<Method>& methods, const char* name) {
    for (const Method& m : methods)
        if (std::strcmp(m.name, name) == 0) return m;
    return methods.front();
}

// The same round's runs side by side: ratios that drifting load cannot skew.
double PairedRatio(const Method& a, const Method& b) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a.seconds.size() && i < b.seconds.size(); ++i)
        ratios.push_back(a.seconds[i] / b.seconds[i]);
    return Median(ratios);
}

void WriteListing(const wchar_t* name, const std::wstring& folder, const std::wstring& listing) {
    const std::wstring path = folder + L"\\" + name;
    WriteUtf16File(path, listing);
    std::printf("    listing written to %ls\n", path.c_str());
}

// One whole update pass on the package, as Keymason.exe runs it with the
// package named on its command line.
bool RunPass(km::Platform& sys, const std::wstring& package) {
    km::RunState state;
    state.mode = km::PackageArgument;
    state.dataPath = ToText(package);
    // As Keymason.exe decides: a 32-bit build under WoW64 asks for the 64-bit view.
    state.isWow64 = UnderWow64() ? 1 : 0;
    km::UpdateWorker(sys, state);
    return state.done.load() == 1;
}

// The pass writes its run log into %APP_PATH%\logs.
void SetLogFolder(const std::wstring& folder) {
    ::SetEnvironmentVariableW(L"APP_PATH", folder.c_str());
    ::CreateDirectoryW((folder + L"\\logs").c_str(), nullptr);
}

int BenchApply(const std::wstring& package, const std::wstring& regFile, int rounds) {
    const std::wstring folder = FolderOf(package);
    SetLogFolder(folder);
    // The 64-bit reg.exe for both builds. Under WoW64 the 32-bit one (what a
    // 32-bit caller asking for system32 gets) cannot stand in: told /reg:64 it
    // writes keys and values in the 64-bit view, but Wine's reg import deletes a
    // [-key] by root and path alone, in the 32-bit view, so those removals
    // below HKLM\SOFTWARE miss. It is timed as a diagnostic only.
    const std::wstring regExe = NativeSystemDirectory() + L"\\reg.exe";
    const std::wstring regExe32 = SystemDirectory() + L"\\reg.exe";
    const bool wow64 = UnderWow64();
    const std::wstring emptyReg = folder + L"\\bench-empty.reg";
    if (!WriteUtf16File(emptyReg, L"Windows Registry Editor Version 5.00\r\n\r\n")) {
        std::printf("cannot write %ls\n", emptyReg.c_str());
        return 2;
    }

    // The 64-bit view, as the pass writes: a 32-bit reg.exe would otherwise
    // put HKLM\SOFTWARE's keys below Wow6432Node.
    std::wstring regAbout, reg32About;
    auto runRegImport = [&](const std::wstring& file) {
        return RunProcess(regExe, L"reg.exe import \"" + file + L"\" /reg:64", &regAbout) == 0;
    };
    auto runReg32Import = [&](const std::wstring& file) {
        return RunProcess(regExe32, L"reg.exe import \"" + file + L"\" /reg:64", &reg32About) == 0;
    };

    // Once, untimed: the pass records its calls for the floor, and each way
    // of applying must leave the same registry.
    RemoveBenchKeys();
    km::RecordingPlatform recorder;
    std::size_t lines = 0;
    {
        km::Win32Platform sys;
        const km::PackageContents read = km::ReadPackageFile(sys, ToText(package));
        if (read.result != km::PackageReadResult::Opened) {
            std::printf("cannot read %ls\n", package.c_str());
            return 2;
        }
        lines = read.lines.size();
    }
    std::map<std::string, std::size_t> wrongView;  // what each way left in the 32-bit view
    RunPass(recorder, package);
    const km::CallScript& script = recorder.Script();
    std::wstring passListing, regListing, floorListing;
    const km::RegistryDigest passDigest = DigestBenchKeys(&passListing);
    wrongView["the pass"] = InWrongView();
    RemoveBenchKeys();
    if (!runRegImport(regFile)) {
        std::printf("reg import %ls failed\n", regFile.c_str());
        return 2;
    }
    const km::RegistryDigest regDigest = DigestBenchKeys(&regListing);
    wrongView["reg import"] = InWrongView();
    RemoveBenchKeys();
    km::ReplayCalls(script);
    const km::RegistryDigest floorDigest = DigestBenchKeys(&floorListing);
    wrongView["the floor"] = InWrongView();
    RemoveBenchKeys();
    km::RegistryDigest reg32Digest;
    std::wstring reg32Listing;
    if (wow64) {
        if (!runReg32Import(regFile)) {
            std::printf("32-bit reg import %ls failed\n", regFile.c_str());
            return 2;
        }
        reg32Digest = DigestBenchKeys(&reg32Listing);
        wrongView["the 32-bit reg import"] = InWrongView();
        RemoveBenchKeys();
    }
    const km::CallScript keptScript = km::KeepKeysOpen(script);
    km::ReplayCalls(keptScript);
    const km::RegistryDigest keptDigest = DigestBenchKeys(nullptr);
    wrongView["the floor with keys kept open"] = InWrongView();
    RemoveBenchKeys();

    std::map<std::string, std::size_t> counts;
    for (const km::RegistryCall& call : script.calls) ++counts[km::SeamOpName(call.op)];
    std::printf("%s; package: %ls\n  reg import runs %ls, with /reg:64\n", BuildName().c_str(),
                package.c_str(), regAbout.c_str());
    std::printf("  %zu lines; the pass made %zu registry calls:", lines, script.calls.size());
    for (const auto& [name, count] : counts) std::printf(" %s %zu,", name.c_str(), count);
    std::printf("\n  result: %zu keys, %zu values\n", passDigest.keys, passDigest.values);
    bool same = true;
    if (recorder.Unrecorded() != 0) {
        std::printf("  problem: %d calls could not be recorded for the floor\n",
                    recorder.Unrecorded());
        same = false;
    }
    if (regDigest != passDigest) {
        std::printf("  problem: reg import left another registry (%zu keys, %zu values)\n",
                    regDigest.keys, regDigest.values);
        WriteListing(L"bench-reg-import.txt", folder, regListing);
        same = false;
    }
    if (floorDigest != passDigest) {
        std::printf("  problem: the floor left another registry (%zu keys, %zu values)\n",
                    floorDigest.keys, floorDigest.values);
        WriteListing(L"bench-floor.txt", folder, floorListing);
        same = false;
    }
    if (keptDigest != passDigest) {
        std::printf("  problem: the floor with keys kept open left another registry\n");
        same = false;
    }
    if (wow64 && reg32Digest != passDigest) {
        std::printf("  note: the 32-bit reg.exe (%ls) left another registry: %zu keys, %zu values;"
                    " timed as a diagnostic only\n",
                    reg32About.c_str(), reg32Digest.keys, reg32Digest.values);
        WriteListing(L"bench-reg32-import.txt", folder, reg32Listing);
    }
    for (const auto& [who, count] : wrongView) {
        if (count == 0) continue;
        std::printf("  problem: %s left %zu keys and values in the 32-bit view\n", who.c_str(),
                    count);
        same = false;
    }
    if (same)
        std::printf("  pass, reg import and floor leave the same registry, all in the 64-bit view\n");
    else
        WriteListing(L"bench-pass.txt", folder, passListing);

    std::vector<Method> methods = {
        {"pass", "UpdateWorker: log, read, parse, apply", [&] {
             km::Win32Platform sys;
             return RunPass(sys, package);
         }},
        {"reg import", "reg.exe import of the same changes, process started and waited for",
         [&] { return runRegImport(regFile); }},
        {"floor", "the pass's registry calls in a bare loop", [&] {
             km::ReplayCalls(script);
             return true;
         }},
        {"floor, kept", "diagnostic: the floor with a key kept open across lines on it", [&] {
             km::ReplayCalls(keptScript);
             return true;
         }},
        {"read", "part of the pass: ReadPackageFile alone", [&] {
             km::Win32Platform sys;
             return km::ReadPackageFile(sys, ToText(package)).result == km::PackageReadResult::Opened;
         }},
        {"reg no-op", "part of reg import: reg.exe import of a file without changes",
         [&] { return runRegImport(emptyReg); }},
    };
    if (wow64)
        methods.emplace_back("reg32 import", "diagnostic: the 32-bit reg.exe import /reg:64",
                             [&] { return runReg32Import(regFile); });
    if (!RunRounds(methods, rounds, true)) return 1;

    std::printf("\n  %d rounds, methods alternating; times in one process, QueryPerformanceCounter\n",
                rounds);
    PrintTable(methods, double(lines), "lines/s");
    const Method& pass = Find(methods, "pass");
    const Method& reg = Find(methods, "reg import");
    const Method& floor = Find(methods, "floor");
    const Method& read = Find(methods, "read");
    const Method& regNoop = Find(methods, "reg no-op");
    const double toReg = Median(pass.seconds) / Median(reg.seconds);
    const double toFloor = Median(pass.seconds) / Median(floor.seconds);
    std::printf("\n  pass / reg import: %.3f (medians), %.3f (paired by round)\n", toReg,
                PairedRatio(pass, reg));
    std::printf("  pass / floor:      %.3f (medians), %.3f (paired by round)\n", toFloor,
                PairedRatio(pass, floor));
    std::printf("  pass without reading / floor: %.3f; reg import without its process start / "
                "floor: %.3f\n",
                (Median(pass.seconds) - Median(read.seconds)) / Median(floor.seconds),
                (Median(reg.seconds) - Median(regNoop.seconds)) / Median(floor.seconds));
    std::printf("  per registry call: floor %.1f us, pass %.1f us; keeping keys open leaves %zu "
                "of the %zu calls, %.3f of the floor's time\n",
                Median(floor.seconds) * 1e6 / double(script.calls.size()),
                Median(pass.seconds) * 1e6 / double(script.calls.size()),
                keptScript.calls.size(), script.calls.size(),
                Median(Find(methods, "floor, kept").seconds) / Median(floor.seconds));
    std::printf("  check: pass <= 1.15 x floor: %.3f  %s\n", toFloor,
                toFloor <= 1.15 ? "met" : "MISSED");
    std::printf("  target: pass / reg import, %s <= 1.00: %.3f (paired by round %.3f)  %s\n",
                BuildName().c_str(), toReg, PairedRatio(pass, reg), toReg <= 1.0 ? "met" : "MISSED");
    return same ? 0 : 1;
}

// One pass and nothing else, for tracing its requests to the registry server.
int RunPassOnce(const std::wstring& package) {
    SetLogFolder(FolderOf(package));
    km::Win32Platform sys;
    return RunPass(sys, package) ? 0 : 1;
}

int BenchProgram(const std::wstring& keymason, const std::wstring& package, int rounds) {
    const std::wstring folder = FolderOf(package);
    SetLogFolder(folder);
    wchar_t self[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring selfPath(self, n);

    const std::wstring missing = folder + L"\\no-such-package.reg.dat";
    long keymasonExit = 0;
    std::vector<Method> methods = {
        {"Keymason.exe", "Keymason.exe PACKAGE, started and waited for", [&] {
             keymasonExit = RunProcess(keymason, L"Keymason.exe \"" + package + L"\"");
             return keymasonExit == 0;
         }},
        {"no package", "Keymason.exe on a missing file: start, hidden dialog, first tick, no pass",
         [&] { return RunProcess(keymason, L"Keymason.exe \"" + missing + L"\"") == 1; }},
        {"no-op process", "a program that ends at once, started and waited for",
         [&] { return RunProcess(selfPath, L"keymason_apply_bench.exe --noop") == 0; }},
        {"pass alone", "the update pass on the package, in this process", [&] {
             km::Win32Platform sys;
             return RunPass(sys, package);
         }},
    };
    RemoveBenchKeys();
    if (!RunRounds(methods, rounds, true)) {
        std::printf("Keymason.exe exit code %ld\n", keymasonExit);
        return 1;
    }
    const Method& program = methods[0];
    const Method& noPackage = methods[1];
    const Method& noop = methods[2];
    const Method& passAlone = methods[3];
    std::printf("program: %ls on %ls\n  %d rounds, alternating\n", keymason.c_str(),
                package.c_str(), rounds);
    PrintTable(methods, 0, "");
    const double tickFloor = Median(noop.seconds) + 1.0;
    std::printf("\n  floor: process start %.1f ms + first timer tick 1000 ms = %.1f ms\n",
                Median(noop.seconds) * 1e3, tickFloor * 1e3);
    std::printf("  Keymason.exe / floor: %.3f (%.1f ms above it)\n",
                Median(program.seconds) / tickFloor,
                (Median(program.seconds) - tickFloor) * 1e3);
    std::vector<double> added;
    for (std::size_t i = 0; i < program.seconds.size(); ++i)
        added.push_back(program.seconds[i] - noPackage.seconds[i]);
    std::printf("  Keymason.exe on a missing file / floor: %.3f; the package adds %.1f ms"
                " (median of the rounds' differences)\n",
                Median(noPackage.seconds) / tickFloor, Median(added) * 1e3);
    std::printf("  the pass itself takes %.1f ms of it\n", Median(passAlone.seconds) * 1e3);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wcscmp(argv[1], L"--noop") == 0) return 0;
    if (argc == 3 && std::wcscmp(argv[1], L"--pass") == 0) return RunPassOnce(FullPath(argv[2]));
    if ((argc == 4 || argc == 5) && std::wcscmp(argv[1], L"--program") == 0)
        return BenchProgram(FullPath(argv[2]), FullPath(argv[3]),
                            argc == 5 ? _wtoi(argv[4]) : 7);
    if (argc == 3 || argc == 4)
        return BenchApply(FullPath(argv[1]), FullPath(argv[2]), argc == 4 ? _wtoi(argv[3]) : 7);
    std::printf("usage: keymason_apply_bench PACKAGE REGFILE [ROUNDS]\n"
                "       keymason_apply_bench --program KEYMASON_EXE PACKAGE [ROUNDS]\n");
    return 2;
}
