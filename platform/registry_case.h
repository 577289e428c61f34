// How the registry tells names apart: one name is another when both are the
// same once each UTF-16 unit is upcased by the registry's own fixed table.
// Not ASCII only (Äpfel is äpfel) and not the locale's rules (the micro sign,
// dotless i and long s stay themselves). Key and value names compare so.
#pragma once

#include "platform/platform.h"

namespace km {

char16_t RegistryUpcase(char16_t unit);
// The name upcased unit by unit: equal for names the registry finds equal.
Text RegistryFold(TextView name);
bool SameRegistryName(TextView a, TextView b);
// A hash of the name, the same for names the registry finds equal.
std::uint32_t RegistryNameHash(TextView name);
// The registry's order of names: by upcased units.
bool RegistryNameLess(TextView a, TextView b);

}  // namespace km
