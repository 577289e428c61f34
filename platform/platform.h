// The one seam through which the engine reaches the system: registry,
// processes, clock, environment, files and the program's own version.
// Texts are UTF-16 code units on every platform; the Win32 implementation
// passes them straight through, the in-memory one keeps them as they are.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace km {

using Text = std::u16string;
using TextView = std::u16string_view;
using Bytes = std::vector<std::uint8_t>;

// An open registry key, or one of the predefined roots. 0 is the empty handle.
using RegKey = std::uint64_t;

// Predefined roots, by the values the registry gives them.
constexpr RegKey kHkeyClassesRoot = 0x80000000u;
constexpr RegKey kHkeyLocalMachine = 0x80000002u;
constexpr RegKey kHkeyUsers = 0x80000003u;
// The machine's part of HKEY_CLASSES_ROOT is this key below HKEY_LOCAL_MACHINE:
// one tree, whichever name a writer uses.
constexpr TextView kMachineClassesPath = u"SOFTWARE\\Classes";

// Access masks.
constexpr std::uint32_t kKeyRead = 0x20019;
constexpr std::uint32_t kKeyAllAccess = 0xF003F;
constexpr std::uint32_t kKeyWow64_64Key = 0x0100;
constexpr std::uint32_t kKeyWow64_32Key = 0x0200;

// Value type codes.
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;
constexpr std::uint32_t kRegQword = 11;

constexpr std::uint32_t kRegOptionNonVolatile = 0;

// SECURITY_ATTRIBUTES as the engine fills it; it never carries a descriptor.
struct SecurityAttributes {
    std::uint32_t nLength = 0;
    bool hasSecurityDescriptor = false;
    std::int32_t bInheritHandle = 0;
};

// The part of STARTUPINFOW the engine sets.
constexpr std::uint32_t kStartfUseShowWindow = 0x00000001;
constexpr std::uint16_t kSwHide = 0;
struct StartupInfo {
    std::uint32_t dwFlags = 0;
    std::uint16_t wShowWindow = 0;
};

using ProcessHandle = std::uint64_t;  // 0 is none
enum class WaitResult { Exited, TimedOut, Failed };

struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// TooLarge: the file holds more than the reader's limit; nothing was kept.
enum class FileReadStatus { Read, NotOpened, ReadError, TooLarge };
struct FileContents {
    FileReadStatus status = FileReadStatus::NotOpened;
    std::string bytes;  // what was read; on ReadError, the part before the error
    // The file as opened, however its path was typed (8.3 names, a trailing
    // dot, another letter case resolved); empty where the system cannot say.
    Text finalPath;
};
// A read with no limit but the process's memory.
constexpr std::uint64_t kNoSizeLimit = ~std::uint64_t{0};

// A value under the machine's policy key, read in the 64-bit view. Absent
// covers a missing key or value; Unreadable a key or value that exists but
// could not be read.
enum class PolicyValueStatus { Absent, Present, Unreadable };
struct PolicyValue {
    PolicyValueStatus status = PolicyValueStatus::Absent;
    std::uint32_t type = 0;
    Bytes data;
};

// What a detached CMS/PKCS#7 signature says about some content: facts only,
// judged by the engine. The defaults are what a signature that could not be
// read at all yields.
struct SignatureFacts {
    bool decoded = false;            // a SignedData with at least one signer
    std::uint32_t certificateCount = 0;  // certificates the signature carries
    bool signerCarried = false;      // a carried certificate matches the first signer's identifier
    bool signatureVerifies = false;  // the first signer's signature checks with that certificate
    bool digestIsSha256 = false;     // the first signer's digest algorithm
    std::optional<Bytes> messageDigest;  // its one signed messageDigest attribute
    Bytes contentDigest;             // the content's SHA-256, computed here
    Bytes signerCertificate;         // DER, the certificate whose key verified; empty when none did
    std::vector<Bytes> certificates; // every certificate the signature carries, DER
};

// How this machine regards a signer's certificate; revocation is not asked.
// The chain is built only for a trusted publisher: for any other signer
// every field after the first is false.
struct PublisherTrust {
    bool trustedPublisher = false;  // byte for byte a certificate of the machine's TrustedPublisher store
    bool chainTrusted = false;      // its chain ends in a root the machine trusts
    bool issuersMayIssue = false;   // every CA above it is a CA allowed to sign certificates
    bool validNow = false;          // every certificate of the chain is in its validity period
    bool codeSigning = false;       // it names code signing among its key usages
};

// The seam's operations, one for each member of Platform below: the names by
// which the in-memory platform logs calls and injects faults, and by which the
// bench records and replays them. A name that is not one cannot compile.
enum class SeamOp {
    RegOpenKeyExW, RegCreateKeyExW, RegDeleteTreeW, RegDeleteKeyExW, RegSetValueExW,
    RegDeleteKeyValueW, RegQueryInfoKeyW, RegEnumKeyExW, RegQueryValueExW, RegCloseKey,
    CreateProcessW, WaitForProcess, CloseProcess, GetSystemDirectoryW,
    GetLocalTime, ExpandEnvironmentStringsW, GetShortPathNameW,
    ReadWholeFile, AppendToFile, PathExists,
    GetOwnFileVersion,
    QueryPolicyValue, InspectDetachedSignature, QueryPublisherTrust,
};

// The operation's name as the member is spelled, for logs and messages.
const char* SeamOpName(SeamOp op);

class Platform {
public:
    virtual ~Platform() = default;

    // --- Registry. Only success and failure are told apart. ---
    virtual bool RegOpenKeyExW(RegKey key, const Text& subKey, std::uint32_t options,
                               std::uint32_t samDesired, RegKey* result) = 0;
    // Creates missing keys along the path. No class, no disposition.
    virtual bool RegCreateKeyExW(RegKey key, const Text& subKey, std::uint32_t reserved,
                                 std::uint32_t options, std::uint32_t samDesired,
                                 const SecurityAttributes* attributes, RegKey* result) = 0;
    // subKey null: the subkeys and values of `key` itself.
    virtual bool RegDeleteTreeW(RegKey key, const Text* subKey) = 0;
    // Deletes one key without subkeys, in the view that samDesired names.
    virtual bool RegDeleteKeyExW(RegKey key, const Text& subKey, std::uint32_t samDesired,
                                 std::uint32_t reserved) = 0;
    virtual bool RegSetValueExW(RegKey key, const Text& valueName, std::uint32_t reserved,
                                std::uint32_t type, const std::uint8_t* data,
                                std::uint32_t size) = 0;
    virtual bool RegDeleteKeyValueW(RegKey key, const Text* subKey, const Text& valueName) = 0;
    // The number of subkeys; *subKeys is left alone on failure.
    virtual bool RegQueryInfoKeyW(RegKey key, std::uint32_t* subKeys) = 0;
    // Fails when the name does not fit nameCapacity units with its terminator.
    virtual bool RegEnumKeyExW(RegKey key, std::uint32_t index, std::uint32_t nameCapacity,
                               Text* name) = 0;
    // The whole value, whatever its size.
    virtual bool RegQueryValueExW(RegKey key, const Text& valueName, std::uint32_t* type,
                                  Bytes* data) = 0;
    // Closing the empty handle does nothing.
    virtual bool RegCloseKey(RegKey key) = 0;

    // --- Processes. ---
    // applicationName is the full path of the program; commandLine its whole line.
    virtual bool CreateProcessW(const Text& applicationName, const Text& commandLine,
                                bool inheritHandles, std::uint32_t creationFlags,
                                const StartupInfo& startup, ProcessHandle* process) = 0;
    virtual WaitResult WaitForProcess(ProcessHandle process, std::uint32_t timeoutMs) = 0;
    virtual void CloseProcess(ProcessHandle process) = 0;
    // The system folder (where reg.exe lives); empty on failure.
    virtual Text GetSystemDirectoryW() = 0;

    // --- Clock, environment. ---
    virtual LocalTime GetLocalTime() = 0;
    // False when the expansion returns no count; unknown variables stay as written.
    virtual bool ExpandEnvironmentStringsW(const Text& source, Text* expanded) = 0;
    virtual bool GetShortPathNameW(const Text& longPath, Text* shortPath) = 0;

    // --- Files. ---
    // A file of more than `limit` bytes is TooLarge and not read.
    virtual FileContents ReadWholeFile(const Text& path, std::uint64_t limit) = 0;
    // Appends bytes as they are, creating the file; shared with other readers
    // and writers. False when the file could not be opened or written.
    virtual bool AppendToFile(const Text& path, std::string_view bytes) = 0;
    // A file or folder of that name exists (_waccess mode 0).
    virtual bool PathExists(const Text& path) = 0;

    // --- Own version: VS_FIXEDFILEINFO's dwFileVersionMS << 32 | dwFileVersionLS. ---
    virtual std::optional<std::uint64_t> GetOwnFileVersion() = 0;

    // --- Machine policy and signatures: the platform answers, the engine decides. ---
    // keyPath is below HKEY_LOCAL_MACHINE.
    virtual PolicyValue QueryPolicyValue(const Text& keyPath, const Text& valueName) = 0;
    // A signature carrying more than certificateLimit certificates is told
    // only as decoded, with its count.
    virtual SignatureFacts InspectDetachedSignature(std::string_view content, std::string_view signature,
                                                    std::uint32_t certificateLimit) = 0;
    // certificates: those the signature carried, to build the chain with.
    virtual PublisherTrust QueryPublisherTrust(const Bytes& signer,
                                               const std::vector<Bytes>& certificates) = 0;
};

}  // namespace km
