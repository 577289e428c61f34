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
    EffectKind kind;
    const char* name;
};
constexpr KindName kKindNames[] = {{EffectKind::CreateKey, "createKey"},
                                   {EffectKind::DeleteKey, "deleteKey"},
                                   {EffectKind::SetValue, "setValue"},
                                   {EffectKind::DeleteValue, "deleteValue"}};

const char* NameOf(EffectKind kind) {
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

json EffectJson(const PlannedEffect& p) {
    const Effect& e = p.effect;
    const bool valueEffect = e.kind == EffectKind::SetValue || e.kind == EffectKind::DeleteValue;
    return json{{"line", p.line},
                {"scope", p.scope},
                {"kind", NameOf(e.kind)},
                {"lost", e.lost},
                {"key", ToUtf8(FullPath(e.key))},
                {"value", valueEffect ? json(ToUtf8(e.valueName)) : json(nullptr)},
                {"old", ValueJson(e.before)},
                {"new", ValueJson(e.after)}};
}

json CountsJson(const PlanCounts& c) {
    return json{{"keysCreated", c.keysCreated},       {"keysDeleted", c.keysDeleted},
                {"valuesSet", c.valuesSet},           {"valuesChanged", c.valuesChanged},
                {"valuesUnchanged", c.valuesUnchanged}, {"valuesDeleted", c.valuesDeleted}};
}

// The package's name as a URI reference: slashes for backslashes, a file URI
// for an absolute path (C:\x, \\server\x or /x), unsafe bytes percent-encoded.
std::string ArtifactUri(const std::string& path) {
    std::string p = path;
    std::replace(p.begin(), p.end(), '\\', '/');
    const bool drive = p.size() >= 2 && p[1] == ':' && std::isalpha(static_cast<unsigned char>(p[0]));
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

const char* SeverityName(Severity s) { return s == Severity::Error ? "error" : "warning"; }

// One rule per field of a line: what a finding is about.
const char* RuleOf(int field) {
    return field >= kLeadingField && field <= kValueDataField ? kPackageFieldIds[field] : kPackageFieldIds[0];
}

}  // namespace

std::vector<const PlannedEffect*> Drift(const PlanDetails& plan) {
    std::vector<const PlannedEffect*> drift;
    for (const PlannedEffect& p : plan.effects) {
        const Effect& e = p.effect;
        if (e.kind == EffectKind::SetValue && e.before && e.after && *e.before == *e.after) continue;
        drift.push_back(&p);
    }
    return drift;
}

std::string DriftLine(const PlannedEffect& p) {
    const Effect& e = p.effect;
    std::string text = "line " + std::to_string(p.line) + ": " + p.scope + ": " + NameOf(e.kind) + " " +
                       ToUtf8(FullPath(e.key));
    if (e.kind == EffectKind::SetValue || e.kind == EffectKind::DeleteValue)
        text += " " + (e.valueName.empty() ? std::string("(default)") : QuotedText(e.valueName));
    if (e.before) text += " was " + ValueText(*e.before);
    if (e.after) text += " becomes " + ValueText(*e.after);
    return text;
}

std::string JsonReport(const ReportInput& in) {
    json doc{{"version", kJsonReportVersion}, {"tool", "keymason-check"}, {"package", in.packageName},
             {"exitCode", in.exitCode}};
    json findings = json::array();
    for (const Diagnostic& d : in.findings)
        findings.push_back({{"line", d.line}, {"field", d.field}, {"severity", SeverityName(d.severity)}, {"text", d.text}});
    doc["findings"] = findings;
    doc["base"] = nullptr;
    doc["plan"] = nullptr;
    doc["verify"] = nullptr;
    if (in.planned) {
        json warnings = json::array();
        for (const RegFileError& w : in.baseWarnings) warnings.push_back({{"line", w.line}, {"text", w.message}});
        doc["base"] = {{"name", in.baseName}, {"warnings", warnings}};
    }
    if (in.plan) {
        json effects = json::array();
        for (const PlannedEffect& p : in.plan->effects) effects.push_back(EffectJson(p));
        json summary = json::object();
        for (const auto& [scope, counts] : in.plan->summary) summary[scope] = CountsJson(counts);
        doc["plan"] = {{"matched", in.plan->matched},
                       {"effects", effects},
                       {"summary", summary},
                       {"notInspected", in.plan->notInspected}};
        if (in.verify) {
            json drift = json::array();
            for (const PlannedEffect* p : Drift(*in.plan)) drift.push_back(EffectJson(*p));
            // Unknown (null) while a profile's hives could not be read and nothing else changes.
            // Unknown (null) too when no plan could be made.
            const json changes = !in.plan->matched ? json(nullptr)
                                 : !drift.empty() ? json(true)
                                 : in.plan->notInspected.empty() ? json(false) : json(nullptr);
            doc["verify"] = {{"changes", changes}, {"drift", drift}, {"notInspected", in.plan->notInspected}};
        }
    }
    return doc.dump(2) + "\n";
}

std::string SarifReport(const ReportInput& in) {
    json rules = json::array();
    for (int field = 0; field <= kValueDataField; ++field)
        rules.push_back({{"id", RuleOf(field)},
                         {"shortDescription", {{"text", std::string("a finding about the ") + RuleOf(field) +
                                                                (field == 0 ? " as a whole" : " field")}}}});
    json results = json::array();
    for (const Diagnostic& d : in.findings) {
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
                                                          {"version", "1.0.0.2"},
                                                          {"rules", rules}}}}},
                                    {"results", results}}})}};
    return doc.dump(2) + "\n";
}

}  // namespace km::check
