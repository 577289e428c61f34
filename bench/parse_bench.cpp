// Parsing benchmark: ReadPackageFile (the file's bytes kept once, plus where
// each line starts) on a big package, against reading the same bytes alone
// and converting them to UTF-16.
//
//   keymason_parse_bench PACKAGE [ROUNDS]   every measurement, ROUNDS times each
//   keymason_parse_bench --one MODE PACKAGE one measurement in this process
//
// Each measurement runs in a process of its own, so the peak resident size
// (VmHWM) it reports belongs to it alone; the modes alternate within a round
// so that drifting load on the machine spreads over all of them.
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/disk_file_platform.h"
#include "engine/package_file.h"
#include "platform/text.h"

namespace {

using km::Text;

struct Mode {
    const char* name;
    const char* what;
    bool reference;
};

// In the order they run in each round and are printed.
const Mode kModes[] = {
    {"read", "reference: read the file's bytes", true},
    {"utf16", "reference: read, convert the whole file to UTF-16", true},
    {"split", "diagnostic: read, cut into lines, decode each (lines dropped)", false},
    {"parse", "ReadPackageFile: the bytes and a line index", false},
    {"decode", "diagnostic: ReadPackageFile, then every record decoded once (RecordReader)", false},
    {"parse-warm", "diagnostic: ReadPackageFile on a heap touched beforehand (no fresh pages)", false},
    {"touch", "diagnostic: write one byte in each page of the file's size, fresh", false},
};

struct Usage {
    double wall = 0, user = 0, sys = 0;
    long faults = 0;  // minor page faults: first touches of fresh pages
};

double Seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; }

double Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Peak resident set size of this process so far, in KiB.
long PeakKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

long FileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    return file ? long(file.tellg()) : -1;
}

// A plain decoder as the yardstick for conversion: no line handling, no
// checks beyond what decoding needs; bad bytes become U+FFFD.
std::u16string DecodeWhole(const std::string& bytes) {
    std::u16string out;
    out.resize(bytes.size());
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0, o = 0;
    while (i < n) {
        const unsigned c = in[i];
        if (c < 0x80) {
            out[o++] = char16_t(c);
            ++i;
            continue;
        }
        const unsigned need = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (need == 0 || i + need >= n) {
            out[o++] = 0xFFFD;
            ++i;
            continue;
        }
        char32_t cp = c & (0x3F >> need);
        for (unsigned k = 1; k <= need; ++k) cp = (cp << 6) | (in[i + k] & 0x3F);
        i += need + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out[o++] = char16_t(0xD800 + (cp >> 10));
            out[o++] = char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out[o++] = char16_t(cp);
        }
    }
    out.resize(o);
    return out;
}

std::size_t CountLines(const std::string& bytes) {
    std::size_t lines = std::size_t(std::count(bytes.begin(), bytes.end(), '\n'));
    if (!bytes.empty() && bytes.back() != '\n') ++lines;
    return lines;
}

// Makes the heap hand out pages that were touched already: allocations come
// from one heap that is never trimmed, and that heap is written over first.
// Shows what parsing costs without the first touch of fresh memory.
void PrefaultHeap(std::size_t bytes) {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, -1);
    mallopt(M_TOP_PAD, 0);
    char* block = static_cast<char*>(std::malloc(bytes));
    if (!block) return;
    std::memset(block, 1, bytes);
    asm volatile("" : : "r"(block) : "memory");  // keep the writes
    std::free(block);
}

Usage UsageNow() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return Usage{Now(), Seconds(r.ru_utime), Seconds(r.ru_stime), r.ru_minflt};
}

// The measured work of one mode. Everything it builds is leaked on purpose:
// the process ends right after, and tearing down is not what is measured.
// Returns the lines seen (0: count them afterwards), or -1 on failure.
struct Kept {
    const km::FileContents* file = nullptr;
    const km::PackageContents* package = nullptr;
};

long Work(const std::string& mode, km::Platform& sys, const km::Text& dataPath, Kept* kept) {
    if (mode == "parse" || mode == "parse-warm" || mode == "decode") {
        auto* package = new km::PackageContents(km::ReadPackageFile(sys, dataPath));
        kept->package = package;
        if (package->result != km::PackageReadResult::Opened) return -1;
        if (mode == "decode") {
            // What the pass adds to the read: each line decoded into the one
            // reused record, as it reaches the line.
            km::RecordReader reader(package->lines);
            std::size_t units = 0;
            for (std::size_t i = 0; i < package->lines.size(); ++i)
                units += reader.Read(i).keyPath.size();
            if (units == 0) return -1;
        }
        return long(package->lines.size());
    }
    if (mode == "touch") {
        // What the system charges for memory never touched before, with no
        // work on it: the yardstick for the fresh pages a parse needs.
        const std::size_t size = std::size_t(FileBytes(km::ToUtf8(dataPath)));
        auto* block = static_cast<char*>(std::malloc(size));
        if (!block) return -1;
        for (std::size_t i = 0; i < size; i += 4096) block[i] = 1;
        asm volatile("" : : "r"(block) : "memory");
        return 1;
    }
    auto* file = new km::FileContents(sys.ReadWholeFile(dataPath, km::kNoSizeLimit));
    kept->file = file;
    if (file->status != km::FileReadStatus::Read) return -1;
    long lines = 0;
    if (mode == "utf16") {
        auto* text = new std::u16string(DecodeWhole(file->bytes));
        if (text->empty() && !file->bytes.empty()) return -1;
    } else if (mode == "split") {
        std::size_t units = 0;
        km::SplitPackageLines(file->bytes, [&](km::TextView line) {
            ++lines;
            units += line.size();
        });
        if (units == 0 && lines > 1) return -1;
    } else if (mode != "read") {
        return -1;
    }
    return lines;
}

// One measurement; prints "seconds user sys faults lines peakKiB".
int RunOne(const std::string& mode, const std::string& path) {
    km::DiskFilePlatform sys;
    const km::Text dataPath = km::Widen(path);  // the bench's paths are ASCII
    if (mode == "parse-warm") PrefaultHeap(std::size_t(FileBytes(path)) * 2);

    Kept kept;
    const Usage before = UsageNow();
    long lines = Work(mode, sys, dataPath, &kept);
    const Usage after = UsageNow();
    if (lines < 0) return 2;
    if (lines == 0 && kept.file) lines = long(CountLines(kept.file->bytes));
    std::printf("%.6f %.6f %.6f %ld %ld %ld\n", after.wall - before.wall,
                after.user - before.user, after.sys - before.sys, after.faults - before.faults,
                lines, PeakKib());
    std::fflush(stdout);
    _exit(0);  // no teardown
}

struct Sample {
    double seconds = 0, user = 0, sys = 0;
    long faults = 0;
    std::size_t lines = 0;
    long peakKib = 0;
};

bool RunChild(const std::string& mode, const std::string& path, Sample* sample) {
    int out[2];
    if (pipe(out) != 0) return false;
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl("/proc/self/exe", "keymason_parse_bench", "--one", mode.c_str(), path.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
    std::istringstream fields(text);
    return bool(fields >> sample->seconds >> sample->user >> sample->sys >> sample->faults >>
                sample->lines >> sample->peakKib);
}

template <typename T>
T Median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double MedianSeconds(const std::vector<Sample>& runs) {
    std::vector<double> values;
    for (const Sample& s : runs) values.push_back(s.seconds);
    return Median(values);
}

long MedianPeak(const std::vector<Sample>& runs) {
    std::vector<long> values;
    for (const Sample& s : runs) values.push_back(s.peakKib);
    return Median(values);
}

template <typename Field>
double MedianOf(const std::vector<Sample>& runs, Field Sample::*field) {
    std::vector<double> values;
    for (const Sample& s : runs) values.push_back(double(s.*field));
    return Median(values);
}

int RunAll(const std::string& path, int rounds) {
    const long bytes = FileBytes(path);
    if (bytes < 0) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 2;
    }
    std::map<std::string, std::vector<Sample>> samples;
    for (int round = 0; round < rounds; ++round) {
        for (const Mode& mode : kModes) {
            Sample sample;
            if (!RunChild(mode.name, path, &sample)) {
                std::fprintf(stderr, "measurement %s failed\n", mode.name);
                return 1;
            }
            samples[mode.name].push_back(sample);
        }
    }

    const std::size_t lines = samples["parse"].front().lines;
    const double megabytes = double(bytes) / 1e6;
    std::printf("package: %s\n", path.c_str());
    std::printf("  %zu lines, %.1f MB (%.1f bytes a line); median of %d runs each,"
                " every run its own process\n\n",
                lines, megabytes, double(bytes) / double(lines), rounds);
    std::printf("  %-11s %8s %9s %7s %7s %7s %9s %9s   %s\n", "mode", "seconds", "Mlines/s",
                "MB/s", "user s", "sys s", "faults", "peak/file", "what");
    std::vector<std::string> problems;
    for (const Mode& mode : kModes) {
        const std::vector<Sample>& runs = samples[mode.name];
        for (const Sample& s : runs)
            if (s.lines != lines && std::strcmp(mode.name, "touch") != 0)
                problems.push_back(std::string(mode.name) + " saw a different line count");
        const double t = MedianSeconds(runs);
        const double peakBytes = double(MedianPeak(runs)) * 1024.0;
        if (std::strcmp(mode.name, "touch") == 0) {
            std::printf("  %-11s %8.3f %9s %7s %7.2f %7.2f %9ld %8.2fx   %s\n", mode.name, t, "",
                        "", MedianOf(runs, &Sample::user), MedianOf(runs, &Sample::sys),
                        long(MedianOf(runs, &Sample::faults)), peakBytes / double(bytes),
                        mode.what);
            continue;
        }
        std::printf("  %-11s %8.3f %9.3f %7.1f %7.2f %7.2f %9ld %8.2fx   %s\n", mode.name, t,
                    double(lines) / t / 1e6, megabytes / t, MedianOf(runs, &Sample::user),
                    MedianOf(runs, &Sample::sys), long(MedianOf(runs, &Sample::faults)),
                    peakBytes / double(bytes), mode.what);
    }

    const std::vector<Sample>& parse = samples["parse"];
    const std::vector<Sample>& read = samples["read"];
    const double toRead = MedianSeconds(parse) / MedianSeconds(read);
    std::vector<double> paired;
    for (std::size_t i = 0; i < parse.size() && i < read.size(); ++i)
        paired.push_back(parse[i].seconds / read[i].seconds);
    const double peakRatio = double(MedianPeak(parse)) * 1024.0 / double(bytes);

    // The line index: one offset a line (and one that ends the last line).
    const double indexBytes = double(lines + 1) * double(sizeof(std::size_t));
    const double perLine =
        double(MedianPeak(parse) - MedianPeak(read)) * 1024.0 / double(lines);
    std::printf("\n  memory beyond the file's bytes: %.1f bytes a line (peak against reading alone);"
                " the index is %zu bytes a line, %.1f MB\n",
                perLine, sizeof(std::size_t), indexBytes / 1e6);
    const double faultsCold = MedianOf(parse, &Sample::faults);
    const double faultsWarm = MedianOf(samples["parse-warm"], &Sample::faults);
    const double expected = (double(bytes) + indexBytes) / 4096.0;
    const double extra = MedianSeconds(parse) - MedianSeconds(samples["parse-warm"]);
    std::printf("  fresh pages: ReadPackageFile touches %.0f pages first (file + index: %.0f;"
                " reading alone: %.0f); it takes %.3f s longer than on a touched heap:"
                " %.1f us a page\n",
                faultsCold, expected, MedianOf(read, &Sample::faults), extra,
                extra * 1e6 / std::max(1.0, faultsCold - faultsWarm));
    const std::vector<Sample>& touch = samples["touch"];
    std::printf("  fresh pages alone: %.1f us a page (touch); decoding every record once adds"
                " %.3f s to the read (%.2f Mlines/s)\n",
                MedianSeconds(touch) * 1e6 / std::max(1.0, MedianOf(touch, &Sample::faults)),
                MedianSeconds(samples["decode"]) - MedianSeconds(parse),
                double(lines) / (MedianSeconds(samples["decode"]) - MedianSeconds(parse)) / 1e6);
    std::printf("  target: ReadPackageFile / reading the bytes alone, fresh process <= 1.5x:"
                " %.2fx (paired by round %.2fx)  %s\n",
                toRead, Median(paired), toRead <= 1.5 ? "met" : "MISSED");
    std::printf("  target: ReadPackageFile peak memory / file size <= 1.6x: %.2fx  %s\n",
                peakRatio, peakRatio <= 1.6 ? "met" : "MISSED");
    for (const std::string& problem : problems) std::printf("  problem: %s\n", problem.c_str());
    return problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--one") == 0) return RunOne(argv[2], argv[3]);
    if (argc == 2 || argc == 3) return RunAll(argv[1], argc == 3 ? std::atoi(argv[2]) : 5);
    std::fprintf(stderr, "usage: keymason_parse_bench PACKAGE [ROUNDS]\n"
                         "       keymason_parse_bench --one MODE PACKAGE\n");
    return 2;
}
