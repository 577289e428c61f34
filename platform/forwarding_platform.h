// A platform that passes every call on to another one: the base of the
// platforms that wrap another to watch or record what goes through the seam.
// A new seam call is forwarded here once; a wrapper overrides only the calls
// it watches.
#pragma once

#include "platform/platform.h"

namespace km {

class ForwardingPlatform : public Platform {
public:
    explicit ForwardingPlatform(Platform& inner) : inner_(inner) {}
    // A copy would forward past the wrapper it was copied from; a wrapper of
    // a wrapper names it as a Platform.
    ForwardingPlatform(const ForwardingPlatform&) = delete;
    ForwardingPlatform& operator=(const ForwardingPlatform&) = delete;

    bool RegOpenKeyExW(RegKey key, const Text& subKey, std::uint32_t options, std::uint32_t samDesired,
                       RegKey* result) override {
        return inner_.RegOpenKeyExW(key, subKey, options, samDesired, result);
    }
    bool RegCreateKeyExW(RegKey key, const Text& subKey, std::uint32_t reserved, std::uint32_t options,
                         std::uint32_t samDesired, const SecurityAttributes* attributes,
                         RegKey* result) override {
        return inner_.RegCreateKeyExW(key, subKey, reserved, options, samDesired, attributes, result);
    }
    bool RegDeleteTreeW(RegKey key, const Text* subKey) override { return inner_.RegDeleteTreeW(key, subKey); }
    bool RegDeleteKeyExW(RegKey key, const Text& subKey, std::uint32_t samDesired,
                         std::uint32_t reserved) override {
        return inner_.RegDeleteKeyExW(key, subKey, samDesired, reserved);
    }
    bool RegSetValueExW(RegKey key, const Text& valueName, std::uint32_t reserved, std::uint32_t type,
                        const std::uint8_t* data, std::uint32_t size) override {
        return inner_.RegSetValueExW(key, valueName, reserved, type, data, size);
    }
    bool RegDeleteKeyValueW(RegKey key, const Text* subKey, const Text& valueName) override {
        return inner_.RegDeleteKeyValueW(key, subKey, valueName);
    }
    bool RegQueryInfoKeyW(RegKey key, std::uint32_t* subKeys) override {
        return inner_.RegQueryInfoKeyW(key, subKeys);
    }
    bool RegEnumKeyExW(RegKey key, std::uint32_t index, std::uint32_t nameCapacity, Text* name) override {
        return inner_.RegEnumKeyExW(key, index, nameCapacity, name);
    }
    bool RegQueryValueExW(RegKey key, const Text& valueName, std::uint32_t* type, Bytes* data) override {
        return inner_.RegQueryValueExW(key, valueName, type, data);
    }
    bool RegCloseKey(RegKey key) override { return inner_.RegCloseKey(key); }

    bool CreateProcessW(const Text& applicationName, const Text& commandLine, bool inheritHandles,
                        std::uint32_t creationFlags, const StartupInfo& startup,
                        ProcessHandle* process) override {
        return inner_.CreateProcessW(applicationName, commandLine, inheritHandles, creationFlags, startup,
                                     process);
    }
    WaitResult WaitForProcess(ProcessHandle process, std::uint32_t timeoutMs) override {
        return inner_.WaitForProcess(process, timeoutMs);
    }
    void CloseProcess(ProcessHandle process) override { inner_.CloseProcess(process); }
    Text GetSystemDirectoryW() override { return inner_.GetSystemDirectoryW(); }

    LocalTime GetLocalTime() override { return inner_.GetLocalTime(); }
    bool ExpandEnvironmentStringsW(const Text& source, Text* expanded) override {
        return inner_.ExpandEnvironmentStringsW(source, expanded);
    }
    bool GetShortPathNameW(const Text& longPath, Text* shortPath) override {
        return inner_.GetShortPathNameW(longPath, shortPath);
    }

    FileContents ReadWholeFile(const Text& path, std::uint64_t limit) override {
        return inner_.ReadWholeFile(path, limit);
    }
    bool AppendToFile(const Text& path, std::string_view bytes) override {
        return inner_.AppendToFile(path, bytes);
    }
    bool PathExists(const Text& path) override { return inner_.PathExists(path); }

    std::optional<std::uint64_t> GetOwnFileVersion() override { return inner_.GetOwnFileVersion(); }

    PolicyValue QueryPolicyValue(const Text& keyPath, const Text& valueName) override {
        return inner_.QueryPolicyValue(keyPath, valueName);
    }
    SignatureFacts InspectDetachedSignature(std::string_view content, std::string_view signature,
                                            std::uint32_t certificateLimit) override {
        return inner_.InspectDetachedSignature(content, signature, certificateLimit);
    }
    PublisherTrust QueryPublisherTrust(const Bytes& signer, const std::vector<Bytes>& certificates) override {
        return inner_.QueryPublisherTrust(signer, certificates);
    }

private:
    Platform& inner_;
};

}  // namespace km
