// A platform on which every call fails and which only remembers the first
// key that was opened or created: it tells, without changing anything,
// where the engine would act for one record and one profile.
#pragma once

#include <optional>

#include "check/observed_platform.h"

namespace km::check {

class ProbePlatform : public Platform {
public:
    // The first open or create: its root and its path as passed.
    std::optional<KeyLocation> firstKey;

    bool RegOpenKeyExW(RegKey key, const Text& subKey, std::uint32_t, std::uint32_t, RegKey* result) override {
        return Note(key, subKey, result);
    }
    bool RegCreateKeyExW(RegKey key, const Text& subKey, std::uint32_t, std::uint32_t, std::uint32_t,
                         const SecurityAttributes*, RegKey* result) override {
        return Note(key, subKey, result);
    }
    bool RegDeleteTreeW(RegKey, const Text*) override { return false; }
    bool RegDeleteKeyExW(RegKey, const Text&, std::uint32_t, std::uint32_t) override { return false; }
    bool RegSetValueExW(RegKey, const Text&, std::uint32_t, std::uint32_t, const std::uint8_t*,
                        std::uint32_t) override {
        return false;
    }
    bool RegDeleteKeyValueW(RegKey, const Text*, const Text&) override { return false; }
    bool RegQueryInfoKeyW(RegKey, std::uint32_t*) override { return false; }
    bool RegEnumKeyExW(RegKey, std::uint32_t, std::uint32_t, Text*) override { return false; }
    bool RegQueryValueExW(RegKey, const Text&, std::uint32_t*, Bytes*) override { return false; }
    bool RegCloseKey(RegKey) override { return true; }
    bool CreateProcessW(const Text&, const Text&, bool, std::uint32_t, const StartupInfo&,
                        ProcessHandle* process) override {
        if (process) *process = 0;
        return false;
    }
    WaitResult WaitForProcess(ProcessHandle, std::uint32_t) override { return WaitResult::Failed; }
    void CloseProcess(ProcessHandle) override {}
    Text GetSystemDirectoryW() override { return Text(); }
    LocalTime GetLocalTime() override { return LocalTime(); }
    bool ExpandEnvironmentStringsW(const Text&, Text*) override { return false; }
    bool GetShortPathNameW(const Text&, Text*) override { return false; }
    FileContents ReadWholeFile(const Text&) override { return FileContents(); }
    bool AppendToFile(const Text&, std::string_view) override { return false; }
    bool PathExists(const Text&) override { return false; }
    std::optional<std::uint64_t> GetOwnFileVersion() override { return std::nullopt; }
    PolicyValue QueryPolicyValue(const Text&, const Text&) override { return PolicyValue(); }
    SignatureFacts InspectDetachedSignature(std::string_view, std::string_view) override {
        return SignatureFacts();
    }
    PublisherTrust QueryPublisherTrust(const Bytes&, const std::vector<Bytes>&) override {
        return PublisherTrust();
    }

private:
    bool Note(RegKey key, const Text& subKey, RegKey* result) {
        if (result) *result = 0;
        if (!firstKey) firstKey = KeyLocation{key, subKey};
        return false;
    }
};

}  // namespace km::check
