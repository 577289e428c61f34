// The differences of one scope (the machine, or one profile's hives) between
// the state a registry is in and a state it is to reach, folded into the
// package lines that take it there, in the order they must run: keys whose
// letter case must change are removed first, then keys and values are made
// top down, then values and keys that must go. What a line cannot carry is
// named, never dropped. Undo (the state before a package) and capture (a
// snapshot after an install) both write their lines through it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "toolkit/observed_platform.h"
#include "pack/package_line.h"

namespace km::pack {

// The state the lines start from.
class CurrentState {
public:
    virtual ~CurrentState() = default;
    // The key's own name as it stands; none where it is not there.
    virtual std::optional<Text> KeyName(const toolkit::KeyLocation& at) const = 0;
    // The value, with its name as stored.
    virtual std::optional<std::pair<Text, StoredValue>> Value(const toolkit::KeyLocation& at,
                                                              const Text& name) const = 0;
};

// The machine's classes key is HKEY_CLASSES_ROOT under either name: one key
// to write, whichever name it was reached by.
toolkit::KeyLocation AsClassesRoot(const toolkit::KeyLocation& at);

// The keys and values of one scope that differ, each with how it is to stand.
class ChangeSet {
public:
    // A key as the lines name it (`key` spelled as it is to stand where it
    // stays), where it lies, and whether it is to exist. The first word on a
    // key counts.
    void AddKey(const PlacedKey& key, const toolkit::KeyLocation& at, bool exists);
    // A value of a key added before, as it is to stand: none where it is to go.
    void AddValue(const PlacedKey& key, const Text& name, const std::optional<StoredValue>& value);
    bool Empty() const { return keyOrder_.empty(); }

    std::vector<Change> Changes(const CurrentState& current) const;

private:
    struct KeyState {
        Place place;
        Text key;                 // below the place's top, as it is to stand
        toolkit::KeyLocation at;  // where it lies
        bool exists;
    };
    struct ValueState {
        Text keyId;
        Text name;
        std::optional<StoredValue> value;
    };
    static Text Id(Place place, const Text& key);

    std::unordered_map<Text, KeyState> keys_;
    std::vector<Text> keyOrder_;
    std::unordered_map<Text, std::size_t> values_;
    std::vector<ValueState> valueStates_;
};

// Writes changes as package lines, and names each that a line cannot carry.
struct ChangeWriter {
    std::string* package;
    std::vector<std::string>* refused;                 // each named with why
    std::function<std::string(const Change&)> name;    // a change, as the report names it
    std::function<void(const Change&, bool written)> after;  // where given, told of each change

    // Every change but a key-only line that a written value line after it
    // makes redundant.
    void WriteAll(const std::vector<Change>& changes) const;
    // One change, whose line is made already.
    void Write(const Change& change, const LineResult& line) const;
};

// Names and paths in reports, escaped as the plan shows them.
std::string Shown(TextView text);

}  // namespace km::pack
