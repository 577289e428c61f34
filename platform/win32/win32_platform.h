// The platform seam bound to the real Win32 API. Each method is a thin call
// into the system; texts pass through as UTF-16 without conversion.
#pragma once

#include "platform/platform.h"

namespace km {

class Win32Platform : public Platform {
public:
    bool RegOpenKeyExW(RegKey key, const Text& subKey, std::uint32_t options,
                       std::uint32_t samDesired, RegKey* result) override;
    bool RegCreateKeyExW(RegKey key, const Text& subKey, std::uint32_t reserved,
                         std::uint32_t options, std::uint32_t samDesired,
                         const SecurityAttributes* attributes, RegKey* result) override;
    bool RegDeleteTreeW(RegKey key, const Text* subKey) override;
    bool RegDeleteKeyExW(RegKey key, const Text& subKey, std::uint32_t samDesired,
                         std::uint32_t reserved) override;
    bool RegSetValueExW(RegKey key, const Text& valueName, std::uint32_t reserved,
                        std::uint32_t type, const std::uint8_t* data,
                        std::uint32_t size) override;
    bool RegDeleteKeyValueW(RegKey key, const Text* subKey, const Text& valueName) override;
    bool RegQueryInfoKeyW(RegKey key, std::uint32_t* subKeys) override;
    bool RegEnumKeyExW(RegKey key, std::uint32_t index, std::uint32_t nameCapacity,
                       Text* name) override;
    bool RegQueryValueExW(RegKey key, const Text& valueName, std::uint32_t* type,
                          Bytes* data) override;
    bool RegCloseKey(RegKey key) override;

    bool CreateProcessW(const Text& applicationName, const Text& commandLine,
                        bool inheritHandles, std::uint32_t creationFlags,
                        const StartupInfo& startup, ProcessHandle* process) override;
    WaitResult WaitForProcess(ProcessHandle process, std::uint32_t timeoutMs) override;
    void CloseProcess(ProcessHandle process) override;
    Text GetSystemDirectoryW() override;

    LocalTime GetLocalTime() override;
    bool ExpandEnvironmentStringsW(const Text& source, Text* expanded) override;
    bool GetShortPathNameW(const Text& longPath, Text* shortPath) override;

    FileContents ReadWholeFile(const Text& path, std::uint64_t limit) override;
    bool AppendToFile(const Text& path, std::string_view bytes) override;
    bool PathExists(const Text& path) override;

    std::optional<std::uint64_t> GetOwnFileVersion() override;

    PolicyValue QueryPolicyValue(const Text& keyPath, const Text& valueName) override;
    // In win32_signature.cpp.
    SignatureFacts InspectDetachedSignature(std::string_view content, std::string_view signature,
                                            std::uint32_t certificateLimit) override;
    PublisherTrust QueryPublisherTrust(const Bytes& signer,
                                       const std::vector<Bytes>& certificates) override;
};

}  // namespace km
