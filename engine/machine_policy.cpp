#include "engine/machine_policy.h"

#include <algorithm>

namespace km {

namespace {

// Policy values that read as zero, by type: numbers of these sizes with no
// bit set. The text "0" is the one other zero.
struct ZeroForm {
    std::uint32_t type;
    std::size_t minSize, maxSize;
};
const ZeroForm kZeroForms[] = {
    {kRegDword, 4, 4},
    {kRegQword, 8, 8},
    {kRegBinary, 1, 8},
};

bool AllZero(const std::uint8_t* begin, const std::uint8_t* end) {
    return std::all_of(begin, end, [](std::uint8_t byte) { return byte == 0; });
}

bool ReadsAsZero(const PolicyValue& policy) {
    const Bytes& data = policy.data;
    const std::uint8_t* end = data.data() + data.size();
    if (policy.type == kRegSz || policy.type == kRegExpandSz)  // "0", then only terminators
        return data.size() >= 2 && data.size() % 2 == 0 && data[0] == '0' && data[1] == 0 &&
               AllZero(data.data() + 2, end);
    for (const ZeroForm& form : kZeroForms)
        if (form.type == policy.type)
            return data.size() >= form.minSize && data.size() <= form.maxSize && AllZero(data.data(), end);
    return false;
}

}  // namespace

bool PolicyIsOn(Platform& sys, const Text& valueName) {
    const PolicyValue policy = sys.QueryPolicyValue(kMachinePolicyKey, valueName);
    switch (policy.status) {
        case PolicyValueStatus::Absent:
            return false;
        case PolicyValueStatus::Unreadable:
            return true;
        case PolicyValueStatus::Present:
            break;
    }
    return !ReadsAsZero(policy);
}

}  // namespace km
