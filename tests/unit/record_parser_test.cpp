#include <gtest/gtest.h>

#include <initializer_list>

#include "engine/record_parser.h"
#include "platform/text.h"

namespace km {
namespace {

// Fields joined by the separator, nothing after the last one.
Text Join(std::initializer_list<TextView> fields) {
    Text line;
    bool first = true;
    for (TextView field : fields) {
        if (!first) line += u"*@*";
        line += field;
        first = false;
    }
    return line;
}

// A value line as the package tool writes it: every field followed by a
// separator. Each setter replaces one field of a plain machine line.
class ValueLine {
public:
    ValueLine& Root(TextView v) { return Set(root_, v); }
    ValueLine& Key(TextView v) { return Set(key_, v); }
    ValueLine& KeyOnly(TextView v) { return Set(keyOnly_, v); }
    ValueLine& Name(TextView v) { return Set(name_, v); }
    ValueLine& Type(TextView v) { return Set(type_, v); }
    ValueLine& Target(TextView v) { return Set(target_, v); }
    ValueLine& Data(TextView v) { return Set(data_, v); }
    Text Line() const { return Join({u"1", root_, key_, keyOnly_, name_, type_, target_, data_, u""}); }

private:
    ValueLine& Set(Text& field, TextView v) {
        field = Text(v);
        return *this;
    }
    Text root_ = u"HKEY_LOCAL_MACHINE\\SOFTWARE";
    Text key_ = u"Vendor\\Tool";
    Text keyOnly_;
    Text name_ = u"Level";
    Text type_ = u"REG_SZ";
    Text target_ = u"All Users";
    Text data_ = u"x";
};

PackageRecord Parse(TextView line, std::uint8_t* groups = nullptr) {
    std::uint8_t ignored = 0;
    return ParseRecordLine(line, groups ? *groups : ignored);
}

TEST(RecordParserTest, MachineValueLineIsReadWhole) {
    std::uint8_t groups = 0;
    const PackageRecord r = Parse(ValueLine().Type(u"REG_DWORD").Data(u"0x0000000A").Line(), &groups);
    EXPECT_EQ(r.rootKind, MachineSoftware);
    EXPECT_EQ(r.rootKey, kHkeyLocalMachine);
    EXPECT_EQ(r.keyPath, u"SOFTWARE\\Vendor\\Tool");
    EXPECT_EQ(r.valueName, u"Level");
    EXPECT_EQ(r.typeName, u"REG_DWORD");
    EXPECT_EQ(r.target, u"All Users");
    EXPECT_EQ(r.keyOnly, 0);
    EXPECT_EQ(r.remove, 0);
    EXPECT_EQ(r.classesKey, 0);
    EXPECT_EQ(r.number, 10u);
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(groups, 0) << "only per-user lines set target groups";
}

TEST(RecordParserTest, PerUserClassesLine) {
    std::uint8_t groups = 0;
    const PackageRecord r = Parse(
        ValueLine().Root(u"HKEY_CURRENT_USER").Key(u"Software\\Classes\\.ext").Line(), &groups);
    EXPECT_EQ(r.rootKind, Users);
    EXPECT_EQ(r.rootKey, kHkeyUsers);
    EXPECT_EQ(r.keyPath, u".ext");
    EXPECT_EQ(r.classesKey, 1);
    EXPECT_EQ(groups, 0x30);
}

TEST(RecordParserTest, RootsAreFoundBySubstringInRuleOrder) {
    struct Case { TextView root; RootKind kind; RegKey key; } cases[] = {
        {u"HKEY_CLASSES_ROOT", ClassesRoot, kHkeyClassesRoot},
        {u"HKEY_LOCAL_MACHINE\\SOFTWARE", MachineSoftware, kHkeyLocalMachine},
        {u"HKEY_LOCAL_MACHINE\\SYSTEM", MachineSystem, kHkeyLocalMachine},
        {u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sub]", MachineSoftware, kHkeyLocalMachine},
        {u"HKEY_LOCAL_MACHINE\\SOFTWARE HKEY_CLASSES_ROOT", ClassesRoot, kHkeyClassesRoot},
        {u"HKEY_LOCAL_MACHINE\\SYSTEM\\HKEY_LOCAL_MACHINE\\SOFTWARE", MachineSoftware, kHkeyLocalMachine},
        {u"HKEY_LOCAL_MACHINE", Users, kHkeyUsers},
        {u"HKEY_LOCAL_MACHINE\\software", Users, kHkeyUsers},
        {u"hkey_classes_root", Users, kHkeyUsers},
        {u"HKEY_CURRENT_USER", Users, kHkeyUsers},
        {u"", Users, kHkeyUsers},
    };
    for (const auto& c : cases) {
        const PackageRecord r = Parse(ValueLine().Root(c.root).Line());
        EXPECT_EQ(r.rootKind, c.kind) << ToUtf8(c.root);
        EXPECT_EQ(r.rootKey, c.key) << ToUtf8(c.root);
    }
}

TEST(RecordParserTest, KeyPathsAndTheClassesPrefix) {
    const Text longKey(1000, u'k');
    struct Case { TextView root; Text key, keyPath; std::int32_t classesKey; } cases[] = {
        {u"HKEY_LOCAL_MACHINE\\SOFTWARE", u"Software\\Classes\\Foo", u"SOFTWARE\\Software\\Classes\\Foo", 0},
        {u"HKEY_LOCAL_MACHINE\\SYSTEM", u"Software\\Classes\\Foo", u"SYSTEM\\Software\\Classes\\Foo", 0},
        {u"HKEY_LOCAL_MACHINE\\SYSTEM", u"", u"SYSTEM\\", 0},
        {u"HKEY_LOCAL_MACHINE\\SOFTWARE", u"", u"SOFTWARE\\", 0},
        {u"HKEY_CLASSES_ROOT", u"Software\\Classes\\Foo", u"Foo", 1},
        {u"HKEY_CLASSES_ROOT", u".txt", u".txt", 0},
        {u"HKEY_CURRENT_USER", u"Software\\Classes\\Foo", u"Foo", 1},
        {u"HKEY_CURRENT_USER", u"software\\classes\\Foo", u"software\\classes\\Foo", 0},
        {u"HKEY_CURRENT_USER", u"X\\Software\\Classes\\Foo", u"X\\Software\\Classes\\Foo", 0},
        {u"HKEY_CURRENT_USER", u"Software\\Classes\\", u"", 1},
        {u"HKEY_CURRENT_USER", u"Software\\Classes", u"Software\\Classes", 0},
        {u"HKEY_CURRENT_USER", u"Software\\Classes\\Software\\Classes\\A", u"Software\\Classes\\A", 1},
        // Held whole, far beyond a 260-unit buffer.
        {u"HKEY_LOCAL_MACHINE\\SOFTWARE", longKey, u"SOFTWARE\\" + longKey, 0},
        {u"HKEY_CLASSES_ROOT", u"Software\\Classes\\" + longKey, longKey, 1},
    };
    for (const auto& c : cases) {
        const PackageRecord r = Parse(ValueLine().Root(c.root).Key(c.key).Line());
        EXPECT_EQ(r.keyPath, c.keyPath) << ToUtf8(c.root) << " / " << ToUtf8(c.key);
        EXPECT_EQ(r.classesKey, c.classesKey) << ToUtf8(c.root) << " / " << ToUtf8(c.key);
    }
}

TEST(RecordParserTest, KeyOnlyIsTrueWithAsciiCaseIgnoredAndNothingElse) {
    struct Case { TextView field; std::int32_t keyOnly; } cases[] = {
        {u"True", 1}, {u"TRUE", 1}, {u"true", 1}, {u"tRuE", 1},
        {u"True ", 0}, {u" True", 0}, {u"Truex", 0}, {u"Tru", 0}, {u"1", 0}, {u"", 0},
        {u"False", 0}, {u"\uFF34rue", 0},
    };
    for (const auto& c : cases) {
        const PackageRecord r = Parse(ValueLine().KeyOnly(c.field).Line());
        EXPECT_EQ(r.keyOnly, c.keyOnly) << ToUtf8(c.field);
        EXPECT_EQ(r.valueName.empty(), c.keyOnly == 1) << ToUtf8(c.field);
    }
}

TEST(RecordParserTest, MachineKeyOnlyLineReadsNothingAfterFieldFour) {
    std::uint8_t groups = 0;
    const PackageRecord r = Parse(
        ValueLine().Root(u"HKEY_CLASSES_ROOT").Key(u"Software\\Classes\\K").KeyOnly(u"True").Line(),
        &groups);
    EXPECT_EQ(r.keyOnly, 1);
    EXPECT_EQ(r.keyPath, u"K");
    EXPECT_TRUE(r.valueName.empty());
    EXPECT_TRUE(r.typeName.empty());
    EXPECT_TRUE(r.target.empty());
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(r.dataSize, 0u);
    EXPECT_EQ(groups, 0);
}

// A per-user key-only line carries its target, so that it reaches the
// profiles it names and their hives get mounted.
TEST(RecordParserTest, PerUserKeyOnlyLineReadsItsTarget) {
    struct Case { Text line; Text target; std::uint8_t groups; } cases[] = {
        {ValueLine().Root(u"HKEY_CURRENT_USER").KeyOnly(u"TRUE").Target(u"All Users").Line(),
         u"All Users", 0x03},
        {ValueLine().Root(u"HKEY_CURRENT_USER").Key(u"Software\\Classes\\K").KeyOnly(u"true").Target(u"user").Line(),
         u"user", 0x10},
        {ValueLine().Root(u"HKEY_CURRENT_USER").KeyOnly(u"True").Target(u"Bob").Line(), u"Bob", 0},
        // Fields 5 and 6 are only stepped over, whatever they hold.
        {Join({u"1", u"HKEY_CURRENT_USER", u"K", u"True", u"", u"", u"Administrator", u""}),
         u"Administrator", 0x02},
        // Same cutting as value lines: a target without a separator after it is empty.
        {Join({u"1", u"HKEY_CURRENT_USER", u"K", u"True", u"N", u"T", u"User"}), u"", 0},
        {Join({u"1", u"HKEY_CURRENT_USER", u"K", u"True", u""}), u"", 0},
    };
    for (const auto& c : cases) {
        std::uint8_t groups = 0;
        const PackageRecord r = Parse(c.line, &groups);
        EXPECT_EQ(r.keyOnly, 1) << ToUtf8(c.line);
        EXPECT_EQ(r.target, c.target) << ToUtf8(c.line);
        EXPECT_EQ(groups, c.groups) << ToUtf8(c.line);
        EXPECT_TRUE(r.valueName.empty()) << ToUtf8(c.line);
        EXPECT_TRUE(r.typeName.empty()) << ToUtf8(c.line);
        EXPECT_TRUE(r.data.empty()) << ToUtf8(c.line);
        EXPECT_EQ(r.number, 0u) << ToUtf8(c.line);
    }
}

TEST(RecordParserTest, RemovalMarkerIsSearchedFromFieldFourOn) {
    struct Case { const char* what; Text line; std::int32_t remove; } cases[] = {
        {"in field 9", Join({u"1", u"HKEY_CLASSES_ROOT", u"K", u"", u"N", u"REG_SZ", u"User", u"d", u"DELETE_REG", u""}), 1},
        {"in the value data", ValueLine().Data(u"xDELETE_REGx").Line(), 1},
        {"as field 4", ValueLine().KeyOnly(u"DELETE_REG").Line(), 1},
        {"in the value name", ValueLine().Name(u"DELETE_REG").Line(), 1},
        {"in the key field", ValueLine().Key(u"DELETE_REG").Line(), 0},
        {"in the root field", ValueLine().Root(u"HKEY_CLASSES_ROOT DELETE_REG").Line(), 0},
        {"in field 1", Join({u"DELETE_REG", u"HKEY_CLASSES_ROOT", u"K", u"", u"N", u"REG_SZ", u"User", u"d", u""}), 0},
        {"in lower case", ValueLine().Data(u"delete_reg").Line(), 0},
        {"cut by a separator", ValueLine().Data(u"DELETE*@*_REG").Line(), 0},
        {"after a key-only field", ValueLine().KeyOnly(u"True").Data(u"DELETE_REG").Line(), 1},
        {"beyond the value data", Join({u"1", u"X", u"K", u"", u"N", u"REG_SZ", u"User", u"d", u"e", u"f", u"gDELETE_REG"}), 1},
    };
    for (const auto& c : cases) EXPECT_EQ(Parse(c.line).remove, c.remove) << c.what;
}

// Fields that no separator follows are empty, and moving past them drops two
// characters; these lines show each consequence.
TEST(RecordParserTest, FieldCuttingWithMissingSeparators) {
    struct Case {
        const char* what;
        Text line;
        RootKind kind;
        Text keyPath;
        std::int32_t remove;
    } cases[] = {
        {"no separator at all", u"abcdefgh", Users, u"", 0},
        {"marker after the first six characters", u"abcdefDELETE_REG", Users, u"", 1},
        {"marker within the first six characters", u"abcdeDELETE_REG", Users, u"", 0},
        {"root without a separator after it", u"1*@*HKEY_CLASSES_ROOT", Users, u"", 0},
        {"key without a separator after it", u"1*@*HKEY_CLASSES_ROOT*@*Key", ClassesRoot, u"", 0},
        // The key field is empty; dropping two characters leaves "yDELETE_REG".
        {"marker in a key field without separator", u"1*@*HKEY_CLASSES_ROOT*@*KeyDELETE_REG", ClassesRoot, u"", 1},
        {"marker cut by the two-character drop", u"1*@*HKEY_CLASSES_ROOT*@*DELETE_REG", ClassesRoot, u"", 0},
        {"missing leading field", u"HKEY_LOCAL_MACHINE\\SOFTWARE*@*Vendor*@*K*@**@*", Users, u"K", 0},
        {"separator after a star", u"1**@*HKEY_CLASSES_ROOT*@*K*@*", ClassesRoot, u"K", 0},
        {"empty fields", u"*@**@**@*", Users, u"", 0},
    };
    for (const auto& c : cases) {
        const PackageRecord r = Parse(c.line);
        EXPECT_EQ(r.rootKind, c.kind) << c.what;
        EXPECT_EQ(r.keyPath, c.keyPath) << c.what;
        EXPECT_EQ(r.remove, c.remove) << c.what;
        EXPECT_EQ(r.keyOnly, 0) << c.what;
    }
}

TEST(RecordParserTest, EmptyLineIsAnEmptyPerUserValueRecord) {
    for (TextView line : {TextView(u""), TextView(u"abc")}) {
        std::uint8_t groups = 0;
        const PackageRecord r = Parse(line, &groups);
        EXPECT_EQ(r.rootKind, Users);
        EXPECT_EQ(r.rootKey, kHkeyUsers);
        EXPECT_TRUE(r.keyPath.empty() && r.valueName.empty() && r.typeName.empty() && r.target.empty());
        EXPECT_EQ(r.keyOnly, 0);
        EXPECT_EQ(r.remove, 0);
        EXPECT_EQ(r.classesKey, 0);
        EXPECT_EQ(groups, 0);
        EXPECT_EQ(r.data, (Bytes{0, 0}));  // empty text
        EXPECT_EQ(r.dataSize, 2u);
    }
}

TEST(RecordParserTest, ValueDataWithoutSeparatorAfterItIsEmpty) {
    const PackageRecord r =
        Parse(Join({u"1", u"HKEY_LOCAL_MACHINE\\SOFTWARE", u"K", u"", u"N", u"REG_SZ", u"User", u"abc"}));
    EXPECT_EQ(r.valueName, u"N");
    EXPECT_EQ(r.target, u"User");
    EXPECT_EQ(r.data, (Bytes{0, 0}));
}

TEST(RecordParserTest, TargetGroupsOfPerUserValueLines) {
    struct Case { TextView root, key, target; std::uint8_t groups; } cases[] = {
        {u"HKEY_CURRENT_USER", u"K", u"All Users", 0x03},
        {u"HKEY_CURRENT_USER", u"Software\\Classes\\K", u"all users", 0x30},
        {u"HKEY_CURRENT_USER", u"K", u"Administrator", 0x02},
        {u"HKEY_CURRENT_USER", u"K", u"administrator", 0x02},
        {u"HKEY_CURRENT_USER", u"Software\\Classes\\K", u"ADMINISTRATOR", 0x20},
        {u"HKEY_CURRENT_USER", u"K", u"User", 0x01},
        {u"HKEY_CURRENT_USER", u"Software\\Classes\\K", u"uSER", 0x10},
        {u"HKEY_CURRENT_USER", u"software\\classes\\K", u"User", 0x01},
        {u"HKEY_CURRENT_USER", u"K", u"Administrators", 0},
        {u"HKEY_CURRENT_USER", u"K", u"Users", 0},
        {u"HKEY_CURRENT_USER", u"K", u" User", 0},
        {u"HKEY_CURRENT_USER", u"K", u"Bob", 0},
        {u"HKEY_CURRENT_USER", u"K", u"", 0},
        {u"HKEY_LOCAL_MACHINE\\SOFTWARE", u"K", u"All Users", 0},
        {u"HKEY_CLASSES_ROOT", u"Software\\Classes\\K", u"All Users", 0},
    };
    for (const auto& c : cases) {
        std::uint8_t groups = 0;
        Parse(ValueLine().Root(c.root).Key(c.key).Target(c.target).Line(), &groups);
        EXPECT_EQ(groups, c.groups) << ToUtf8(c.root) << " / " << ToUtf8(c.key) << " / " << ToUtf8(c.target);
    }
}

TEST(RecordParserTest, TargetGroupsAccumulateOverLines) {
    std::uint8_t groups = 0;
    Parse(ValueLine().Root(u"X").Target(u"User").Line(), &groups);
    Parse(ValueLine().Root(u"X").Key(u"Software\\Classes\\K").Target(u"Administrator").Line(), &groups);
    Parse(ValueLine().Root(u"X").Target(u"Bob").Line(), &groups);
    EXPECT_EQ(groups, 0x21);
}

TEST(RecordParserTest, LongFieldsAreHeldWhole) {
    const Text name(300, u'n');
    const Text type = u"REG_SZ" + Text(40, u' ');
    const Text target = u"All Users" + Text(30, u'.');
    std::uint8_t groups = 0;
    const PackageRecord r =
        Parse(ValueLine().Root(u"X").Name(name).Type(type).Target(target).Line(), &groups);
    EXPECT_EQ(r.valueName, name);
    EXPECT_EQ(r.typeName, type);
    EXPECT_EQ(r.target, target);
    EXPECT_EQ(groups, 0) << "a longer target is not \"All Users\"";
}

TEST(RecordParserTest, NonAsciiAndControlCharactersPassThrough) {
    const Text data = Text(u"a\r") + char16_t(0) + u"\U0001F511";
    const PackageRecord r = Parse(ValueLine().Key(u"Schl\u00FCssel").Data(data).Line());
    EXPECT_EQ(r.keyPath, u"SOFTWARE\\Schl\u00FCssel");
    EXPECT_EQ(r.dataSize, 2u * (data.size() + 1));
}

}  // namespace
}  // namespace km
