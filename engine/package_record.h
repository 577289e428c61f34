// One parsed line of a package data file.
#pragma once

#include <cstdint>
#include <deque>

#include "platform/platform.h"

namespace km {

enum RootKind : std::int32_t { ClassesRoot = 0, MachineSoftware = 1, MachineSystem = 2, Users = 3 };

// Bits of PackageContents::targetGroups: which hives of which accounts the
// per-user value lines need.
namespace TargetGroups {
constexpr std::uint8_t kUserHive = 0x01;
constexpr std::uint8_t kAdministratorHive = 0x02;
constexpr std::uint8_t kUserClasses = 0x10;
constexpr std::uint8_t kAdministratorClasses = 0x20;
constexpr std::uint8_t kUserHives = 0x0F;     // low half: user hives
constexpr std::uint8_t kClassesHives = 0xF0;  // high half: classes hives
}  // namespace TargetGroups

// The small fields are grouped so that the record has no holes: a package
// can hold a million of them.
struct PackageRecord {
    RegKey rootKey = 0;
    RootKind rootKind = ClassesRoot;
    std::int32_t keyOnly = 0;
    std::int32_t remove = 0;
    std::int32_t classesKey = 0;
    Text keyPath;
    Text valueName;
    Text typeName;
    // Encoded value bytes followed by their terminator; empty means no buffer.
    Bytes data;
    std::uint32_t dataSize = 0;  // bytes of `data` that are stored
    // Set when the value data cannot be encoded without guessing (a digit
    // field too short, a binary character above U+00FF): no value is set.
    bool unencodable = false;
    std::uint64_t number = 0;  // REG_DWORD / REG_QWORD
    Text target;
};

// File order. A deque: appending is O(1) and never moves the records.
using RecordList = std::deque<PackageRecord>;

}  // namespace km
