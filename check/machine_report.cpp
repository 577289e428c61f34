#include "check/machine_report.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "check/value_text.h"
#include "engine/package_language.h"
#include "platform/text.h"

namespace km::check {

namespace {

using nlohmann::json;

struct KindName {
    toolkit::EffectKind kind;
    const char* name;
};
constexpr KindName kKindNames[] = {{toolkit::EffectKind::CreateKey, "createKey"},
                                   {toolkit::EffectKind::DeleteKey, "deleteKey"},
                                   {toolkit::EffectKind::SetValue, "setValue"},
                                   {toolkit::EffectKind::DeleteValue, "deleteValue"}};

const char* NameOf(toolkit::EffectKind kind) {
    for (const KindName& row : kKindNames)
        if (row.kind == kind) return row.name;
    return "";
}

std::string Hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::uint8_t b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

json ValueJson(const std::optional<StoredValue>& value) {
    if (!value) return nullptr;
    return json{{"type", value->type}, {"typeName", TypeName(value->type)}, {"bytes", Hex(value->data)}};
}

// JSON strings are made from UTF-8, which has no form for a lone surrogate.
// Such a unit (and, to keep the marking one to one, every U+0001) goes in as
// U+0001, its four hex digits, U+0001; the dumped document's "\u0001XXXX\u0001"
// is then made "\uXXXX", so two different names never print the same.
constexpr char kMark = '\x01';

std::string MarkedText(TextView text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                          text[i + 1] <= 0xDFFF;
        if (pair) {
            out += ToUtf8(text.substr(i++, 2));
        } else if ((c >= 0xD800 && c <= 0xDFFF) || c == 0x0001) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "%c%04x%c", kMark, unsigned(c), kMark);
            out += hex;
        } else {
            out += ToUtf8(text.substr(i, 1));
        }
    }
    return out;
}

std::string Unmarked(const std::string& dumped) {
    static const std::string kDumpedMark = "\\u0001";
    std::string out;
    out.reserve(dumped.size());
    for (std::size_t i = 0; i < dumped.size(); ++i) {
        if (dumped[i] != '\\') {
            out += dumped[i];
        } else if (dumped.compare(i, 6, kDumpedMark) == 0 && i + 16 <= dumped.size() &&
                   dumped.compare(i + 10, 6, kDumpedMark) == 0) {
            out.append("\\u").append(dumped, i + 6, 4);
            i += 15;
        } else {
            out.append(dumped, i, 2);  // an escape whole: its second character starts none
            ++i;
        }
    }
    return out;
}

json EffectJson(const PlannedEffect& p) {
    const toolkit::Effect& e = p.effect;
    const bool valueEffect = e.kind == toolkit::EffectKind::SetValue || e.kind == toolkit::EffectKind::DeleteValue;
    return json{{"line", p.line},
                {"scope", *p.scope},
                {"kind", NameOf(e.kind)},
                {"lost", e.lost},
                {"key", MarkedText(toolkit::FullPath(e.key))},
                {"value", valueEffect ? json(MarkedText(e.valueName)) : json(nullptr)},
                {"old", ValueJson(e.before)},
                {"new", ValueJson(e.after)}};
}

json CountsJson(const PlanCounts& c) {
    return json{{"keysCreated", c.keysCreated},       {"keysDeleted", c.keysDeleted},
                {"valuesSet", c.valuesSet},           {"valuesChanged", c.valuesChanged},
                {"valuesUnchanged", c.valuesUnchanged}, {"valuesDeleted", c.valuesDeleted}};
}

// The package's name as a URI reference: slashes for backslashes, a file URI
// for an absolute path (C:\x, \\server\x, \\?\C:\x, \\?\UNC\server\x or /x),
// unsafe bytes percent-encoded. "a:b" with no slash after the colon is a
// relative name (a drive-relative path, or a file's stream), not drive a:.
std::string ArtifactUri(const std::string& path) {
    std::string p = path;
    std::replace(p.begin(), p.end(), '\\', '/');
    for (const auto& [prefix, replacement] : {std::pair{"//?/UNC/", "//"}, std::pair{"//?/", ""}})
        if (p.rfind(prefix, 0) == 0) {
            p = replacement + p.substr(std::strlen(prefix));
            break;
        }
    const bool drive = p.size() >= 3 && p[1] == ':' && p[2] == '/' && std::isalpha(static_cast<unsigned char>(p[0]));
    const bool unc = p.rfind("//", 0) == 0;
    std::string out = drive ? "file:///" : unc ? "file:" : (!p.empty() && p[0] == '/') ? "file://" : "";
    for (std::size_t i = 0; i < p.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (std::isalnum(c) || (c != 0 && std::strchr("-._~/", c)) || (drive && i == 1)) {
            out += char(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

const char* SeverityName(toolkit::Severity s) { return s == toolkit::Severity::Error ? "error" : "warning"; }

// One rule per field of a line: what a finding is about.
const char* RuleOf(int field) {
    return field >= kLeadingField && field <= kValueDataField ? kPackageFieldIds[field] : kPackageFieldIds[0];
}

}  // namespace

std::vector<const PlannedEffect*> Drift(const PlanDetails& plan) {
    std::vector<const PlannedEffect*> drift;
    for (const PlannedEffect& p : plan.effects)
        if (toolkit::ChangesMachine(p.effect)) drift.push_back(&p);
    return drift;
}

std::string DriftLine(const PlannedEffect& p) {
    const toolkit::Effect& e = p.effect;
    std::string text = "line " + std::to_string(p.line) + ": " + *p.scope + ": " + NameOf(e.kind) + " " +
                       ToUtf8(toolkit::FullPath(e.key));
    if (e.kind == toolkit::EffectKind::SetValue || e.kind == toolkit::EffectKind::DeleteValue)
        text += " " + (e.valueName.empty() ? std::string("(default)") : QuotedText(e.valueName));
    if (e.before) text += " was " + ValueText(*e.before);
    if (e.after) text += " becomes " + ValueText(*e.after);
    return text;
}

namespace {

// The document without its effects: the arrays "effects" (in "plan") and
// "drift" (in "verify") are left empty, to be written one effect at a time.
json ReportDocument(const ReportInput& in, bool drifts) {
    json doc{{"version", kJsonReportVersion}, {"tool", "keymason-check"}, {"package", in.packageName},
             {"exitCode", in.exitCode}};
    json findings = json::array();
    for (const toolkit::Finding& d : in.findings)
        findings.push_back({{"line", d.line}, {"field", d.field}, {"severity", SeverityName(d.severity)}, {"text", d.text}});
    doc["findings"] = findings;
    doc["base"] = nullptr;
    doc["plan"] = nullptr;
    doc["verify"] = nullptr;
    if (in.planned) {
        json warnings = json::array();
        for (const toolkit::RegFileError& w : in.baseWarnings)
            warnings.push_back({{"line", w.line}, {"text", w.message}});
        doc["base"] = {{"name", in.baseName}, {"warnings", warnings}};
    }
    if (!in.plan) return doc;
    json failures = json::array();
    for (const PlannedFailure& f : in.plan->failures)
        failures.push_back({{"line", f.line}, {"scope", f.scope}, {"text", f.text}});
    json summary = json::object();
    for (const auto& [scope, counts] : in.plan->summary) summary[scope] = CountsJson(counts);
    // "matched" keeps the name readers of earlier reports know.
    doc["plan"] = {{"matched", in.plan->made},
                   {"effects", json::array()},
                   {"failures", failures},
                   {"summary", summary},
                   {"notInspected", in.plan->notInspected}};
    if (!in.verify) return doc;
    // Unknown (null) while a profile's hives could not be read or a line
    // cannot land, and nothing else changes; unknown too when no plan could
    // be made.
    const bool known = in.plan->notInspected.empty() && in.plan->failures.empty();
    const json changes = !in.plan->made ? json(nullptr) : drifts ? json(true) : known ? json(false) : json(nullptr);
    doc["verify"] = {{"changes", changes}, {"drift", json::array()}, {"failures", failures},
                     {"notInspected", in.plan->notInspected}};
    return doc;
}

const PlannedEffect& EffectOf(const PlannedEffect& p) { return p; }
const PlannedEffect& EffectOf(const PlannedEffect* p) { return *p; }

// An array of effects as dump(2) writes one whose key stands four spaces in,
// appended one effect at a time and handed on as it grows: a large plan's
// effects never stand as one document or one text.
template <class Effects>
void AppendEffects(const Effects& effects, std::string& out, const std::function<void()>& passOn) {
    if (effects.empty()) {
        out += "[]";
        return;
    }
    out += "[";
    for (const auto& p : effects) {
        out.append(&p == &effects.front() ? "\n      " : ",\n      ");
        for (const char c : Unmarked(EffectJson(EffectOf(p)).dump(2))) {
            if (c == '\n') out.append("\n      ");
            else out += c;
        }
        if (passOn && out.size() >= kReportPiece) passOn();
    }
    out += "\n    ]";
}

}  // namespace

void AppendJsonReport(const ReportInput& in, std::string& out, const std::function<void()>& passOn) {
    std::vector<const PlannedEffect*> drift;
    if (in.plan && in.verify) drift = Drift(*in.plan);
    const std::string text = Unmarked(ReportDocument(in, !drift.empty()).dump(2));
    // Each empty array stands after the one before it ("plan" before
    // "verify"); its key's quotes cannot stand unescaped in any string.
    std::size_t at = 0;
    const auto fill = [&](const std::string& emptyArray, const auto& effects) {
        const std::size_t hit = text.find(emptyArray, at);
        if (hit == std::string::npos) return;
        out.append(text, at, hit + emptyArray.size() - 2 - at);
        AppendEffects(effects, out, passOn);
        at = hit + emptyArray.size();
    };
    if (in.plan) fill("\"effects\": []", in.plan->effects);
    if (in.plan && in.verify) fill("\"drift\": []", drift);
    out.append(text, at, std::string::npos).append("\n");
}

std::string SarifReport(const ReportInput& in) {
    json rules = json::array();
    for (int field = 0; field <= kValueDataField; ++field)
        rules.push_back({{"id", RuleOf(field)},
                         {"shortDescription", {{"text", std::string("a finding about the ") + RuleOf(field) +
                                                                (field == 0 ? " as a whole" : " field")}}}});
    json results = json::array();
    for (const toolkit::Finding& d : in.findings) {
        results.push_back(
            {{"ruleId", RuleOf(d.field)},
             {"level", SeverityName(d.severity)},
             {"message", {{"text", d.text}}},
             {"locations",
              json::array({{{"physicalLocation",
                             {{"artifactLocation", {{"uri", ArtifactUri(in.packageName)}}},
                              {"region", {{"startLine", d.line}}}}}}})},
             {"properties", {{"field", d.field}}}});
    }
    json doc{{"$schema", "https://json.schemastore.org/sarif-2.1.0.json"},
             {"version", "2.1.0"},
             {"runs", json::array({{{"tool", {{"driver", {{"name", "keymason-check"},
                                                          {"version", KEYMASON_VERSION_TEXT},
                                                          {"rules", rules}}}}},
                                    {"results", results}}})}};
    return doc.dump(2) + "\n";
}

}  // namespace km::check
