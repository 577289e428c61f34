#include "check/value_text.h"

#include <cstdio>

#include "engine/package_language.h"
#include "platform/text.h"

namespace km::check {

namespace {

bool IsTextType(std::uint32_t type) { return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz; }

constexpr std::size_t kMaxBytesShown = 32;

std::string Bytes_(const Bytes& data) {
    if (data.empty()) return "(no data)";
    std::string out;
    for (std::size_t i = 0; i < data.size() && i < kMaxBytesShown; ++i) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02x", data[i]);
        if (!out.empty()) out += ' ';
        out += buf;
    }
    if (data.size() > kMaxBytesShown) out += " ... (" + std::to_string(data.size()) + " bytes)";
    return out;
}

}  // namespace

std::string TypeName(std::uint32_t type) {
    if (const TextView name = RegistryTypeName(type); !name.empty()) return ToUtf8(name);
    char buf[32];
    std::snprintf(buf, sizeof buf, "type 0x%x", type);
    return buf;
}

std::string QuotedText(TextView text) { return "\"" + DisplayText(text, {u"\\\"", kLetteredControls}) + "\""; }

std::string ShownText(TextView text) { return DisplayText(text, {{}, kLetteredControls}); }

std::string ValueText(const StoredValue& value) {
    const std::string type = TypeName(value.type);
    const Bytes& d = value.data;
    if (IsTextType(value.type) && d.size() % 2 == 0) {
        Text units;
        for (std::size_t i = 0; i + 1 < d.size(); i += 2) units.push_back(char16_t(d[i] | (d[i + 1] << 8)));
        const bool terminated = !units.empty() && units.back() == 0;
        if (terminated) units.pop_back();
        std::string text = type + " " + QuotedText(units);
        if (!terminated && value.type != kRegMultiSz) text += " (no terminator)";
        return text;
    }
    if (value.type == kRegDword && d.size() == 4) {
        const std::uint32_t n = d[0] | (d[1] << 8) | (d[2] << 16) | (std::uint32_t(d[3]) << 24);
        char buf[48];
        std::snprintf(buf, sizeof buf, " 0x%08x (%u)", n, n);
        return type + buf;
    }
    if (value.type == kRegQword && d.size() == 8) {
        std::uint64_t n = 0;
        for (int i = 7; i >= 0; --i) n = (n << 8) | d[std::size_t(i)];
        char buf[64];
        std::snprintf(buf, sizeof buf, " 0x%016llx (%llu)", static_cast<unsigned long long>(n),
                      static_cast<unsigned long long>(n));
        return type + buf;
    }
    return type + " " + Bytes_(d);
}

}  // namespace km::check
